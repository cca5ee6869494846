"""morvadb: Python access to libmorvadb_shared, an embedded database with
typed tables, queries, full-text search and vector search.

    import morvadb
    from morvadb import where

    with morvadb.open("data/db") as db:
        db.create_table("people", {"name": "string", "age": "int32"}, key="name")
        db.put("people", {"name": "ada", "age": 36})
        db.get("people", "ada")                      # {'name': 'ada', 'age': 36}
        db.query("people", where=where("age", ">", 30), order_by="age")

The package talks to the shared library through ctypes only; numpy, when
installed, lets vectors travel as float32 arrays without copies. The
library is found through MORVADB_LIBRARY, beside the package, in the source
tree's build directory, or on the system library path (see morvadb.library_path()).
"""

from . import _library
from .conditions import Condition, where
from .database import Database, open, open_reader
from .embedder import Embedder
from .errors import (BusyError, CorruptError, Error, ExistsError, InputOutputError, InvalidArgumentError,
                     NotFoundError, OutOfMemoryError)
from .quantizer import Quantizer
from .vector_store import VectorStore

__version__ = "0.1.0"

__all__ = [
    "open", "open_reader", "where", "Database", "Condition", "VectorStore", "Embedder", "Quantizer",
    "Error", "BusyError", "CorruptError", "ExistsError", "InputOutputError", "InvalidArgumentError",
    "NotFoundError", "OutOfMemoryError", "library_path", "__version__",
]


def library_path():
    """The path of the loaded library, loading it first (raises Error when none is found)."""
    _library.load()
    return _library.loaded_path()
