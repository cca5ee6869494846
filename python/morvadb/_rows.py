"""Tables and rows in the convention of the ``morvadb`` tool.

A row is the concatenation of its column values in column order, little
endian, no header: int32 and float take 4 bytes, int64 and double 8, bool 1,
strings and blobs a 4-byte signed length and then their bytes. A row may end
early; the columns past its end are absent (None).

Every table shares the store's one key space, and a scan of one table visits
the rows of every table. Tables created by the tool or by this package
therefore begin with a hidden int32 column ``_table`` holding the table's
tag (0x4D560000 + table id): queries keep only rows with the table's tag, a
get or delete ignores a row of another table, and a put refuses a key that
holds another tagged table's row. A row is stored under the key of its key
column (the catalog's key column, else the first visible column): integers
as decimal text, other values as their raw bytes, followed by a NUL byte.
That is also the key the library's join looks up. Tables created by other
hosts have no tag column and are read as the library reads them.
"""

import struct
from collections import OrderedDict
from numbers import Integral, Real

from .errors import invalid

INT32, INT64, FLOAT, DOUBLE, STRING, BLOB, BOOL = range(7)

TYPE_NAMES = {INT32: "int32", INT64: "int64", FLOAT: "float", DOUBLE: "double", STRING: "string",
              BLOB: "blob", BOOL: "bool"}

# The tool's spellings, matched without regard to case.
_TYPE_ALIASES = {
    "int32": INT32, "int": INT32, "integer": INT32,
    "int64": INT64, "bigint": INT64, "long": INT64,
    "float": FLOAT, "float32": FLOAT, "real": FLOAT,
    "double": DOUBLE, "float64": DOUBLE,
    "string": STRING, "text": STRING, "str": STRING,
    "blob": BLOB, "bytes": BLOB,
    "bool": BOOL, "boolean": BOOL,
}

TAG_COLUMN = "_table"
TAG_BASE = 0x4D560000

# A put's log record is a 33-byte header, the key and the value, and must
# fit the write-ahead log's 65,536-byte buffer.
MAX_RECORD_PAYLOAD = 65536 - 33
MAX_COLUMNS = 64
MAX_NAME_BYTES = 63
MAX_COLUMN_NAME_BYTES = 255

_I32 = struct.Struct("<i")
_I64 = struct.Struct("<q")
_F32 = struct.Struct("<f")
_F64 = struct.Struct("<d")
_LEN = _I32


def type_code(name):
    """The column type code of a type name ("int32", "string" ...)."""
    if not isinstance(name, str):
        raise TypeError("column types are names such as 'int32' or 'string', not %r" % (name,))
    code = _TYPE_ALIASES.get(name.lower())
    if code is None:
        raise invalid("unknown column type %r (int32, int64, float, double, string, blob or bool)" % name)
    return code


def type_name(code):
    return TYPE_NAMES.get(code, "type%d" % code)


def name_bytes(name, what, limit):
    """A table or column name as the C string the library stores."""
    if not isinstance(name, str):
        raise TypeError("%s must be a str, not %s" % (what, type(name).__name__))
    data = name.encode("utf-8")
    if not data or len(data) > limit or b"\0" in data:
        raise invalid("%s %r must have 1 to %d bytes and no NUL" % (what, name, limit))
    return data


# ---- values -----------------------------------------------------------------

def _integer(value, column):
    if isinstance(value, bool) or not isinstance(value, Integral):
        raise TypeError("column %s holds integers, not %s" % (column, type(value).__name__))
    return int(value)


def _real(value, column):
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError("column %s holds numbers, not %s" % (column, type(value).__name__))
    return float(value)


def _boolean(value, column):
    if value is True or value is False:
        return value
    if getattr(getattr(value, "dtype", None), "kind", None) == "b":  # numpy.bool_
        return bool(value)
    if isinstance(value, Integral) and value in (0, 1):
        return bool(value)
    raise TypeError("column %s holds bools, not %r" % (column, value))


def _text(value, column):
    if not isinstance(value, str):
        raise TypeError("column %s holds str, not %s (use a blob column for bytes)" % (column, type(value).__name__))
    # Invalid UTF-8 written by other hosts decodes to surrogate escapes and
    # is written back as the same bytes.
    return value.encode("utf-8", "surrogateescape")


def _bytes(value, column):
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise TypeError("column %s holds bytes, not %s" % (column, type(value).__name__))


def encode_value(code, value, column):
    """The stored form of one value (with its length prefix)."""
    try:
        if code == INT32:
            return _I32.pack(_integer(value, column))
        if code == INT64:
            return _I64.pack(_integer(value, column))
        if code == FLOAT:
            return _F32.pack(_real(value, column))
        if code == DOUBLE:
            return _F64.pack(_real(value, column))
        if code == BOOL:
            return b"\1" if _boolean(value, column) else b"\0"
        data = _text(value, column) if code == STRING else _bytes(value, column)
    except (struct.error, OverflowError):
        raise invalid("%r does not fit column %s (%s)" % (value, column, type_name(code))) from None
    if len(data) > 0x7FFFFFFF:
        raise invalid("value of column %s is too long" % column)
    return _LEN.pack(len(data)) + data


