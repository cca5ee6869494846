// Query execution: the stages of qb_exec and the catalog access they share.
#include "query/query_exec.h"

#include <cstdlib>
#include <new>

#include "query/result_set.h"
#include "util/sync.h"

namespace morva {

bool find_table_columns(db_handle *db, std::string_view name, TableColumns *out) {
    ReadGuard catalog(&db->catalog_lock);
    int32_t tables = db->table_count < DB_MAX_TABLES ? db->table_count : DB_MAX_TABLES;
    for (int32_t t = 0; t < tables; ++t) {
        const table_schema &table = db->tables[t];
        if (name != std::string_view(table.name, strnlen(table.name, sizeof table.name))) continue;
        // Result sets and row schemas describe at most 64 columns; the rest
        // of a wider table is not visible to queries.
        int32_t count = table.column_count < ROW_MAX_COLUMNS ? table.column_count : ROW_MAX_COLUMNS;
        if (count < 0 || table.column_types == nullptr || table.column_names == nullptr) count = 0;
        out->count = count;
        for (int32_t i = 0; i < count; ++i) {
            out->types[i] = static_cast<uint32_t>(table.column_types[i]);
            out->names[i] = table.column_names[i];
        }
        return true;
    }
    return false;
}

int32_t find_column(const TableColumns &columns, std::string_view name) {
    for (int32_t i = 0; i < columns.count; ++i)
        if (columns.names[i] != nullptr && name == columns.names[i]) return i;
    return -1;
}

result_set *execute_query(const query_builder &qb) {
    result_set *rs = result_set_create();
    if (rs == nullptr) return nullptr;
    if (qb.db == nullptr) return rs;
    try {
        TableColumns columns;
        // A table the catalog does not hold has no schema to read rows with:
        // the result is empty rather than every entry of the store.
        if (!find_table_columns(qb.db, name_field(qb.table), &columns)) return rs;
        rs->column_count = columns.count;
        for (int32_t i = 0; i < columns.count; ++i) {
            rs->column_types[i] = columns.types[i];
            rs->column_names[i] = columns.names[i];
        }
        int32_t sort_column = qb.sort_enabled ? find_column(columns, name_field(qb.sort_column)) : -1;
        bool limited = qb.limit_enabled && qb.limit >= 0;
        if (sort_column >= 0 && limited) {
            // Sorting then limiting keeps the best `limit` rows: select them
            // during the scan instead of copying and sorting every row.
            TopK top_k{sort_column, qb.sort_ascending != 0, qb.limit};
            scan_rows(qb.db, columns, qb.condition, &top_k, rs);
        } else {
            scan_rows(qb.db, columns, qb.condition, nullptr, rs);
            if (sort_column >= 0 && rs->stored_rows >= 2) sort_rows(rs, sort_column, qb.sort_ascending != 0);
            if (limited && qb.limit < rs->stored_rows) limit_rows(rs, qb.limit);
        }
        if (qb.join_enabled && rs->stored_rows >= 1 && rs->column_count >= 1) join_rows(qb.db, rs, qb);
    } catch (const std::bad_alloc &) {
        rs_close(rs);
        return nullptr;
    }
    rs->row_count = rs->stored_rows;
    return rs;
}

void limit_rows(result_set *rs, int32_t limit) {
    for (int32_t i = limit; i < rs->stored_rows; ++i) {
        std::free(rs->rows[i]);
        rs->rows[i] = nullptr;
    }
    rs->stored_rows = limit;
}

}  // namespace morva
