"""Stand-alone vector stores, the embedder and the quantizers."""

import os
import subprocess
import sys

import numpy as np
import pytest

import morvadb
from morvadb import Embedder, InvalidArgumentError, Quantizer, VectorStore

DIM = 8


def unit(i):
    v = np.zeros(DIM, dtype=np.float32)
    v[i % DIM] = 1.0 + i // DIM
    return v


@pytest.mark.parametrize("index", ["flat", "hnsw"])
def test_store_operations(index):
    with VectorStore.create(None, DIM, index=index, m=8, ef_construction=50) as store:
        store.insert(1, unit(1))
        store.insert_batch([2, 3, 4], np.stack([unit(2), unit(3), unit(4)]))
        assert len(store) == 4 and store.search(unit(3), k=1) == [(3, 0.0)]
        assert [i for i, _ in store.search(unit(3), k=10)][0] == 3 and len(store.search(unit(3), k=10)) == 4
        store.insert(3, unit(9))  # overwrite keeps one vector under the id
        assert len(store) == 4 and np.array_equal(store.get(3), unit(9))
        assert store.delete(3) is True and store.delete(3) is False
        assert len(store) == 3 and store.get(3) is None and 3 not in store and 1 in store
        assert store.search_filtered(unit(1), 2, {2, 4, 99}) in ([(2, 2.0), (4, 2.0)], [(4, 2.0), (2, 2.0)])
        assert store.search_filtered(unit(1), 2, []) == []
        assert store.search_radius(unit(1), 0.5, 10) == [(1, 0.0)]
        with pytest.raises(InvalidArgumentError, match="shape"):
            store.insert(5, np.zeros(DIM + 1, dtype=np.float32))
        with pytest.raises(InvalidArgumentError):
            store.search(unit(1), k=0)


def test_vectors_in_every_form_reach_the_store_intact():
    with VectorStore.create(None, DIM) as store:
        wide = np.arange(2 * DIM, dtype=np.float64)
        store.insert(1, wide[::2])                       # strided, float64
        store.insert(2, list(range(DIM)))                # list of ints
        matrix = np.asfortranarray(np.arange(3 * DIM, dtype=np.float32).reshape(3, DIM))
        store.insert_batch(np.array([3, 4, 5], dtype=np.int64), matrix)
        assert store.get(1).tolist() == list(range(0, 2 * DIM, 2))
        assert store.get(2).tolist() == list(range(DIM)) and store.get(4).tolist() == list(range(DIM, 2 * DIM))
        for bad_ids, error in (([1, 2], InvalidArgumentError), (np.array([-1, 2, 3]), InvalidArgumentError),
                               (["a", "b", "c"], TypeError)):
            with pytest.raises(error):
                store.insert_batch(bad_ids, matrix)
        assert len(store) == 5


def test_persistent_store_reopens(tmp_path):
    directory = str(tmp_path / "vectors")
    vectors = np.random.default_rng(7).standard_normal((100, DIM)).astype(np.float32)
    with VectorStore.create(directory, DIM, metric="cosine") as store:
        store.insert_batch(np.arange(100), vectors)
        store.delete(5)
        store.flush()
        store.insert(500, vectors[0])
    with VectorStore.open(directory) as store:
        assert (store.metric, store.index, len(store)) == ("cosine", "flat", 100)
        assert np.array_equal(store.get(42), vectors[42]) and store.get(5) is None and 500 in store
    with pytest.raises(morvadb.NotFoundError):
        VectorStore.open(str(tmp_path / "missing"))
    with VectorStore.create(None, DIM) as memory:
        with pytest.raises(InvalidArgumentError, match="persistent"):
            memory.flush()
    with pytest.raises(InvalidArgumentError):
        VectorStore.create(None, DIM, metric="manhattan")


def test_embedder():
    with Embedder(dimension=32) as emb:
        a = emb.embed("機器學習 machine learning")
        assert a.dtype == np.float32 and abs(float(np.dot(a, a)) - 1.0) < 1e-5
        batch = emb.embed_batch(["機器學習 machine learning", b"", "other"])
        assert batch.shape == (3, 32) and np.array_equal(batch[0], a) and not batch[1].any()
        assert np.array_equal(Embedder(dimension=32).embed("機器學習 machine learning"), a)
        with pytest.raises(TypeError):
            emb.embed(42)


def test_quantizers():
    data = np.random.default_rng(1).standard_normal((300, DIM)).astype(np.float32)
    scalar = Quantizer("scalar", DIM)
    with pytest.raises(InvalidArgumentError, match="train"):
        scalar.encode(data[0])
    scalar.train(data)
    code = scalar.encode(data[0])
    assert len(code) == DIM and np.allclose(scalar.decode(code), data[0], atol=0.05)
    assert scalar.distance(code, code) == 0.0
    product = Quantizer("product", DIM, subquantizers=4)
    product.train(data)
    codes = [product.encode(v) for v in data[:2]]
    assert product.code_size == 4 and len(codes[0]) == 4 and product.distance(*codes) > 0
    assert product.decode(codes[0]).shape == (DIM,)
    for call in (lambda: product.decode(b"\0" * 3), lambda: product.distance(codes[0], b"\0" * 8)):
        with pytest.raises(InvalidArgumentError, match="4 bytes"):
            call()
    for args in (("product", DIM), ("product", 4, 8), ("vector", DIM)):
        with pytest.raises((TypeError, InvalidArgumentError)):
            Quantizer(*args)


def test_without_numpy_vectors_are_lists(tmp_path):
    script = """
import sys
sys.modules["numpy"] = None  # as if numpy were not installed
import morvadb
with morvadb.VectorStore.create(None, 3) as store:
    store.insert(1, [1.0, 2.0, 3.0])
    store.insert_batch([2, 3], [[0.0, 0.0, 1.0], (1, 1, 1)])
    assert store.get(1) == [1.0, 2.0, 3.0] and store.get(3) == [1.0, 1.0, 1.0]
    assert store.search([0, 0, 1], k=1) == [(2, 0.0)]
with morvadb.Embedder(dimension=4) as emb:
    v = emb.embed("text")
    assert isinstance(v, list) and len(v) == 4 and emb.embed_batch(["a", "text"])[1] == v
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(morvadb.__file__)))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert done.stdout == "ok\n", done.stderr
