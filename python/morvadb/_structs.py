"""ctypes mirrors of the library's public records.

Only the records the package reads or fills are laid out; each keeps the
field order and types of include/morvadb.h (the tests compare sizes and
offsets with the C compiler's). Lock and thread fields are opaque storage of
the right size and alignment: the package only ever passes their address to
the C library's lock calls.
"""

import ctypes
from ctypes import (POINTER, Structure, c_char, c_char_p, c_double, c_float, c_int32, c_int64, c_uint8,
                    c_uint32, c_uint64, c_void_p)

DB_MAX_TABLES = 64
DB_NAME_SIZE = 64
ROW_MAX_COLUMNS = 64

# glibc on x86-64: pthread_rwlock_t is 56 bytes, pthread_mutex_t 40, both
# 8-byte aligned; pthread_t is an unsigned long.
_RwLock = c_uint64 * 7
_Mutex = c_uint64 * 5
_Thread = c_uint64


class DbOptions(Structure):
    _fields_ = [
        ("sync_mode", c_int32),
        ("reserved1", c_int32),
        ("reserved2", c_uint64),
        ("memtable_size", c_uint64),
        ("reserved3", c_int32),
        ("shared_mode", c_int32),
        ("refresh_interval_ms", c_int32),
        ("reserved4", c_int32),
        ("reserved5", c_uint64),
        ("reserved6", c_double),
    ]

    @classmethod
    def defaults(cls):
        return cls(0, 0, 65536, 65536, 1, 0, 10, 4, 10485760, 10.0)


class TableSchema(Structure):
    _fields_ = [
        ("name", c_char * DB_NAME_SIZE),
        ("column_types", POINTER(c_int32)),
        ("column_names", POINTER(c_char_p)),
        ("column_count", c_int32),
        ("key_column", c_int32),
        ("table_id", c_int64),
    ]


class _MappedFile(Structure):
    _fields_ = [("map_base", c_void_p), ("map_addr", c_void_p), ("map_size", c_uint64), ("fd", c_int32)]


class _WalMmap(Structure):
    _fields_ = [("file", _MappedFile), ("header", c_void_p), ("data", c_void_p), ("capacity", c_uint64),
                ("cursor", c_uint64)]


class _SharedMeta(Structure):
    _fields_ = [("magic", c_uint64), ("reserved", c_uint64), ("version", c_uint32), ("reader_count", c_uint32)]


class DbHandle(Structure):
    _fields_ = [
        ("path", c_char_p),
        ("memtables", c_void_p),
        ("tree", c_void_p),
        ("log", c_void_p),
        ("tables", TableSchema * DB_MAX_TABLES),
        ("table_count", c_int32),
        ("options", DbOptions),
        ("last_error", c_int32),
        ("fts", c_void_p),
        ("vectors", c_void_p),
        ("embed", c_void_p),
        ("quant", c_void_p),
        ("quant_vectors", c_void_p),
        ("quant_ids", c_void_p),
        ("quant_count", c_uint32),
        ("quant_capacity", c_uint32),
        ("catalog_lock", _RwLock),
        ("wal_mutex", _Mutex),
        ("memtable_lock", _RwLock),
        ("store_lock", _RwLock),
        ("bg_thread", _Thread),
        ("bg_running", c_int32),
        ("is_follower", c_int32),
        ("mapped_log", _WalMmap),
        ("meta", _SharedMeta),
        ("follower_thread", _Thread),
        ("follower_running", c_int32),
        ("internal", c_void_p),
    ]


class FtsIndex(Structure):
    _fields_ = [("terms", c_void_p), ("next_doc_id", c_uint64), ("doc_count", c_int32),
                ("posting_count", c_int32)]


class ResultSet(Structure):
    _fields_ = [
        ("row_count", c_int32),
        ("cursor", c_int32),
        ("column_count", c_int32),
        ("column_types", c_uint32 * ROW_MAX_COLUMNS),
        ("column_names", c_char_p * ROW_MAX_COLUMNS),
        ("search_mode", c_int32),
        ("ids", POINTER(c_int64)),
        ("scores", POINTER(c_double)),
        ("rows", POINTER(POINTER(c_uint8))),
        ("row_lengths", POINTER(c_uint64)),
        ("capacity", c_int32),
        ("stored_rows", c_int32),
    ]


class Token(Structure):
    _fields_ = [("text", c_void_p), ("length", c_uint64), ("position", c_uint64)]


class VecConfig(Structure):
    _fields_ = [
        ("index_type", c_uint32),
        ("metric", c_uint32),
        ("dimension", c_uint32),
        ("capacity", c_uint32),
        ("persist", c_uint32),
        ("m", c_uint32),
        ("ef_construction", c_uint32),
        ("ef_search", c_uint32),
    ]


class VecStore(Structure):
    """The leading fields of vec_store, up to the flat index's slot arrays."""

    _fields_ = [
        ("config", VecConfig),
        ("distance", c_void_p),
        ("lock", _RwLock),
        ("path", c_char_p),
        ("dirty", c_uint32),
        ("graph", c_void_p),
        ("uses_graph", c_uint32),
        ("vectors", c_void_p),
        ("ids", c_void_p),
        ("count", c_uint64),
        ("capacity", c_uint64),
        ("deleted", c_void_p),
    ]


class VecResult(Structure):
    _fields_ = [("id", c_uint64), ("distance", c_float)]


class DbVecOptions(Structure):
    _fields_ = [("dimension", c_uint32), ("ngram", c_int32), ("use_hnsw", c_uint32), ("m", c_uint32),
                ("ef_construction", c_uint32)]


class HybridOptions(Structure):
    _fields_ = [("mode", c_int32), ("vector_weight", c_double), ("text_weight", c_double),
                ("vector_k", c_uint32)]


class HybridResult(Structure):
    _fields_ = [("id", c_uint64), ("score", c_double), ("vector_distance", c_double), ("text_score", c_double)]


class QuantConfig(Structure):
    _fields_ = [("type", c_int32), ("dimension", c_int32), ("subquantizers", c_int32)]


def handle_record(address):
    """The db_handle record at address (valid only while the handle is open)."""
    return DbHandle.from_address(address)


def field_address(record, name):
    """Address of a field inside a record, for the lock calls."""
    return ctypes.addressof(record) + getattr(type(record), name).offset
