"""Full-text and hybrid search over table rows (part of Database).

The handle's full-text index knows documents only by number. index_text
adds the text of one column of every row as one document and remembers
which row each document number stands for; searches turn numbers back into
rows. Hybrid search needs each indexed row's text in the handle's vector
index under the same number, so the first hybrid search embeds the indexed
rows there (and later indexed rows follow); until then the vector index
holds only what the caller put in it. Like the library's indexes, this map
lives in memory: index again after reopening a database. Rows put into an
indexed table later are indexed as they are written; deleted rows drop out
of the results.
"""

import ctypes
import threading

from . import _library
from ._rows import STRING, TAG_COLUMN, raw_values, row_key
from ._structs import FtsIndex, HybridOptions, HybridResult, ResultSet, Token, field_address, handle_record
from ._vectors import check_count
from .errors import INVALID, NOMEM, check, check_vector, error_for, invalid

# Most terms taken from one document; a longer text is indexed by its beginning.
_MAX_TERMS = 100000
# Vector and hybrid searches gather at most this many candidates before
# keeping those of the searched table.
_MAX_CANDIDATES = 4096
# db_hybrid_search collects at most this many text hits.
_MAX_TEXT_HITS = 1024


def query_text(query, what="query"):
    """A search text as the C string the library parses. Query words are
    looked up as written and documents are indexed in lower case, so ASCII
    letters are lowered (the operators AND, OR, NOT are matched in any case)."""
    if not isinstance(query, str):
        raise TypeError("the %s must be a str, not %s" % (what, type(query).__name__))
    data = query.encode("utf-8", "surrogateescape").lower()
    if b"\0" in data:
        raise invalid("the %s must not contain NUL" % what)
    return data


