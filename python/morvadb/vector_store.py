"""Stand-alone vector stores: flat or HNSW, in memory or in a directory."""

import ctypes
import os
from numbers import Real

from . import _library
from ._owner import Owned, Owner
from ._structs import VecConfig, VecStore
from ._vectors import (MAX_COUNT, check_count, check_id, float_matrix, float_vector, hits, id_array, new_vector,
                       finish_vector, result_buffer)
from .errors import check_vector, invalid

METRICS = {"l2": 0, "cosine": 1, "ip": 2}
INDEXES = {"flat": 0, "hnsw": 1}
_METRIC_NAMES = {v: k for k, v in METRICS.items()}
_HNSW_OPTIONS = ("m", "ef_construction", "ef_search", "capacity")

# The filter the library calls for every candidate id of a filtered search.
_FILTER = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_uint64, ctypes.c_void_p)


def _close_store(address):
    return _library.load().morvadb_vec_close(address)


def _directory(path):
    data = os.fsencode(path)
    if not data or b"\0" in data:
        raise invalid("a store directory must be non-empty and contain no NUL")
    return data


class VectorStore(Owned):
    """A store of fixed-dimension float vectors under 64-bit ids with exact
    (flat) or approximate (HNSW) nearest-neighbour search.

    Distances: ``"l2"`` squared Euclidean, ``"cosine"`` 1 - cosine
    similarity, ``"ip"`` negated inner product; smaller is nearer. A store
    created with a directory and ``persist=True`` logs every change there and
    is checkpointed by flush() and close(); :meth:`open` reopens it. Use as
    a context manager or call close().
    """

    def __init__(self, address, directory):
        self._owner = Owner(address, _close_store, "vector store")
        self._directory = directory
        record = VecStore.from_address(address)
        self._dimension = record.config.dimension
        self._metric = _METRIC_NAMES.get(record.config.metric, "l2")
        self._hnsw = bool(record.uses_graph)

    @classmethod
    def create(cls, directory, dimension, metric="l2", index="flat", persist=True, **hnsw_options):
        """A new empty store. ``directory`` may be None for a store that lives
        in memory only. HNSW options: ``m`` (16), ``ef_construction`` (200),
        ``ef_search`` (50) and ``capacity`` (most vectors; 4,194,304 when 0).
        For a flat store ``capacity`` preallocates slots."""
        unknown = set(hnsw_options) - set(_HNSW_OPTIONS)
        if unknown:
            raise TypeError("unknown option(s): %s" % ", ".join(sorted(unknown)))
        if metric not in METRICS:
            raise invalid("metric is one of %s, not %r" % (", ".join(METRICS), metric))
        if index not in INDEXES:
            raise invalid("index is 'flat' or 'hnsw', not %r" % (index,))
        config = VecConfig(INDEXES[index], METRICS[metric], check_count(dimension, "dimension", 1, 1 << 24),
                           check_count(hnsw_options.get("capacity", 0), "capacity", 0, 0x7FFFFFFF),
                           1 if persist and directory is not None else 0,
                           check_count(hnsw_options.get("m", 16), "m", 1 if index == "hnsw" else 0),
                           check_count(hnsw_options.get("ef_construction", 200), "ef_construction", 1),
                           check_count(hnsw_options.get("ef_search", 50), "ef_search", 1))
        path = None if directory is None else _directory(directory)
        out = ctypes.c_void_p()
        check_vector(_library.load().morvadb_vec_create(path, ctypes.addressof(config), ctypes.byref(out)),
                     "cannot create the vector store %s" % (os.fsdecode(path) if path else "in memory"))
        return cls(out.value, None if path is None else os.fsdecode(path))

    @classmethod
    def open(cls, directory):
        """Opens a persistent store from its directory (snapshot plus log)."""
        path = _directory(directory)
        out = ctypes.c_void_p()
        rc = _library.load().morvadb_vec_open(path, ctypes.byref(out))
        if rc != 0 and out.value:
            # The store opened but its log could not: refuse it rather than
            # hand out a store whose changes would not be kept.
            _library.load().morvadb_vec_close(out.value)
        check_vector(rc, "cannot open the vector store %s" % os.fsdecode(path))
        return cls(out.value, os.fsdecode(path))

    # ---- lifetime ----------------------------------------------------------

    @property
    def dimension(self):
        return self._dimension

    @property
    def metric(self):
        return self._metric

    @property
    def index(self):
        return "hnsw" if self._hnsw else "flat"

    @property
    def directory(self):
        return self._directory

    def close(self):
        """Checkpoints a persistent store with unsaved changes and releases it."""
        self._owner.close()

    def __repr__(self):
        where = self._directory if self._directory is not None else "in memory"
        state = "closed" if self.closed else "%d vectors" % len(self)
        return "<morvadb.VectorStore %s %s dim=%d %s (%s)>" % (self.index, self._metric, self._dimension, where,
                                                              state)

    # ---- changes -----------------------------------------------------------

    def insert(self, id, vector):
        """Stores a vector under id, replacing the vector the id has."""
        id = check_id(id)
        address, keep = float_vector(vector, self._dimension)
        with self._owner as s:
            check_vector(_library.load().morvadb_vec_insert(s, id, address), "insert")

    def insert_batch(self, ids, matrix):
        """Stores many vectors in one call: ``matrix`` is n x dimension
        (a float32 numpy array is passed without a copy). A flat store
        appends without looking for existing ids, so repeated ids leave
        several vectors under one id."""
        address, n, keep_matrix = float_matrix(matrix, self._dimension)
        ids_address, _, keep_ids = id_array(ids, n)
        if n == 0:
            return
        if n > MAX_COUNT:
            raise invalid("at most %d vectors per batch" % MAX_COUNT)
        with self._owner as s:
            check_vector(_library.load().morvadb_vec_insert_batch(s, n, ids_address, address), "insert batch")

    def delete(self, id):
        """Deletes the vector under id; returns whether there was one."""
        id = check_id(id)
        with self._owner as s:
            rc = _library.load().morvadb_vec_delete(s, id)
            if rc == -2:
                return False
            check_vector(rc, "delete")
            return True

    def flush(self):
        """Writes a checkpoint of a persistent store now."""
        with self._owner as s:
            if self._directory is None or not VecStore.from_address(s).path:
                raise invalid("flush() needs a persistent store (one created with a directory)")
            check_vector(_library.load().morvadb_vec_flush(s), "flush")

    def flush_every(self, milliseconds):
        """Checkpoints a persistent store with unsaved changes every
        ``milliseconds`` from a background thread; 0 stops it."""
        ms = check_count(milliseconds, "milliseconds", 0)
        with self._owner as s:
            check_vector(_library.load().morvadb_vec_flush_interval(s, ms), "flush_every")

    # ---- reads -------------------------------------------------------------

    def get(self, id, default=None):
        """A copy of the vector under id, or default."""
        id = check_id(id)
        address, out = new_vector(self._dimension)
        with self._owner as s:
            rc = _library.load().morvadb_vec_get(s, id, address)
            if rc == -2:
                return default
            check_vector(rc, "get")
        return finish_vector(out)

    def __contains__(self, id):
        return self.get(id) is not None

    def __len__(self):
        """The number of live vectors."""
        lib = _library.load()
        with self._owner as s:
            if self._hnsw:
                return lib.morvadb_vec_count(s)
            record = VecStore.from_address(s)
            # A flat store counts its deleted slots too; subtract them under
            # the store's own lock, as its readers do.
            with _library.RwLock(s + VecStore.lock.offset):
                count = record.count
                deleted = ctypes.string_at(record.deleted, count).count(1) if count else 0
            return count - deleted

    def _room(self, s, k):
        return min(k, max(_library.load().morvadb_vec_count(s), 1))

    def search(self, vector, k=10):
        """The k nearest vectors as (id, distance) tuples, nearest first."""
        k = check_count(k, "k")
        address, keep = float_vector(vector, self._dimension, "query")
        with self._owner as s:
            room = self._room(s, k)
            results = result_buffer(room)
            n = check_vector(_library.load().morvadb_vec_search(s, address, room, ctypes.addressof(results)),
                             "search")
        return hits(results, n)

    def search_filtered(self, vector, k, allowed_ids):
        """The k nearest vectors whose ids are in allowed_ids. Exact on a
        flat store; on an HNSW store the graph's nearest candidates
        (at least 4 x k) are filtered, so fewer than k may come back."""
        k = check_count(k, "k")
        address, keep = float_vector(vector, self._dimension, "query")
        allowed = frozenset(check_id(i) for i in allowed_ids)
        if not allowed:
            return []
        # Called by the library for each candidate while the search runs; it
        # only tests membership, so it can neither fail nor re-enter.
        keep_filter = _FILTER(lambda id, user: 1 if id in allowed else 0)
        with self._owner as s:
            room = self._room(s, k)
            results = result_buffer(room)
            n = _library.load().morvadb_vec_search_filtered(s, address, room, keep_filter, None,
                                                            ctypes.addressof(results))
            check_vector(n, "filtered search")
        return hits(results, n)

    def search_radius(self, vector, radius, max_results):
        """Vectors within radius (in the metric's units; squared distance for
        l2), at most max_results, nearest first. A flat store returns the
        first max_results qualifying vectors in storage order, sorted."""
        address, keep = float_vector(vector, self._dimension, "query")
        max_results = check_count(max_results, "max_results", 0, MAX_COUNT)
        if isinstance(radius, bool) or not isinstance(radius, Real):
            raise TypeError("radius must be a number")
        if max_results == 0:
            return []
        with self._owner as s:
            room = self._room(s, max_results)
            results = result_buffer(room)
            n = check_vector(_library.load().morvadb_vec_search_radius(s, address, ctypes.addressof(results), room,
                                                                       float(radius)), "radius search")
        return hits(results, n)
