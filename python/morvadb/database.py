"""The Database object: tables, rows, queries and the handle's indexes."""

import ctypes
import os
import threading

from . import _library, conditions
from ._owner import Owned, Owner
from ._rows import (BLOB, MAX_COLUMN_NAME_BYTES, MAX_COLUMNS, MAX_NAME_BYTES, MAX_RECORD_PAYLOAD, TAG_COLUMN,
                    INT32, TableInfo, decode_value, name_bytes, raw_values, type_code)
from ._search import SearchMixin
from ._structs import DbOptions, ResultSet, field_address, handle_record
from ._vector_index import VectorIndexMixin
from .errors import EXISTS, INVALID, NOMEM, NOT_FOUND, ExistsError, NotFoundError, check, error_for, invalid

_I32_MAX = 0x7FFFFFFF


def _path_bytes(path):
    data = os.fsencode(path)
    if not data or b"\0" in data:
        raise invalid("a database path must be non-empty and contain no NUL")
    return data


def _close_handle(address):
    return _library.load().db_close(address)


def _optional_int(value, what, low, high):
    if value is None:
        return None
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError("%s must be an int" % what)
    value = value.__index__()
    if not low <= value <= high:
        raise invalid("%s must lie in %d .. %d" % (what, low, high))
    return value


def open(path, *, sync_mode=0, memtable_size=None, shared_mode=False, refresh_interval_ms=None):
    """Opens (creating when absent) the database at a path prefix for writing.

    The database's files are the prefix plus a suffix (``data/db`` keeps
    ``data/db.wal``, ``data/db.system`` ...). ``sync_mode`` 0, 1 or 2 sets how
    eagerly the write-ahead log reaches the operating system;
    ``memtable_size`` is the byte limit of one memtable (64 KiB by default);
    ``shared_mode`` publishes every write to read-only followers
    (:func:`open_reader`). Only one writer may hold a prefix: a second
    :func:`open` raises :class:`BusyError`. Use the result as a context
    manager, or call ``close()``.
    """
    options = DbOptions.defaults()
    options.sync_mode = _optional_int(sync_mode, "sync_mode", 0, 2) or 0
    if memtable_size is not None:
        options.memtable_size = _optional_int(memtable_size, "memtable_size", 0, (1 << 64) - 1)
    options.shared_mode = 1 if shared_mode else 0
    if refresh_interval_ms is not None:
        options.refresh_interval_ms = _optional_int(refresh_interval_ms, "refresh_interval_ms", 0, _I32_MAX)
    return Database._open(path, options, reader=False)


def open_reader(path, *, refresh_interval_ms=None):
    """Opens a read-only follower of a database whose writer runs in shared mode.

    The follower applies the writer's published changes every
    ``refresh_interval_ms`` milliseconds (10 by default) and whenever
    ``refresh()`` is called. Writes on a follower raise InvalidArgumentError.
    """
    options = DbOptions.defaults()
    if refresh_interval_ms is not None:
        options.refresh_interval_ms = _optional_int(refresh_interval_ms, "refresh_interval_ms", 0, _I32_MAX)
    return Database._open(path, options, reader=True)


