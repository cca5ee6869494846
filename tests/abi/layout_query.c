/* Layout of the query records as hosts on x86-64 see them. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(COL_INT32 == 0 && COL_INT64 == 1 && COL_FLOAT == 2 && COL_DOUBLE == 3, "column codes");
_Static_assert(COL_STRING == 4 && COL_BLOB == 5 && COL_BOOL == 6, "column codes");
_Static_assert(COND_LEAF == 0 && COND_AND == 1 && COND_OR == 2 && COND_NOT == 3, "condition kinds");

_Static_assert(sizeof(row_schema) == 516, "row_schema size");
_Static_assert(offsetof(row_schema, offsets) == 4, "row_schema.offsets");
_Static_assert(offsetof(row_schema, sizes) == 260, "row_schema.sizes");

_Static_assert(offsetof(result_set, row_count) == 0, "result_set.row_count");
_Static_assert(offsetof(result_set, cursor) == 4, "result_set.cursor");
_Static_assert(offsetof(result_set, column_count) == 8, "result_set.column_count");
_Static_assert(offsetof(result_set, column_types) == 12, "result_set.column_types");
_Static_assert(offsetof(result_set, column_names) == 272, "result_set.column_names");
_Static_assert(offsetof(result_set, search_mode) == 784, "result_set.search_mode");
_Static_assert(offsetof(result_set, ids) == 792, "result_set.ids");
_Static_assert(offsetof(result_set, scores) == 800, "result_set.scores");
_Static_assert(offsetof(result_set, rows) == 808, "result_set.rows");
_Static_assert(offsetof(result_set, row_lengths) == 816, "result_set.row_lengths");
_Static_assert(offsetof(result_set, capacity) == 824, "result_set.capacity");
_Static_assert(offsetof(result_set, stored_rows) == 828, "result_set.stored_rows");
_Static_assert(sizeof(result_set) == 832, "result_set size");

_Static_assert(offsetof(condition, kind) == 0, "condition.kind");
_Static_assert(offsetof(condition, column) == 8, "condition.column");
_Static_assert(offsetof(condition, op) == 72, "condition.op");
_Static_assert(offsetof(condition, value) == 88, "condition.value");
_Static_assert(offsetof(condition, value_len) == 344, "condition.value_len");
_Static_assert(offsetof(condition, left) == 8, "condition.left");
_Static_assert(offsetof(condition, right) == 16, "condition.right");
_Static_assert(sizeof(condition) == 352, "condition size");

_Static_assert(offsetof(query_builder, db) == 0, "query_builder.db");
_Static_assert(offsetof(query_builder, table) == 8, "query_builder.table");
_Static_assert(offsetof(query_builder, condition) == 72, "query_builder.condition");
_Static_assert(offsetof(query_builder, sort_column) == 80, "query_builder.sort_column");
_Static_assert(offsetof(query_builder, sort_ascending) == 144, "query_builder.sort_ascending");
_Static_assert(offsetof(query_builder, sort_enabled) == 148, "query_builder.sort_enabled");
_Static_assert(offsetof(query_builder, limit) == 152, "query_builder.limit");
_Static_assert(offsetof(query_builder, limit_enabled) == 156, "query_builder.limit_enabled");
_Static_assert(offsetof(query_builder, join_table) == 160, "query_builder.join_table");
_Static_assert(offsetof(query_builder, join_local_column) == 224, "query_builder.join_local_column");
_Static_assert(offsetof(query_builder, join_foreign_column) == 288, "query_builder.join_foreign_column");
_Static_assert(offsetof(query_builder, join_enabled) == 352, "query_builder.join_enabled");
