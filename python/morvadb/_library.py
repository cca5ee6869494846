"""Finding and loading libmorvadb_shared.so, and the C prototypes used.

The library is looked for, in this order:

1. the ``MORVADB_LIBRARY`` environment variable (a file, or a directory
   holding the library); when it is set, nothing else is tried, so a wrong
   setting is reported instead of silently loading another copy;
2. a library installed beside the package (copied into the package by
   ``pip install``, or the one ``cmake --install`` put under the same prefix);
3. ``build/libmorvadb_shared.so`` of the source tree the package sits in;
4. the system's library path (``LD_LIBRARY_PATH``, the loader cache).

Importing the package never loads anything: the first call that needs the
library loads it, and when no candidate loads it raises :class:`Error`
naming every place it looked.
"""

import ctypes
import os
import threading

from .errors import Error

LIBRARY_NAME = "libmorvadb_shared.so"
ENVIRONMENT_VARIABLE = "MORVADB_LIBRARY"

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

_lock = threading.Lock()
_lib = None
_path = None

c_int32 = ctypes.c_int32
c_uint32 = ctypes.c_uint32
c_uint64 = ctypes.c_uint64
c_float = ctypes.c_float
c_size_t = ctypes.c_size_t
c_char_p = ctypes.c_char_p
c_void_p = ctypes.c_void_p
_pp = ctypes.POINTER(ctypes.c_void_p)
_u64p = ctypes.POINTER(ctypes.c_uint64)