def _terms(lib, text):
    """The distinct lower-case words of text, as the tokenizer splits them."""
    tok = lib.tokenizer_create()
    if not tok:
        raise error_for(NOMEM, "tokenizer")
    try:
        room = min(len(text) // 2 + 1, _MAX_TERMS)
        tokens = (Token * room)()
        n = lib.tokenizer_tokenize(tok, text, len(text), ctypes.addressof(tokens), room)
        # Token texts belong to the tokenizer: copy them before destroying it.
        return sorted({ctypes.string_at(tokens[i].text, tokens[i].length) for i in range(max(n, 0))})
    finally:
        lib.tokenizer_destroy(tok)


class SearchMixin:
    def __init__(self):
        self._index_guard = threading.RLock()
        self._docs = {}          # document number -> (table name, key)
        self._doc_of_row = {}    # (table name, key) -> document number
        self._indexed = {}       # table name -> indexed column
        self._rows_in_vectors = False  # indexed rows are embedded in the vector index

    def _indexed_column(self, table_name):
        return self._indexed.get(table_name)

    def _row_text(self, info, row):
        column = self._indexed.get(info.name)
        index = info.index_of.get(column, -1)
        if index < 0:
            return b""
        raw = raw_values(info.types, row)[index]
        return bytes(raw) if raw is not None else b""

    def _index_row(self, h, info, key, row):
        lib = _library.load()
        text = self._row_text(info, row)
        terms = _terms(lib, text)
        term_array = (ctypes.c_char_p * max(len(terms), 1))(*terms)
        with self._index_guard:
            self._forget_row(h, info.name, key)
            record = handle_record(h)
            # Adding documents must not overlap a search on the handle.
            with _library.RwLock(field_address(record, "catalog_lock"), write=True):
                if not record.fts:
                    raise invalid("the database has no full-text index")
                doc = FtsIndex.from_address(record.fts).next_doc_id
                check(lib.fts_index_add_document(record.fts, ctypes.addressof(term_array), text, None,
                                                 len(terms)), "index %s" % info.name)
            self._docs[doc] = (info.name, key)
            self._doc_of_row[(info.name, key)] = doc
            if self._rows_in_vectors:
                check_vector(lib.db_vec_insert_text(h, doc, text, len(text)), "index %s" % info.name)

    def _forget_row(self, h, table_name, key):
        with self._index_guard:
            doc = self._doc_of_row.pop((table_name, key), None)
            if doc is None:
                return
            # The full-text index cannot remove a document; dropping it from
            # the map makes searches pass over it.
            del self._docs[doc]
            if self._rows_in_vectors:
                _library.load().db_vec_delete(h, doc)

    def _embed_indexed_rows(self, h):
        """Puts every indexed row into the vector index under its document number, once."""
        lib = _library.load()
        with self._index_guard:
            if self._rows_in_vectors:
                return
            for doc, (table, key) in list(self._docs.items()):
                info = self._table(table, h)
                row = self._fetch(h, info.name_bytes, key)
                if row is not None and info.belongs(row):
                    text = self._row_text(info, row)
                    check_vector(lib.db_vec_insert_text(h, doc, text, len(text)), "index %s" % table)
            self._rows_in_vectors = True

    def _document_row(self, h, info, doc):
        """The row a document number stands for, when it is a row of info's table."""
        ref = self._docs.get(doc)
        if ref is None or ref[0] != info.name:
            return None
        row = self._fetch(h, info.name_bytes, ref[1])
        return row if row is not None and info.belongs(row) else None

    def _scan(self, h, info):
        """(key, row) of every row of a table, keys rebuilt from the key column."""
        rows = []
        key_index = info.key_index
        for row in self._raw_rows(h, info):
            raw = raw_values(info.types, row)[key_index] if key_index < len(info.types) else None
            if raw is not None:
                rows.append((row_key(info.types[key_index], raw), row))
        return rows

    def _raw_rows(self, h, info):
        lib = _library.load()
        tag = None
        if info.tagged:
            tag = lib.qb_cond(None, TAG_COLUMN.encode(), b"=", b"%d" % info.tag)
            if not tag:
                raise error_for(NOMEM, "scan")
        qb = lib.db_query(h, info.name_bytes)
        if not qb:
            if tag:
                lib.condition_destroy(tag)
            raise error_for(NOMEM, "scan")
        try:
            if tag and lib.qb_where(qb, tag) != 0:
                lib.condition_destroy(tag)
                raise error_for(INVALID, "scan")
            rs = lib.qb_exec(qb)
        finally:
            lib.qb_destroy(qb)
        if not rs:
            raise error_for(NOMEM, "scan")
        try:
            result = ResultSet.from_address(rs)
            return [ctypes.string_at(result.rows[r], result.row_lengths[r]) for r in range(max(result.stored_rows, 0))]
        finally:
            lib.rs_close(rs)

    def index_text(self, table, column):
        """Indexes a string column of the table's current rows for search()
        and hybrid_search(); returns how many rows were indexed. Rows put
        later are indexed as they are written."""
        self._writable("index")
        with self._owner as h:
            info = self._table(table, h)
            index = info.column(column)
            if info.types[index] != STRING:
                raise invalid("only string columns can be indexed (%s is not)" % column)
            with self._index_guard:
                self._indexed[info.name] = column
                count = 0
                for key, row in self._scan(h, info):
                    self._index_row(h, info, key, row)
                    count += 1
                return count

    def search(self, table, query, limit=None):
        """Full-text search of the table's indexed column.

        ``query`` uses the library's query language: words, ``AND``, ``OR``,
        ``NOT``, ``field:word``, ``word~1`` (fuzzy) and ``word^2`` (boost).
        Returns the matching rows as dicts, each with a ``"_score"`` entry.
        """
        text = query_text(query)
        limit = None if limit is None else check_count(limit, "limit", 0)
        lib = _library.load()
        with self._owner as h:
            info = self._table(table, h)
            column = self._indexed.get(info.name)
            if column is None:
                raise invalid("table %s is not indexed; call index_text(%r, COLUMN) first" % (info.name, info.name))
            if not text.strip():
                raise invalid("the query is empty")
            out = ctypes.c_void_p()
            check(lib.db_fts_search(h, info.name_bytes, column.encode("utf-8"), text, ctypes.byref(out)),
                  "search %s" % info.name)
            try:
                rs = ResultSet.from_address(out.value)
                found = [(rs.ids[i], rs.scores[i]) for i in range(max(rs.row_count, 0))]
            finally:
                lib.rs_close(out.value)
            rows = []
            for doc, score in found:
                if limit is not None and len(rows) >= limit:
                    break
                row = self._document_row(h, info, doc)
                if row is not None:
                    hit = info.decode_row(row)
                    hit["_score"] = score
                    rows.append(hit)
            return rows

    def hybrid_search(self, table, column, text, k=10):
        """Rows of the table ranked by both their meaning and their words.

        The vector ranking (the text embedded and compared with the indexed
        rows) and the full-text ranking are fused by reciprocal rank. The
        table must be indexed on ``column`` with index_text() and the
        database must have a vector index (create_vector_index()); the first
        hybrid search puts the indexed rows into that index under their
        document numbers 0, 1, 2 ..., which search_text() and
        search_vector() then report too. Returns up to k rows as dicts with
        ``"_score"`` (fused), ``"_distance"`` and ``"_text_score"``
        entries, best first.
        """
        query = query_text(text, "text")
        k = check_count(k, "k")
        lib = _library.load()
        with self._owner as h:
            info = self._table(table, h)
            if self._indexed.get(info.name) != column:
                raise invalid("table %s is not indexed on %r; call index_text(%r, %r) first"
                              % (info.name, column, info.name, column))
            dimension = self._vector_dimension
            if dimension is None:
                raise invalid("hybrid search needs a vector index; call create_vector_index() first")
            self._embed_indexed_rows(h)
            vector = (ctypes.c_float * dimension)()
            record = handle_record(h)
            with _library.RwLock(field_address(record, "catalog_lock")):
                if not record.embed:
                    raise invalid("the vector index has no embedder")
                if lib.morvadb_embed_text(record.embed, query, len(query), ctypes.addressof(vector)) != 0:
                    raise error_for(INVALID, "embed the search text")
            candidates = min(max(lib.db_vec_count(h), 1), _MAX_CANDIDATES)
            options = HybridOptions(0, 1.0, 1.0, candidates)
            fused = (HybridResult * (candidates + _MAX_TEXT_HITS))()
            n = check(lib.db_hybrid_search(h, info.name_bytes, column.encode("utf-8"), query,
                                           ctypes.addressof(vector), ctypes.addressof(options),
                                           ctypes.addressof(fused), len(fused)), "hybrid search")
            rows = []
            for hit in fused[:n]:
                if len(rows) >= k:
                    break
                row = self._document_row(h, info, hit.id)
                if row is not None:
                    result = info.decode_row(row)
                    result["_score"] = hit.score
                    result["_distance"] = hit.vector_distance
                    result["_text_score"] = hit.text_score
                    rows.append(result)
            return rows
