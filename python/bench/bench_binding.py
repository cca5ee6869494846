"""The Python package against the C interface on the same work.

    /usr/bin/python3 python/bench/bench_binding.py [--build build] [--repeat 5] [--json out.json] [--smoke]

Measures, with the same data on both sides:
  - 10,000 row puts and 10,000 gets (memtable 4 MiB, so no flush intervenes):
    through the package's rows (a dict per row, the tool's convention) and
    through put_bytes/get_bytes (the same key and value bytes the C program
    writes);
  - 1,000 flat searches, k = 10, over 10,000 x 128 float32 vectors, and
    100,000 searches of a store holding one vector (the cost of the call
    alone, without the scan's memory traffic);
  - one batch insert of 100,000 x 128 vectors into a flat in-memory store.
The C side is python/bench/bench_c.c, compiled here against the same build
of the library. Every figure is the best of --repeat runs. Prints a table
with the throughput ratio and the binding's cost per call.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def compile_c(build, work):
    exe = os.path.join(work, "bench_c")
    subprocess.run(["cc", "-O2", "-std=c11", "-D_POSIX_C_SOURCE=200809L", "-I", os.path.join(ROOT, "include"),
                    os.path.join(HERE, "bench_c.c"), "-L", build, "-lmorvadb_shared", "-Wl,-rpath," + build,
                    "-o", exe], check=True)
    return exe


def run_c(exe, *args):
    out = subprocess.run([exe] + [str(a) for a in args], check=True, capture_output=True, text=True).stdout
    return {name: float(value) for name, value in (line.split() for line in out.splitlines())}


def best(runs):
    return min(runs)


def python_kv(morvadb, work, n):
    path = tempfile.mkdtemp(dir=work)
    with morvadb.open(os.path.join(path, "db"), memtable_size=4 << 20) as db:
        db.create_table("bench", {"id": "int32", "name": "string", "value": "double"}, key="id")
        rows = [{"id": i, "name": "row-%d" % i, "value": i * 0.5} for i in range(n)]
        t0 = time.perf_counter()
        for row in rows:
            db.put("bench", row)
        t1 = time.perf_counter()
        for i in range(n):
            db.get("bench", i)
        t2 = time.perf_counter()
    shutil.rmtree(path)
    return t1 - t0, t2 - t1


def python_kv_bytes(morvadb, work, n):
    import struct
    path = tempfile.mkdtemp(dir=work)
    with morvadb.open(os.path.join(path, "db"), memtable_size=4 << 20) as db:
        db.create_table("bench", {"id": "int32", "name": "string", "value": "double"}, key="id")
        tag = 0x4D560000 + 1
        pairs = []
        for i in range(n):
            name = b"row-%d" % i
            pairs.append((b"%d\0" % i, struct.pack("<iii", tag, i, len(name)) + name + struct.pack("<d", i * 0.5)))
        t0 = time.perf_counter()
        for key, value in pairs:
            db.put_bytes("bench", key, value)
        t1 = time.perf_counter()
        for key, _ in pairs:
            db.get_bytes("bench", key)
        t2 = time.perf_counter()
        assert db.get("bench", n - 1) == {"id": n - 1, "name": "row-%d" % (n - 1), "value": (n - 1) * 0.5}
    shutil.rmtree(path)
    return t1 - t0, t2 - t1


def python_search(morvadb, data, n, queries, k, rounds=1):
    with morvadb.VectorStore.create(None, data.shape[1]) as store:
        store.insert_batch(np.arange(n, dtype=np.uint64), data[:n])
        qs = list(data[n:n + queries])
        check = 0
        t0 = time.perf_counter()
        for _ in range(rounds):
            for q in qs:
                check += store.search(q, k)[0][0]
        return time.perf_counter() - t0, check


def python_batch(morvadb, data):
    ids = np.arange(data.shape[0], dtype=np.uint64)
    with morvadb.VectorStore.create(None, data.shape[1]) as store:
        t0 = time.perf_counter()
        store.insert_batch(ids, data)
        elapsed = time.perf_counter() - t0
        assert len(store) == data.shape[0]
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes, to check the harness")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    os.environ["MORVADB_LIBRARY"] = os.path.join(build, "libmorvadb_shared.so")
    sys.path.insert(0, os.path.dirname(HERE))
    import morvadb

    kv_n, vectors, dim, queries, k, batch_n, call_rounds = 10000, 10000, 128, 1000, 10, 100000, 100
    if args.smoke:
        kv_n, vectors, queries, batch_n, call_rounds, args.repeat = 200, 500, 20, 1000, 2, 1
    rng = np.random.default_rng(42)
    work = tempfile.mkdtemp(prefix="morvadb-bench-")
    try:
        exe = compile_c(build, work)
        search_data = rng.standard_normal((vectors + queries, dim)).astype(np.float32)
        batch_data = rng.standard_normal((batch_n, dim)).astype(np.float32)
        search_file = os.path.join(work, "search.f32")
        batch_file = os.path.join(work, "batch.f32")
        search_data.tofile(search_file)
        batch_data.tofile(batch_file)

        c = {"put": [], "get": [], "search": [], "call": [], "batch": []}
        py = {"put": [], "get": [], "put_bytes": [], "get_bytes": [], "search": [], "call": [], "batch": []}
        for _ in range(args.repeat):
            kv_dir = tempfile.mkdtemp(dir=work)
            r = run_c(exe, "kv", kv_dir, kv_n)
            shutil.rmtree(kv_dir)
            c["put"].append(r["put"])
            c["get"].append(r["get"])
            put, get = python_kv(morvadb, work, kv_n)
            py["put"].append(put)
            py["get"].append(get)
            put, get = python_kv_bytes(morvadb, work, kv_n)
            py["put_bytes"].append(put)
            py["get_bytes"].append(get)
            r = run_c(exe, "search", search_file, vectors, dim, queries, k, 1)
            c["search"].append(r["search"])
            elapsed, check = python_search(morvadb, search_data, vectors, queries, k)
            assert check == int(r["check"]), "the two sides found different neighbours"
            py["search"].append(elapsed)
            # One stored vector: the queries follow it in the file.
            c["call"].append(run_c(exe, "search", search_file, 1, dim, queries, k, call_rounds)["search"])
            py["call"].append(python_search(morvadb, search_data, 1, queries, k, call_rounds)[0])
            c["batch"].append(run_c(exe, "batch", batch_file, batch_n, dim)["batch"])
            py["batch"].append(python_batch(morvadb, batch_data))
    finally:
        shutil.rmtree(work)

    lines = [
        ("put, rows as dicts (%d)" % kv_n, "put", "put", kv_n),
        ("put_bytes, same bytes as C (%d)" % kv_n, "put", "put_bytes", kv_n),
        ("get, rows as dicts (%d)" % kv_n, "get", "get", kv_n),
        ("get_bytes (%d)" % kv_n, "get", "get_bytes", kv_n),
        ("flat search, %d x %d, k = %d (%d queries)" % (vectors, dim, k, queries), "search", "search", queries),
        ("search of a 1-vector store (%d calls)" % (queries * call_rounds), "call", "call", queries * call_rounds),
        ("batch insert, %d x %d (one call)" % (batch_n, dim), "batch", "batch", 1),
    ]
    results = []
    print("| operation | C (per second) | Python (per second) | Python / C | binding cost per call (µs) |")
    print("|---|---|---|---|---|")
    for label, c_key, py_key, count in lines:
        tc, tp = best(c[c_key]), best(py[py_key])
        per_call = (tp - tc) / count * 1e6
        unit = "vectors" if c_key == "batch" else "calls"
        rate_c = (batch_n if c_key == "batch" else count) / tc
        rate_p = (batch_n if c_key == "batch" else count) / tp
        cost = "%.2f" % per_call if per_call >= 0 else "none measurable (Python %.1f ms faster)" % ((tc - tp) * 1e3)
        print("| %s | %s %s | %s %s | %.2f | %s |" % (label, fmt(rate_c), unit, fmt(rate_p), unit, tc / tp, cost))
        results.append({"operation": label, "c_seconds": tc, "python_seconds": tp, "ratio": tc / tp,
                        "overhead_us_per_call": per_call})
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"repeat": args.repeat, "results": results}, f, indent=1)


def fmt(rate):
    if rate >= 1e6:
        return "%.2f M" % (rate / 1e6)
    if rate >= 1e3:
        return "%.1f k" % (rate / 1e3)
    return "%.0f" % rate


if __name__ == "__main__":
    main()