# Every function the package calls: name -> (result type, argument types).
# Pointers to library objects and to float or byte buffers travel as
# c_void_p (plain addresses), which is the cheapest conversion ctypes has.
PROTOTYPES = {
    "db_error_string": (c_char_p, [c_int32]),
    "db_open": (c_int32, [c_char_p, c_void_p, _pp]),
    "db_open_reader": (c_int32, [c_char_p, c_void_p, _pp]),
    "db_reader_refresh": (c_int32, [c_void_p]),
    "db_close": (c_int32, [c_void_p]),
    "db_put": (c_int32, [c_void_p, c_char_p, c_char_p, c_uint64, c_char_p, c_uint64]),
    "db_get": (c_int32, [c_void_p, c_char_p, c_char_p, c_uint64, _pp, _u64p]),
    "db_delete": (c_int32, [c_void_p, c_char_p, c_char_p, c_uint64]),
    "db_create_table": (c_int32, [c_void_p, c_char_p, c_void_p, c_void_p, c_int32, c_char_p]),
    "db_query": (c_void_p, [c_void_p, c_char_p]),
    "qb_cond": (c_void_p, [c_void_p, c_char_p, c_char_p, c_char_p]),
    "qb_cond_and": (c_void_p, [c_void_p, c_void_p, c_void_p]),
    "qb_cond_or": (c_void_p, [c_void_p, c_void_p, c_void_p]),
    "qb_cond_not": (c_void_p, [c_void_p, c_void_p]),
    "condition_destroy": (None, [c_void_p]),
    "qb_where": (c_int32, [c_void_p, c_void_p]),
    "qb_sort": (c_int32, [c_void_p, c_char_p, c_int32]),
    "qb_limit": (c_int32, [c_void_p, c_int32]),
    "qb_join": (c_int32, [c_void_p, c_char_p, c_char_p, c_char_p]),
    "qb_exec": (c_void_p, [c_void_p]),
    "qb_destroy": (None, [c_void_p]),
    "rs_close": (None, [c_void_p]),
    "tokenizer_create": (c_void_p, []),
    "tokenizer_destroy": (None, [c_void_p]),
    "tokenizer_tokenize": (c_int32, [c_void_p, c_char_p, c_uint64, c_void_p, c_int32]),
    "fts_index_add_document": (c_int32, [c_void_p, c_void_p, c_char_p, c_void_p, c_int32]),
    "db_fts_search": (c_int32, [c_void_p, c_char_p, c_char_p, c_char_p, _pp]),
    "db_hybrid_search": (c_int32, [c_void_p, c_char_p, c_char_p, c_char_p, c_void_p, c_void_p, c_void_p,
                                   c_int32]),
    "db_vec_create_index": (c_int32, [c_void_p, c_void_p]),
    "db_vec_destroy_index": (c_int32, [c_void_p]),
    "db_vec_insert_text": (c_int32, [c_void_p, c_uint64, c_char_p, c_uint64]),
    "db_vec_insert_batch": (c_int32, [c_void_p, c_uint32, c_void_p, c_void_p, c_void_p]),
    "db_vec_insert_vector": (c_int32, [c_void_p, c_uint64, c_void_p]),
    "db_vec_search_text": (c_int32, [c_void_p, c_char_p, c_uint64, c_int32, c_void_p]),
    "db_vec_search": (c_int32, [c_void_p, c_void_p, c_int32, c_void_p]),
    "db_vec_delete": (c_int32, [c_void_p, c_uint64]),
    "db_vec_count": (c_int32, [c_void_p]),
    "morvadb_vec_create": (c_int32, [c_char_p, c_void_p, _pp]),
    "morvadb_vec_open": (c_int32, [c_char_p, _pp]),
    "morvadb_vec_close": (c_int32, [c_void_p]),
    "morvadb_vec_insert": (c_int32, [c_void_p, c_uint64, c_void_p]),
    "morvadb_vec_insert_batch": (c_int32, [c_void_p, c_uint32, c_void_p, c_void_p]),
    "morvadb_vec_delete": (c_int32, [c_void_p, c_uint64]),
    "morvadb_vec_get": (c_int32, [c_void_p, c_uint64, c_void_p]),
    "morvadb_vec_search": (c_int32, [c_void_p, c_void_p, c_int32, c_void_p]),
    "morvadb_vec_search_filtered": (c_int32, [c_void_p, c_void_p, c_int32, c_void_p, c_void_p, c_void_p]),
    "morvadb_vec_search_radius": (c_int32, [c_void_p, c_void_p, c_void_p, c_uint32, c_float]),
    "morvadb_vec_count": (c_int32, [c_void_p]),
    "morvadb_vec_dimension": (c_uint32, [c_void_p]),
    "morvadb_vec_flush": (c_int32, [c_void_p]),
    "morvadb_vec_flush_interval": (c_int32, [c_void_p, c_int32]),
    "morvadb_embed_create": (c_int32, [c_uint32, c_int32, _pp]),
    "morvadb_embed_destroy": (None, [c_void_p]),
    "morvadb_embed_text": (c_int32, [c_void_p, c_char_p, c_uint64, c_void_p]),
    "morvadb_embed_batch": (c_int32, [c_void_p, c_void_p, c_void_p, c_uint32, c_void_p]),
    "morvadb_embed_dimensions": (c_uint32, [c_void_p]),
    "morvadb_quant_create": (c_int32, [c_void_p, _pp]),
    "morvadb_quant_destroy": (None, [c_void_p]),
    "morvadb_quant_train": (c_int32, [c_void_p, c_void_p, c_uint32]),
    "morvadb_quant_code_size": (c_size_t, [c_void_p]),
    "morvadb_quant_encode": (c_int32, [c_void_p, c_void_p, c_void_p, c_void_p]),
    "morvadb_quant_decode": (c_int32, [c_void_p, c_void_p, c_uint64, c_void_p]),
    "morvadb_quant_distance": (c_float, [c_void_p, c_void_p, c_uint64, c_void_p, c_uint64]),
}


def _installed_library():
    """The library path that ``cmake --install`` recorded beside the package."""
    try:
        from . import _installed  # written only into installed copies
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_PACKAGE_DIR, _installed.LIBRARY))


