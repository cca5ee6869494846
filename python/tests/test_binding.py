"""What can break in a binding: errors, ownership, closing, finding the library, record layouts."""

import ctypes
import gc
import os
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

import morvadb
from morvadb import Embedder, InvalidArgumentError, Quantizer, VectorStore, _library, _structs


def test_errors_carry_the_library_status_and_text(db, db_path):
    with pytest.raises(morvadb.NotFoundError) as e:
        db.put("missing", {})
    assert e.value.code == -2 and isinstance(e.value, morvadb.Error)
    with pytest.raises(morvadb.BusyError) as e:
        morvadb.open(db_path)
    assert e.value.code == -7 and str(e.value).endswith(": busy")
    with pytest.raises(morvadb.InputOutputError):
        morvadb.open(os.path.join(db_path, "no", "such", "dir", "db"))
    with pytest.raises(ValueError):  # InvalidArgumentError is a ValueError too
        morvadb.open("")
    with pytest.raises(morvadb.InputOutputError) as e:
        VectorStore.open(db_path + ".wal")  # a file, not a store directory
    assert e.value.code == -5


def make_objects(tmp_path):
    return [morvadb.open(str(tmp_path / "db")), VectorStore.create(str(tmp_path / "vec"), 4),
            Embedder(dimension=4), Quantizer("scalar", 4)]


def use(obj):
    if isinstance(obj, morvadb.Database):
        return obj.tables()
    if isinstance(obj, VectorStore):
        return obj.search([0.0] * 4)
    if isinstance(obj, Embedder):
        return obj.embed("x")
    return obj.train(np.ones((2, 4), dtype=np.float32))


def test_closed_objects_raise_and_close_twice_is_harmless(tmp_path):
    for obj in make_objects(tmp_path):
        with obj:
            use(obj)
        assert obj.closed
        obj.close()
        with pytest.raises(InvalidArgumentError, match="closed"):
            use(obj)
        assert "closed" in repr(obj)


def test_garbage_collection_releases_handles_once(tmp_path):
    objects = make_objects(tmp_path)
    objects[0].create_table("t", {"k": "int32"})
    objects[1].insert(1, [1.0, 2.0, 3.0, 4.0])
    del objects
    gc.collect()
    with morvadb.open(str(tmp_path / "db")) as db:  # the writer's lock was released
        assert db.tables() == ["t"]
    with VectorStore.open(str(tmp_path / "vec")) as store:  # and the store checkpointed
        assert store.get(1).tolist() == [1.0, 2.0, 3.0, 4.0]


def test_close_waits_for_calls_in_progress(tmp_path):
    store = VectorStore.create(None, 64)
    store.insert_batch(np.arange(20000), np.random.default_rng(0).random((20000, 64), dtype=np.float32))
    query = np.zeros(64, dtype=np.float32)
    outcomes = []

    def search():
        try:
            while True:
                outcomes.append(len(store.search(query, k=5)))
        except InvalidArgumentError:
            outcomes.append("closed")

    threads = [threading.Thread(target=search) for _ in range(3)]
    for t in threads:
        t.start()
    while len(outcomes) < 6:
        pass
    store.close()
    for t in threads:
        t.join()
    assert outcomes.count("closed") == 3 and set(outcomes) == {5, "closed"}


def run_isolated(tmp_path, code, **env):
    """Runs code with a copy of the package that has no library beside it or in a build directory."""
    package = tmp_path / "isolated" / "morvadb"
    if not package.exists():
        shutil.copytree(os.path.dirname(morvadb.__file__), str(package), ignore=shutil.ignore_patterns("*.so"))
    environment = {k: v for k, v in os.environ.items() if k not in ("MORVADB_LIBRARY", "LD_LIBRARY_PATH")}
    environment.update(env, PYTHONPATH=str(package.parent))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment,
                          cwd=str(tmp_path), timeout=60)