_WIDTH = {INT32: 4, FLOAT: 4, INT64: 8, DOUBLE: 8, BOOL: 1}
_UNPACK = {INT32: _I32.unpack_from, FLOAT: _F32.unpack_from, INT64: _I64.unpack_from, DOUBLE: _F64.unpack_from}


def raw_values(types, row):
    """Each column's bytes (without length prefix), or None once the row has
    ended, in the way the library's row reader delimits them."""
    out = []
    pos, end = 0, len(row)
    for code in types:
        width = _WIDTH.get(code)
        if width is None:
            if pos + 4 > end:
                break
            n = _LEN.unpack_from(row, pos)[0]
            pos += 4
            if n < 0 or pos + n > end:
                break
            out.append(row[pos:pos + n])
            pos += n
        else:
            if pos + width > end:
                break
            out.append(row[pos:pos + width])
            pos += width
    out.extend([None] * (len(types) - len(out)))
    return out


def decode_value(code, raw):
    if raw is None:
        return None
    unpack = _UNPACK.get(code)
    if unpack is not None:
        return unpack(raw)[0]
    if code == BOOL:
        return raw[0] != 0
    if code == STRING:
        return bytes(raw).decode("utf-8", "surrogateescape")
    return bytes(raw)


def row_key(code, raw):
    """The key a row is stored under when its key column holds raw."""
    if code == INT32 and len(raw) == 4:
        return b"%d\0" % _I32.unpack_from(raw)[0]
    if code == INT64 and len(raw) == 8:
        return b"%d\0" % _I64.unpack_from(raw)[0]
    return bytes(raw) + b"\0"


# ---- tables -----------------------------------------------------------------

class TableInfo:
    """One catalog entry as the package sees it."""

    __slots__ = ("name", "name_bytes", "columns", "types", "key_column", "id", "tagged", "tag", "first",
                 "key_index", "tag_bytes", "index_of")

    def __init__(self, name, columns, types, key_column, table_id):
        self.name = name
        self.name_bytes = name.encode("utf-8", "surrogateescape")
        self.columns = columns
        self.types = types
        self.key_column = key_column
        self.id = table_id
        self.tagged = bool(columns) and columns[0] == TAG_COLUMN and types[0] == INT32
        self.tag = TAG_BASE + table_id
        self.tag_bytes = _I32.pack(self.tag) if self.tagged else b""
        self.first = 1 if self.tagged else 0
        if 0 <= key_column < len(columns) and not (self.tagged and key_column == 0):
            self.key_index = key_column
        else:
            self.key_index = self.first
        self.index_of = {}
        for i, column in enumerate(columns):
            self.index_of.setdefault(column, i)

    def schema(self):
        return OrderedDict((self.columns[i], type_name(self.types[i])) for i in range(self.first, len(self.columns)))

    @property
    def key_name(self):
        return self.columns[self.key_index] if self.key_index < len(self.columns) else None

    def column(self, name):
        """Index of a visible column; raises for unknown and hidden names."""
        i = self.index_of.get(name, -1)
        if i < self.first:
            raise invalid("table %s has no column %r" % (self.name, name))
        return i

    def belongs(self, row):
        """Whether a stored row is one of this table's rows."""
        return not self.tagged or row[:4] == self.tag_bytes

    def encode_row(self, values):
        """(key, row) of a row given as a mapping of every visible column."""
        if not hasattr(values, "keys"):
            raise TypeError("a row is a dict of column name to value, not %s" % type(values).__name__)
        parts = [self.tag_bytes]
        key_raw = None
        used = 0
        for i in range(self.first, len(self.columns)):
            name = self.columns[i]
            try:
                value = values[name]
            except KeyError:
                raise invalid("row for table %s lacks column %r" % (self.name, name)) from None
            used += 1
            encoded = encode_value(self.types[i], value, name)
            parts.append(encoded)
            if i == self.key_index:
                key_raw = encoded if _WIDTH.get(self.types[i]) else encoded[4:]
        if used != len(values):
            extra = sorted(str(k) for k in values if k not in self.index_of or self.index_of[k] < self.first)
            raise invalid("table %s has no column %s" % (self.name, ", ".join(map(repr, extra))))
        if key_raw is None:
            raise invalid("table %s has no key column" % self.name)
        return row_key(self.types[self.key_index], key_raw), b"".join(parts)

    def key_for(self, value):
        """The stored key of the row whose key column holds value."""
        if self.key_index >= len(self.columns):
            raise invalid("table %s has no key column" % self.name)
        code = self.types[self.key_index]
        encoded = encode_value(code, value, self.columns[self.key_index])
        return row_key(code, encoded if _WIDTH.get(code) else encoded[4:])

    def decode_row(self, row):
        """A dict of the visible columns of a stored row."""
        types = self.types
        raw = raw_values(types, row)
        return {self.columns[i]: decode_value(types[i], raw[i]) for i in range(self.first, len(types))}