def candidates():
    """(description, path) pairs in search order; a path without a slash is
    resolved by the system loader."""
    env = os.environ.get(ENVIRONMENT_VARIABLE)
    if env:
        path = os.path.join(env, LIBRARY_NAME) if os.path.isdir(env) else env
        return [("%s=%s" % (ENVIRONMENT_VARIABLE, env), os.path.abspath(path))]
    places = [("beside the package", os.path.join(_PACKAGE_DIR, LIBRARY_NAME))]
    installed = _installed_library()
    if installed:
        places.append(("installed under the package's prefix", installed))
    source_tree = os.path.normpath(os.path.join(_PACKAGE_DIR, "..", "..", "build", LIBRARY_NAME))
    places.append(("the source tree's build directory", source_tree))
    places.append(("the system library path", LIBRARY_NAME))
    return places


def _declare(lib):
    for name, (restype, argtypes) in PROTOTYPES.items():
        fn = getattr(lib, name)  # AttributeError: the build lacks it
        fn.restype = restype
        fn.argtypes = argtypes


def _try_load(path):
    """The loaded library, or the reason it could not be loaded."""
    if os.sep in path and not os.path.isfile(path):
        return None, "no such file"
    try:
        lib = ctypes.CDLL(path)
    except OSError as e:
        return None, str(e)
    try:
        _declare(lib)
    except AttributeError as e:
        return None, "not a usable build of the library (%s)" % e
    return lib, None


def load():
    """The loaded library; raises Error naming the places looked when none loads."""
    global _lib, _path
    lib = _lib
    if lib is not None:
        return lib
    with _lock:
        if _lib is not None:
            return _lib
        tried = []
        for description, path in candidates():
            lib, reason = _try_load(path)
            if lib is not None:
                _path = path if os.sep in path else LIBRARY_NAME
                _lib = lib
                return lib
            where = description if path == LIBRARY_NAME else "%s: %s" % (description, path)
            tried.append("  %s (%s)" % (where, reason))
        if not os.environ.get(ENVIRONMENT_VARIABLE):
            tried.insert(0, "  %s (not set)" % ENVIRONMENT_VARIABLE)
        raise Error(0, "%s was not found. Looked in:\n%s\nBuild it with cmake (it appears as "
                       "build/%s) or set %s to its path."
                    % (LIBRARY_NAME, "\n".join(tried), LIBRARY_NAME, ENVIRONMENT_VARIABLE))


def loaded_path():
    """The path the library was loaded from, or None before the first use."""
    return _path


def error_string(code):
    return load().db_error_string(code).decode("ascii", "replace")


class _Libc:
    """The C library's read-write lock calls, for the handle's public locks."""

    def __init__(self):
        libc = ctypes.CDLL(None, use_errno=True)
        for name in ("pthread_rwlock_rdlock", "pthread_rwlock_wrlock", "pthread_rwlock_unlock"):
            fn = getattr(libc, name)
            fn.restype = ctypes.c_int
            fn.argtypes = [c_void_p]
        self.rdlock = libc.pthread_rwlock_rdlock
        self.wrlock = libc.pthread_rwlock_wrlock
        self.unlock = libc.pthread_rwlock_unlock


_libc = None


def libc():
    global _libc
    if _libc is None:
        _libc = _Libc()
    return _libc


class RwLock:
    """Holds one of the library's pthread read-write locks for a with block.

    The library's records expose these locks so hosts that read or change
    shared fields (the catalog, the index pointers) can take them the way the
    library's own calls do."""

    __slots__ = ("_address", "_write")

    def __init__(self, address, write=False):
        self._address = address
        self._write = write

    def __enter__(self):
        c = libc()
        rc = (c.wrlock if self._write else c.rdlock)(self._address)
        if rc != 0:
            raise Error(0, "cannot take the database's lock (error %d)" % rc)
        return self

    def __exit__(self, *exc):
        libc().unlock(self._address)
        return False
