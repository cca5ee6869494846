// Execution of a query builder: table lookup, scan with filtering and
// version shadowing, sort, limit and join, in that order.
//
// Locking: the catalog is read under catalog_lock; the scan holds
// memtable_lock and store_lock for reading while it walks the memtables and
// the B-tree in place (every pointer it follows belongs to them) and
// releases both before the join, whose lookups take the locks again and copy
// what they find.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "morvadb.h"

namespace morva {

// A table's columns as a query sees them: at most 64, with the names
// borrowed from the catalog (tables are never dropped, so the names live as
// long as the handle).
struct TableColumns {
    int32_t count = 0;
    uint32_t types[ROW_MAX_COLUMNS] = {};
    const char *names[ROW_MAX_COLUMNS] = {};
};

// A bounded view of a fixed name field that may lack its terminator.
inline std::string_view name_field(const char (&field)[QB_NAME_SIZE]) {
    return std::string_view(field, strnlen(field, QB_NAME_SIZE));
}

// Copies the columns of the first catalog table named `name`; false when the
// catalog has no such table.
bool find_table_columns(db_handle *db, std::string_view name, TableColumns *out);

// Index of the first of the columns named `name`, or -1.
int32_t find_column(const TableColumns &columns, std::string_view name);

// A sort with a limit, applied during the scan: only the best `limit` rows
// are copied into the result, in their final order.
struct TopK {
    int32_t column;
    bool ascending;
    int32_t limit;
};

// Appends to rs the newest live version of every key in the store whose
// value passes cond (null passes everything); with top_k, only the rows that
// sorting and limiting would keep, already sorted. A row that cannot be copied is
// left out; std::bad_alloc is thrown (with every lock released) when the
// scan's own bookkeeping cannot be allocated.
void scan_rows(db_handle *db, const TableColumns &columns, const condition *cond, const TopK *top_k,
               result_set *rs);

// Reorders the stored rows by one column. Rows without a comparable value
// (absent, a blob or unknown type, a NaN) follow all others in scan order;
// equal values keep scan order. Leaves scan order when memory runs out.
void sort_rows(result_set *rs, int32_t column, bool ascending);

// Frees the rows from index limit onwards.
void limit_rows(result_set *rs, int32_t limit);

// Left outer join of the stored rows with the builder's join table.
void join_rows(db_handle *db, result_set *rs, const query_builder &qb);

// Looks a key up the way db_get does (memtables, then the B-tree; a
// tombstone hides older versions) and copies the value while the locks are
// held. Returns DB_OK or DB_ERR_NOT_FOUND; DB_ERR_NOMEM when the copy fails.
int32_t lookup_value_copy(db_handle *db, const uint8_t *key, uint64_t key_len, std::vector<uint8_t> *out);

// Runs the builder; a new result set, or null when out of memory.
result_set *execute_query(const query_builder &qb);

}  // namespace morva
