// The join stage: a left outer join of the result rows with one table, on
// the key under which each joined row was stored. A row's local column value
// becomes the lookup key (integers as decimal text, other types as their raw
// bytes) followed by a NUL byte; a row whose key is found is widened with the
// joined row's columns, all but the foreign column, in the row encoding.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "db/handle.h"
#include "memtable/btree.h"
#include "query/query_exec.h"
#include "query/row.h"
#include "util/sync.h"

namespace morva {
namespace {

// Builds the lookup key of a local column value; false when it does not fit
// the key buffer (the row then stays unjoined rather than matching a cut key).
bool build_join_key(uint32_t type, const ColumnValue &v, char (&key)[QB_JOIN_KEY_SIZE], size_t *key_len) {
    int text_len;
    if (type == COL_INT32 && v.length >= 4) {
        int32_t x;
        std::memcpy(&x, v.data, sizeof x);
        text_len = std::snprintf(key, sizeof key, "%" PRId32, x);
    } else if (type == COL_INT64 && v.length >= 8) {
        int64_t x;
        std::memcpy(&x, v.data, sizeof x);
        text_len = std::snprintf(key, sizeof key, "%" PRId64, x);
    } else {
        if (static_cast<size_t>(v.length) >= sizeof key) return false;
        std::memcpy(key, v.data, static_cast<size_t>(v.length));
        key[v.length] = '\0';
        text_len = v.length;
    }
    if (text_len < 0) return false;
    *key_len = static_cast<size_t>(text_len) + 1;  // the terminating NUL is part of the key
    return true;
}

// End of the last column of a row, or -1 when some column is absent: such a
// row cannot be extended, as appended values would read as its own missing
// columns. Bytes after the last column are not part of any value.
int64_t encoded_end(const result_set *rs, int32_t row) {
    if (rs->column_count == 0) return 0;
    ColumnValue last = locate_typed_column(rs->column_types, rs->column_count, rs->column_count - 1, rs->rows[row],
                                           rs->row_lengths[row]);
    if (!last.present()) return -1;
    return (last.data - rs->rows[row]) + last.length;
}

// Appends the joined row's columns (all but `skip`) to the first `keep`
// bytes of the old row. Null when memory runs out.
uint8_t *widen_row(const uint8_t *old_row, uint64_t keep, const TableColumns &joined, int32_t skip,
                   const std::vector<uint8_t> &joined_row, uint64_t *new_len) {
    ColumnValue values[ROW_MAX_COLUMNS];
    uint64_t len = keep;
    for (int32_t i = 0; i < joined.count; ++i) {
        if (i == skip) continue;
        values[i] =
            locate_typed_column(joined.types, joined.count, i, joined_row.data(), joined_row.size());
        const ColumnValue &v = values[i];
        if (!v.present()) continue;
        len += static_cast<uint64_t>(v.length);
        if (column_fixed_width(joined.types[i]) == 0) len += kLengthPrefixSize;
    }
    auto *row = static_cast<uint8_t *>(std::malloc(len > 0 ? len : 1));
    if (row == nullptr) return nullptr;
    std::memcpy(row, old_row, keep);
    uint64_t pos = keep;
    for (int32_t i = 0; i < joined.count; ++i) {
        const ColumnValue &v = values[i];
        if (i == skip || !v.present()) continue;
        // Every length-prefixed type keeps its prefix, so the widened row
        // reads back with the joined table's types.
        if (column_fixed_width(joined.types[i]) == 0) {
            std::memcpy(row + pos, &v.length, kLengthPrefixSize);
            pos += kLengthPrefixSize;
        }
        if (v.length > 0) std::memcpy(row + pos, v.data, static_cast<size_t>(v.length));
        pos += static_cast<uint64_t>(v.length);
    }
    *new_len = len;
    return row;
}

}  // namespace

int32_t lookup_value_copy(db_handle *db, const uint8_t *key, uint64_t key_len, std::vector<uint8_t> *out) {
    auto copy = [out](const uint8_t *value, uint64_t len) {
        if (value == nullptr) len = 0;
        out->assign(value, value + len);
        return DB_OK;
    };
    {
        ReadGuard memtables(&db->memtable_lock);
        if (db->memtables != nullptr) {
            for (const memtable *mt : {db->memtables->active, db->memtables->flushing}) {
                if (mt == nullptr) continue;
                const uint8_t *value = nullptr;
                uint64_t len = 0;
                int32_t tombstone = 0;
                int32_t st = memtable_get(mt, key, key_len, &value, &len, &tombstone);
                if (st == DB_OK) return copy(value, len);
                if (tombstone) return DB_ERR_NOT_FOUND;  // a deletion hides older versions
            }
        }
    }
    ReadGuard store(&db->store_lock);
    if (db->tree == nullptr) return DB_ERR_NOT_FOUND;
    const uint8_t *value = nullptr;
    uint64_t len = 0;
    if (btree_get(db->tree, key, key_len, &value, &len) != DB_OK) return DB_ERR_NOT_FOUND;
    return copy(value, len);
}

void join_rows(db_handle *db, result_set *rs, const query_builder &qb) {
    TableColumns local;
    local.count = rs->column_count;
    for (int32_t i = 0; i < local.count; ++i) {
        local.types[i] = rs->column_types[i];
        local.names[i] = rs->column_names[i];
    }
    int32_t j = find_column(local, name_field(qb.join_local_column));
    TableColumns joined;
    if (j < 0 || !find_table_columns(db, name_field(qb.join_table), &joined) || joined.count == 0) return;
    int32_t k = find_column(joined, name_field(qb.join_foreign_column));
    if (k < 0) return;
    // A result wider than a result set can describe is refused whole rather
    // than silently losing the joined columns beyond the 64th.
    if (local.count + joined.count - 1 > ROW_MAX_COLUMNS) return;

    std::vector<uint8_t> joined_row;
    for (int32_t r = 0; r < rs->stored_rows; ++r) {
        ColumnValue v = locate_typed_column(local.types, local.count, j, rs->rows[r], rs->row_lengths[r]);
        if (!v.present()) continue;
        char key[QB_JOIN_KEY_SIZE];
        size_t key_len = 0;
        if (!build_join_key(local.types[j], v, key, &key_len)) continue;
        int32_t status = lookup_value_copy(db, reinterpret_cast<const uint8_t *>(key), key_len, &joined_row);
        set_last_error(db, status);  // as a point lookup would
        if (status != DB_OK) continue;
        int64_t keep = encoded_end(rs, r);
        if (keep < 0) continue;
        uint64_t new_len = 0;
        uint8_t *wide = widen_row(rs->rows[r], static_cast<uint64_t>(keep), joined, k, joined_row, &new_len);
        if (wide == nullptr) continue;
        std::free(rs->rows[r]);
        rs->rows[r] = wide;
        rs->row_lengths[r] = new_len;
    }

    int32_t c = rs->column_count;
    for (int32_t i = 0; i < joined.count; ++i) {
        if (i == k) continue;
        rs->column_types[c] = joined.types[i];
        rs->column_names[c] = joined.names[i];
        ++c;
    }
    rs->column_count = c;
}

}  // namespace morva