def test_missing_library_is_reported_at_first_use(tmp_path):
    code = ("import morvadb\n"
            "try:\n    morvadb.open('db')\nexcept morvadb.Error as e:\n    print(e)\n")
    done = run_isolated(tmp_path, code)
    assert "libmorvadb_shared.so was not found" in done.stdout, done.stderr
    for place in ("MORVADB_LIBRARY (not set)", "beside the package", "build directory", "system library path"):
        assert place in done.stdout
    done = run_isolated(tmp_path, code, MORVADB_LIBRARY=str(tmp_path / "nowhere.so"))
    assert "MORVADB_LIBRARY=%s" % (tmp_path / "nowhere.so") in done.stdout and "no such file" in done.stdout
    done = run_isolated(tmp_path, "import morvadb; print(morvadb.library_path())",
                        MORVADB_LIBRARY=_library.loaded_path())
    assert done.stdout.strip() == _library.loaded_path()


LAYOUT = {
    "db_handle": (_structs.DbHandle, ["path", "tables", "table_count", "options", "fts", "vectors", "embed",
                                      "catalog_lock", "is_follower", "internal"]),
    "table_schema": (_structs.TableSchema, ["column_types", "column_names", "column_count", "key_column",
                                            "table_id"]),
    "result_set": (_structs.ResultSet, ["column_types", "column_names", "search_mode", "ids", "scores", "rows",
                                        "row_lengths", "stored_rows"]),
    "vec_store": (_structs.VecStore, ["lock", "uses_graph", "count", "deleted"]),
    "db_options": (_structs.DbOptions, ["memtable_size", "shared_mode", "reserved6"]),
    "hybrid_options": (_structs.HybridOptions, ["vector_weight", "vector_k"]),
    "hybrid_result": (_structs.HybridResult, ["text_score"]),
    "fts_index": (_structs.FtsIndex, ["next_doc_id", "doc_count"]),
    "token": (_structs.Token, ["length"]),
    "vec_result": (_structs.VecResult, ["distance"]),
}


def test_record_layouts_match_the_header(tmp_path):
    cc = shutil.which("cc")
    header = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "include")
    if cc is None or not os.path.isfile(os.path.join(header, "morvadb.h")):
        pytest.skip("needs a C compiler and include/morvadb.h")
    lines = ["#include <morvadb.h>", "#include <stdio.h>", "#include <stddef.h>", "int main(void) {"]
    expected = []
    for name, (record, fields) in LAYOUT.items():
        lines.append('printf("%%zu\\n", sizeof(%s));' % name)
        expected.append(ctypes.sizeof(record) if name != "vec_store" else None)
        for field in fields:
            lines.append('printf("%%zu\\n", offsetof(%s, %s));' % (name, field))
            expected.append(getattr(record, field).offset)
    lines.append("return 0; }")
    source = tmp_path / "layout.c"
    source.write_text("\n".join(lines))
    subprocess.run([cc, "-I", header, str(source), "-o", str(tmp_path / "layout")], check=True)
    actual = [int(x) for x in subprocess.run([str(tmp_path / "layout")], capture_output=True, text=True,
                                             check=True).stdout.split()]
    # vec_store is mirrored only up to its slot arrays.
    assert [a if e is not None else None for a, e in zip(actual, expected)] == expected


def test_module_runs_the_tool_or_says_where_to_find_it(tool, tmp_path):
    done = subprocess.run([sys.executable, "-m", "morvadb", "demo", str(tmp_path / "demo")], capture_output=True,
                          text=True, timeout=120, cwd=os.path.dirname(os.path.dirname(morvadb.__file__)))
    assert done.returncode == 0 and "Quiet Machines" in done.stdout, done.stderr
    done = run_isolated(tmp_path, "import sys, morvadb.__main__ as m; sys.exit(m.main(['shell', 'db']))",
                        PATH="/nonexistent")
    assert done.returncode == 1 and "morvadb tool was not found" in done.stderr and "cmake" in done.stderr