class Database(SearchMixin, VectorIndexMixin, Owned):
    """An open database: typed tables, queries, full-text and vector search.

    Create one with :func:`morvadb.open` or :func:`morvadb.open_reader`. All
    methods may be called from several threads; ``close()`` waits for calls
    in progress and later calls raise InvalidArgumentError.
    """

    def __init__(self, address, path, reader):
        self._owner = Owner(address, _close_handle, "database %s" % path)
        self._path = path
        self._reader = reader
        self._slots = []        # TableInfo per catalog slot (tables are only ever added)
        self._by_name = {}
        self._by_tag = {}
        self._catalog_guard = threading.Lock()
        SearchMixin.__init__(self)
        VectorIndexMixin.__init__(self)

    @classmethod
    def _open(cls, path, options, reader):
        lib = _library.load()
        encoded = _path_bytes(path)
        out = ctypes.c_void_p()
        opener = lib.db_open_reader if reader else lib.db_open
        check(opener(encoded, ctypes.addressof(options), ctypes.byref(out)),
              "cannot open %s %s" % ("follower of" if reader else "database", os.fsdecode(encoded)))
        db = cls(out.value, os.fsdecode(encoded), reader)
        # A handle whose path field does not read back means this package's
        # mirror of the handle record does not match the library.
        if handle_record(out.value).path != encoded:
            db._owner.close()
            raise error_for(INVALID, "libmorvadb_shared.so at %s does not match this package"
                            % _library.loaded_path())
        return db

    # ---- lifetime ----------------------------------------------------------

    @property
    def path(self):
        return self._path

    @property
    def read_only(self):
        """True for a follower opened with open_reader()."""
        return self._reader

    def close(self):
        """Writes what is still in memory and releases the handle. Safe to call twice.

        The handle is released in every case; InputOutputError says that
        acknowledged writes could reach no file (neither a table nor the log).
        """
        status = self._owner.close()
        if status is not None and status < 0:
            raise error_for(status, "closing database %s" % self._path)

    def __repr__(self):
        state = "closed" if self.closed else ("follower" if self._reader else "open")
        return "<morvadb.Database %r (%s)>" % (self._path, state)

    def refresh(self):
        """Applies the writer's newly published changes now (followers only)."""
        if not self._reader:
            raise invalid("refresh() is for followers opened with open_reader()")
        with self._owner as h:
            check(_library.load().db_reader_refresh(h), "refresh %s" % self._path)

    def _writable(self, what):
        if self._reader:
            raise invalid("cannot %s: the database is a read-only follower" % what)

    # ---- catalog -----------------------------------------------------------

    def _load_new_tables(self, h):
        record = handle_record(h)
        with self._catalog_guard, _library.RwLock(field_address(record, "catalog_lock")):
            count = min(record.table_count, len(record.tables))
            for i in range(len(self._slots), count):
                t = record.tables[i]
                n = max(t.column_count, 0)
                names = [(t.column_names[c] or b"").decode("utf-8", "surrogateescape") for c in range(n)]
                types = [t.column_types[c] for c in range(n)]
                info = TableInfo(t.name.decode("utf-8", "surrogateescape"), names, types, t.key_column,
                                 t.table_id)
                self._slots.append(info)
                self._by_name.setdefault(info.name, info)
                if info.tagged:
                    self._by_tag.setdefault(info.tag, info)

    def _table(self, name, h):
        info = self._by_name.get(name)
        if info is None:
            if not isinstance(name, str):
                raise TypeError("table names are str, not %s" % type(name).__name__)
            self._load_new_tables(h)
            info = self._by_name.get(name)
            if info is None:
                raise NotFoundError(NOT_FOUND, "no table named %r" % name)
        return info

    def tables(self):
        """Names of the tables, in creation order."""
        with self._owner as h:
            self._load_new_tables(h)
            return [t.name for t in self._slots]

    def schema(self, table):
        """The visible columns of a table: an ordered dict of name to type name."""
        with self._owner as h:
            return self._table(table, h).schema()

    def key_column(self, table):
        """The name of the column a table's rows are keyed by."""
        with self._owner as h:
            return self._table(table, h).key_name

    def create_table(self, name, columns, key=None):
        """Creates a table.

        ``columns`` is an ordered mapping (or a sequence of pairs) of column
        name to type name: ``"int32"``, ``"int64"``, ``"float"``,
        ``"double"``, ``"string"``, ``"blob"`` or ``"bool"``. ``key`` names
        the column rows are keyed by (the first column when omitted). Tables
        carry the hidden tag column the ``morvadb`` tool uses, so both read
        each other's tables. Raises ExistsError when the table exists.
        """
        self._writable("create a table")
        table_name = name_bytes(name, "table name", MAX_NAME_BYTES)
        pairs = list(columns.items()) if hasattr(columns, "items") else list(columns)
        if not pairs:
            raise invalid("a table needs at least one column")
        if len(pairs) > MAX_COLUMNS - 1:
            raise invalid("a table has at most %d columns" % (MAX_COLUMNS - 1))
        names, types = [TAG_COLUMN.encode()], [INT32]
        for pair in pairs:
            column, kind = pair
            data = name_bytes(column, "column name", MAX_COLUMN_NAME_BYTES)
            if b"|" in data or column == TAG_COLUMN:
                raise invalid("invalid column name %r" % column)
            if data in names:
                raise invalid("duplicate column name %r" % column)
            names.append(data)
            types.append(type_code(kind))
        key_name = pairs[0][0] if key is None else key
        if not isinstance(key_name, str) or key_name.encode("utf-8") not in names[1:]:
            raise invalid("the key %r is not one of the columns" % (key_name,))
        name_array = (ctypes.c_char_p * len(names))(*names)
        type_array = (ctypes.c_int32 * len(types))(*types)
        with self._owner as h:
            rc = _library.load().db_create_table(h, table_name, ctypes.addressof(name_array),
                                                 ctypes.addressof(type_array), len(types),
                                                 key_name.encode("utf-8"))
            if rc == EXISTS:
                raise ExistsError(rc, "table %r exists already" % name)
            check(rc, "create table %s" % name)

    # ---- rows --------------------------------------------------------------

    def _fetch(self, h, table_name, key):
        """A copy of the value stored under key, or None."""
        value = ctypes.c_void_p()
        length = ctypes.c_uint64()
        rc = _library.load().db_get(h, table_name, key, len(key), ctypes.byref(value), ctypes.byref(length))
        if rc == NOT_FOUND:
            return None
        check(rc, "get")
        # The pointer is the library's per-thread copy: copy it out before
        # anything else can call db_get on this thread.
        return ctypes.string_at(value.value, length.value) if length.value else b""

    def _store(self, h, info, key, row):
        if len(key) + len(row) > MAX_RECORD_PAYLOAD:
            raise invalid("a row and its key take %d bytes; at most %d fit one write"
                          % (len(key) + len(row), MAX_RECORD_PAYLOAD))
        existing = self._fetch(h, info.name_bytes, key)
        if existing is not None and len(existing) >= 4:
            # The key space is shared: refuse to replace another table's row.
            owner = self._by_tag.get(int.from_bytes(existing[:4], "little", signed=True))
            if owner is not None and owner.name != info.name:
                raise ExistsError(EXISTS, "the key of this row already holds a row of table %s "
                                          "(all tables share one key space)" % owner.name)
        check(_library.load().db_put(h, info.name_bytes, key, len(key), row, len(row)), "put %s" % info.name)

    def put(self, table, row):
        """Inserts or replaces a row given as a dict of every column's value.

        The row is stored under the value of the table's key column.
        Raises ExistsError when that key holds a row of another table.
        """
        self._writable("put")
        with self._owner as h:
            info = self._table(table, h)
            key, data = info.encode_row(row)
            self._store(h, info, key, data)
            if self._indexed_column(info.name) is not None:
                self._index_row(h, info, key, data)

    def get(self, table, key):
        """The row whose key column holds key, as a dict, or None."""
        with self._owner as h:
            info = self._table(table, h)
            data = self._fetch(h, info.name_bytes, info.key_for(key))
            if data is None or not info.belongs(data):
                return None
            return info.decode_row(data)

    def delete(self, table, key):
        """Deletes the row whose key column holds key; returns whether there was one."""
        self._writable("delete")
        with self._owner as h:
            info = self._table(table, h)
            stored_key = info.key_for(key)
            data = self._fetch(h, info.name_bytes, stored_key)
            if data is None or not info.belongs(data):
                return False
            check(_library.load().db_delete(h, info.name_bytes, stored_key, len(stored_key)),
                  "delete %s" % info.name)
            self._forget_row(h, info.name, stored_key)
            return True

    def __contains__(self, table):
        """Whether a table of that name exists."""
        with self._owner as h:
            try:
                self._table(table, h)
            except NotFoundError:
                return False
            return True

    # ---- raw key/value -----------------------------------------------------

    def put_bytes(self, table, key, value):
        """Stores value under key, both bytes, bypassing the row encoding (the table must exist)."""
        self._writable("put")
        key, value = bytes(key), bytes(value)
        with self._owner as h:
            info = self._table(table, h)
            if len(key) + len(value) > MAX_RECORD_PAYLOAD:
                raise invalid("key and value take %d bytes; at most %d fit one write"
                              % (len(key) + len(value), MAX_RECORD_PAYLOAD))
            check(_library.load().db_put(h, info.name_bytes, key, len(key), value, len(value)), "put")

    def get_bytes(self, table, key):
        """The bytes stored under key, or None (keys are shared by all tables)."""
        key = bytes(key)
        with self._owner as h:
            return self._fetch(h, self._table(table, h).name_bytes, key)

    def delete_bytes(self, table, key):
        """Deletes key (writing a tombstone even when it is absent)."""
        self._writable("delete")
        key = bytes(key)
        with self._owner as h:
            info = self._table(table, h)
            check(_library.load().db_delete(h, info.name_bytes, key, len(key)), "delete")

    # ---- queries -----------------------------------------------------------

    def query(self, table, where=None, order_by=None, descending=False, limit=None, join=None):
        """Rows of a table as a list of dicts.

        ``where`` is a condition built with :func:`morvadb.where` (combined
        with ``&``, ``|``, ``~``); ``order_by`` a column name; ``limit`` the
        most rows returned (after sorting); ``join`` a tuple
        ``(other_table, column, other_column)`` adding the columns of the
        row of other_table whose key column ``other_column`` equals
        ``column`` (a left outer join: unmatched rows get None). A joined
        column whose name repeats an earlier one is named
        ``"other_table.column"``. Only rows of ``table`` come back.
        """
        if where is not None and not isinstance(where, conditions.Condition):
            raise TypeError("where must be a condition from morvadb.where(), not %s" % type(where).__name__)
        limit = _optional_int(limit, "limit", 0, _I32_MAX)
        lib = _library.load()
        with self._owner as h:
            info = self._table(table, h)
            if order_by is not None and info.types[info.column(order_by)] == BLOB:
                raise invalid("blob columns have no order (column %s)" % order_by)
            other = self._join_table(h, info, join)
            tag = None
            if info.tagged:
                tag = lib.qb_cond(None, TAG_COLUMN.encode(), b"=", b"%d" % info.tag)
                if not tag:
                    raise error_for(NOMEM, "query")
            tree = conditions.build(where, info, tag)
            qb = lib.db_query(h, info.name_bytes)
            if not qb:
                if tree:
                    lib.condition_destroy(tree)
                raise error_for(NOMEM, "query")
            try:
                if tree:
                    rc = lib.qb_where(qb, tree)
                    if rc != 0:
                        lib.condition_destroy(tree)
                        check(rc, "query")
                if order_by is not None:
                    check(lib.qb_sort(qb, order_by.encode("utf-8"), 0 if descending else 1), "query")
                if limit is not None:
                    check(lib.qb_limit(qb, limit), "query")
                if other is not None:
                    check(lib.qb_join(qb, other.name_bytes, join[1].encode("utf-8"), join[2].encode("utf-8")),
                          "query")
                rs = lib.qb_exec(qb)
            finally:
                lib.qb_destroy(qb)
            if not rs:
                raise error_for(NOMEM, "query")
            try:
                return _result_rows(ResultSet.from_address(rs), info, other, join)
            finally:
                lib.rs_close(rs)

    def _join_table(self, h, info, join):
        if join is None:
            return None
        if not isinstance(join, (tuple, list)) or len(join) != 3:
            raise TypeError("join is a tuple (other_table, column, other_column)")
        other_name, column, other_column = join
        info.column(column)
        other = self._table(other_name, h)
        other.column(other_column)
        if other_column != other.key_name:
            raise invalid("rows of %s are found by their key: join on its key column %s, not %s"
                          % (other.name, other.key_name, other_column))
        return other


def _result_rows(rs, info, other, join):
    """Copies a query result's rows into dicts while the result set is open."""
    count = rs.column_count
    types = [rs.column_types[i] for i in range(count)]
    names = [(rs.column_names[i] or b"").decode("utf-8", "surrogateescape") for i in range(count)]
    own = len(info.columns)
    # (result column, key in the dict) of every visible column.
    shown = [(i, names[i]) for i in range(info.first, min(own, count))]
    seen = set(names[info.first:own])
    joined_tag = None
    for i in range(own, count):
        if other.tagged and names[i] == TAG_COLUMN and joined_tag is None:
            joined_tag = i
            continue
        shown.append((i, names[i] if names[i] not in seen else "%s.%s" % (other.name, names[i])))
        seen.add(names[i])
    rows = []
    for r in range(max(rs.stored_rows, 0)):
        data = ctypes.string_at(rs.rows[r], rs.row_lengths[r])
        raw = raw_values(types, data)
        if joined_tag is not None and raw[joined_tag] is not None and raw[joined_tag] != other.tag_bytes:
            # The key named a row of another table: no partner.
            raw[own:] = [None] * (count - own)
        rows.append({name: decode_value(types[i], raw[i]) for i, name in shown})
    return rows
