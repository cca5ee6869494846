"""The handle's vector index and its text embedder (part of Database).

One in-memory vector index per database, searched by raw vectors or by
text through the index's own embedder. Ids are caller-chosen 64-bit
integers; once hybrid_search() has run, rows indexed with index_text() live
in the same index under their document numbers (0, 1, 2 ...).
"""

import ctypes

from . import _library
from ._structs import DbVecOptions
from ._vectors import (MAX_COUNT, check_count, check_id, float_vector, hits, id_array, result_buffer)
from .errors import check_vector, invalid


def text_bytes(text, what="text"):
    """UTF-8 bytes of a str, or the bytes of a bytes-like object."""
    if isinstance(text, str):
        return text.encode("utf-8", "surrogateescape")
    if isinstance(text, (bytes, bytearray, memoryview)):
        return bytes(text)
    raise TypeError("%s must be a str or bytes, not %s" % (what, type(text).__name__))


def _positive(value, what, high=0xFFFFFFFF):
    return check_count(value, what, 1, high)


class VectorIndexMixin:
    def __init__(self):
        self._vector_dimension = None

    def _need_vectors(self):
        if self._vector_dimension is None:
            raise invalid("the database has no vector index; call create_vector_index() first")
        return self._vector_dimension

    def _room(self, h, k):
        # A result buffer for k hits, never larger than the index.
        return min(k, max(_library.load().db_vec_count(h), 1))

    def create_vector_index(self, dimension=384, hnsw=True, m=16, ef_construction=200, ngram=0):
        """Creates the database's in-memory vector index with its text embedder,
        replacing an earlier one and everything in it.

        ``dimension`` is the vector length; ``hnsw`` selects an approximate
        HNSW graph (``m`` links per node, ``ef_construction``) instead of an
        exact flat scan; ``ngram`` is the embedder's window in characters
        (0 means 3). The embedder's table takes 1 KiB x dimension^2 of memory
        (151 MB at 384).
        """
        self._writable("create a vector index")
        options = DbVecOptions(_positive(dimension, "dimension", 1 << 20), check_count(ngram, "ngram", 0),
                               1 if hnsw else 0, _positive(m, "m") if hnsw else 16,
                               _positive(ef_construction, "ef_construction") if hnsw else 200)
        lib = _library.load()
        with self._owner as h:
            with self._index_guard:
                self._vector_dimension = None
                self._rows_in_vectors = False
                check_vector(lib.db_vec_create_index(h, ctypes.addressof(options)), "create the vector index")
                self._vector_dimension = options.dimension

    def drop_vector_index(self):
        """Removes the vector index and its embedder."""
        with self._owner as h:
            with self._index_guard:
                check_vector(_library.load().db_vec_destroy_index(h), "drop the vector index")
                self._vector_dimension = None
                self._rows_in_vectors = False

    @property
    def vector_dimension(self):
        """The vector index's dimension, or None without an index."""
        return self._vector_dimension

    def insert_text(self, id, text):
        """Embeds a text and stores its vector under id (replacing an earlier one)."""
        data = text_bytes(text)
        id = check_id(id)
        self._need_vectors()
        with self._owner as h:
            check_vector(_library.load().db_vec_insert_text(h, id, data, len(data)), "insert text")

    def insert_texts(self, ids, texts):
        """Embeds several texts and stores them in one batch."""
        data = [text_bytes(t) for t in texts]
        address, n, keep = id_array(ids, len(data))
        self._need_vectors()
        if n == 0:
            return
        if n > MAX_COUNT:
            raise invalid("at most %d texts per batch" % MAX_COUNT)
        pointers = (ctypes.c_char_p * n)(*data)
        lengths = (ctypes.c_uint64 * n)(*[len(d) for d in data])
        with self._owner as h:
            check_vector(_library.load().db_vec_insert_batch(h, n, address, ctypes.addressof(pointers),
                                                              ctypes.addressof(lengths)), "insert texts")

    def insert_vector(self, id, vector):
        """Stores a raw vector (of the index's dimension) under id."""
        id = check_id(id)
        address, keep = float_vector(vector, self._need_vectors())
        with self._owner as h:
            check_vector(_library.load().db_vec_insert_vector(h, id, address), "insert vector")

    def delete_vector(self, id):
        """Deletes id from the vector index; returns whether it was there."""
        id = check_id(id)
        self._need_vectors()
        with self._owner as h:
            rc = _library.load().db_vec_delete(h, id)
            if rc == -2:
                return False
            check_vector(rc, "delete vector")
            return True

    def vector_count(self):
        """Vectors in the index (a flat index also counts deleted slots); 0 without one."""
        with self._owner as h:
            return _library.load().db_vec_count(h)

    def search_text(self, text, k=10):
        """The k ids whose vectors lie nearest the text's embedding, as
        (id, distance) tuples, nearest first."""
        data = text_bytes(text)
        k = check_count(k, "k")
        self._need_vectors()
        with self._owner as h:
            room = self._room(h, k)
            results = result_buffer(room)
            n = check_vector(_library.load().db_vec_search_text(h, data, len(data), room, ctypes.addressof(results)),
                             "search text")
            return hits(results, n)

    def search_vector(self, vector, k=10):
        """The k ids nearest a vector, as (id, distance) tuples, nearest first."""
        k = check_count(k, "k")
        address, keep = float_vector(vector, self._need_vectors())
        with self._owner as h:
            room = self._room(h, k)
            results = result_buffer(room)
            n = check_vector(_library.load().db_vec_search(h, address, room, ctypes.addressof(results)),
                             "search vector")
            return hits(results, n)
