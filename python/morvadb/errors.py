"""Exceptions of the morvadb package.

Every failure the library reports becomes an :class:`Error` (or one of its
subclasses) carrying the library's status code and a message that names the
operation; no status code ever reaches the caller as a bare integer.
"""

# Status codes of the database-level calls.
OK = 0
NOMEM = -1
NOT_FOUND = -2
EXISTS = -3
CORRUPT = -4
IO = -5
INVALID = -6
BUSY = -7

# The vector families (stores, the handle's vector index) number their
# failures differently below -2; these map them onto the database codes.
_VECTOR_TO_DB = {-1: NOMEM, -2: NOT_FOUND, -3: CORRUPT, -4: IO, -5: INVALID, -6: INVALID}

_FALLBACK_TEXT = {
    NOMEM: "out of memory",
    NOT_FOUND: "not found",
    EXISTS: "already exists",
    CORRUPT: "corrupt data",
    IO: "I/O error",
    INVALID: "invalid argument",
    BUSY: "busy",
}


class Error(Exception):
    """A failure reported by the database library or detected before calling it.

    ``code`` is the library's status code (a negative ``DB_ERR_*`` value, or
    0 for failures that have no code, such as a library that cannot be found);
    ``message`` says what failed.
    """

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return self.message


class OutOfMemoryError(Error):
    """The library ran out of memory (or a fixed-capacity index is full)."""


class NotFoundError(Error):
    """A table, key or id does not exist."""


class ExistsError(Error):
    """A table of that name exists already, or a key holds another table's row."""


class CorruptError(Error):
    """A file holds damaged or unexpected data."""


class InputOutputError(Error):
    """A file could not be created, opened, read or written."""


class InvalidArgumentError(Error, ValueError):
    """An argument was refused, or the object is closed or read-only."""


class BusyError(Error):
    """Another writer holds the database."""


_CLASS_OF = {
    NOMEM: OutOfMemoryError,
    NOT_FOUND: NotFoundError,
    EXISTS: ExistsError,
    CORRUPT: CorruptError,
    IO: InputOutputError,
    INVALID: InvalidArgumentError,
    BUSY: BusyError,
}


def _status_text(code):
    # The library's own wording; the fallback only serves when it cannot be
    # loaded, which never happens after a call has returned a status.
    from . import _library

    try:
        return _library.error_string(code)
    except Exception:  # pragma: no cover - the library is loaded by then
        return _FALLBACK_TEXT.get(code, "unknown error")


def error_for(code, context):
    """The exception for a database status code, with the library's text."""
    cls = _CLASS_OF.get(code, Error)
    return cls(code, "%s: %s" % (context, _status_text(code)))


def check(code, context):
    """Raises for a negative database status; returns it otherwise."""
    if code < 0:
        raise error_for(code, context)
    return code


def check_vector(code, context):
    """As check, for the vector store's status values (and db_vec_ calls)."""
    if code < 0:
        raise error_for(_VECTOR_TO_DB.get(code, code), context)
    return code


def invalid(message):
    """An InvalidArgumentError for input refused before it reaches the library."""
    return InvalidArgumentError(INVALID, message)
