// The table catalog: the handle's table slots and their file P.system, a
// sorted table used as a small document of C-string entries:
//   "tables_count"          -> "%d" table count
//   "table:<slot>:<name>"   -> "<columns>|<key column>" then "|<type>:<name>" per column
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

constexpr size_t kCatalogKeyBuffer = 128;
constexpr size_t kCatalogValueBuffer = 2048;
constexpr size_t kMaxColumnNameLength = 255;
constexpr int32_t kMaxColumns = 64;

// Reads P.system into the handle's empty slots. A missing catalog, or a
// file that is not a table, leaves no tables. Returns DB_OK, or DB_ERR_IO /
// DB_ERR_NOMEM when the file exists but could not be read: tables created
// later would then replace every table it holds. The caller holds
// catalog_lock for writing (or owns the handle exclusively, as during open).
int32_t load_catalog(db_handle *db);

// Rewrites P.system from the handle's slots through P.system.tmp. Returns
// DB_OK, or DB_ERR_IO / DB_ERR_NOMEM when the file could not be replaced
// (the previous catalog then stays in place). Caller holds catalog_lock.
int32_t write_catalog(const db_handle *db);

}  // namespace morva
