/* Record layouts of the database handle family as hosts see them on x86-64. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(sizeof(db_options) == 56, "db_options size");
_Static_assert(offsetof(db_options, sync_mode) == 0, "sync_mode");
_Static_assert(offsetof(db_options, reserved1) == 4, "reserved1");
_Static_assert(offsetof(db_options, reserved2) == 8, "reserved2");
_Static_assert(offsetof(db_options, memtable_size) == 16, "memtable_size");
_Static_assert(offsetof(db_options, reserved3) == 24, "reserved3");
_Static_assert(offsetof(db_options, shared_mode) == 28, "shared_mode");
_Static_assert(offsetof(db_options, refresh_interval_ms) == 32, "refresh_interval_ms");
_Static_assert(offsetof(db_options, reserved4) == 36, "reserved4");
_Static_assert(offsetof(db_options, reserved5) == 40, "reserved5");
_Static_assert(offsetof(db_options, reserved6) == 48, "reserved6");

_Static_assert(sizeof(table_schema) == 96, "table_schema size");
_Static_assert(offsetof(table_schema, name) == 0, "name");
_Static_assert(offsetof(table_schema, column_types) == 64, "column_types");
_Static_assert(offsetof(table_schema, column_names) == 72, "column_names");
_Static_assert(offsetof(table_schema, column_count) == 80, "column_count");
_Static_assert(offsetof(table_schema, key_column) == 84, "key_column");
_Static_assert(offsetof(table_schema, table_id) == 88, "table_id");

_Static_assert(offsetof(db_handle, path) == 0, "path");
_Static_assert(offsetof(db_handle, memtables) == 8, "memtables");
_Static_assert(offsetof(db_handle, tree) == 16, "tree");
_Static_assert(offsetof(db_handle, log) == 24, "log");
_Static_assert(offsetof(db_handle, tables) == 32, "tables");
_Static_assert(offsetof(db_handle, table_count) == 32 + 64 * 96, "table_count");
_Static_assert(offsetof(db_handle, options) == 6184, "options");
_Static_assert(offsetof(db_handle, last_error) == 6240, "last_error");
_Static_assert(offsetof(db_handle, fts) == 6248, "fts");
_Static_assert(offsetof(db_handle, vectors) == 6256, "vectors");
_Static_assert(offsetof(db_handle, embed) == 6264, "embed");
_Static_assert(offsetof(db_handle, quant) == 6272, "quant");
_Static_assert(offsetof(db_handle, quant_vectors) == 6280, "quant_vectors");
_Static_assert(offsetof(db_handle, quant_ids) == 6288, "quant_ids");
_Static_assert(offsetof(db_handle, quant_count) == 6296, "quant_count");
_Static_assert(offsetof(db_handle, quant_capacity) == 6300, "quant_capacity");
_Static_assert(offsetof(db_handle, catalog_lock) == 6304, "catalog_lock");
_Static_assert(offsetof(db_handle, wal_mutex) == 6360, "wal_mutex");
_Static_assert(offsetof(db_handle, memtable_lock) == 6400, "memtable_lock");
_Static_assert(offsetof(db_handle, store_lock) == 6456, "store_lock");
_Static_assert(offsetof(db_handle, bg_thread) == 6512, "bg_thread");
_Static_assert(offsetof(db_handle, bg_running) == 6520, "bg_running");
_Static_assert(offsetof(db_handle, is_follower) == 6524, "is_follower");
_Static_assert(offsetof(db_handle, mapped_log) == 6528, "mapped_log");
_Static_assert(offsetof(db_handle, meta) == offsetof(db_handle, mapped_log) + sizeof(wal_mmap), "meta");
_Static_assert(offsetof(db_handle, follower_thread) ==
               ((offsetof(db_handle, meta) + sizeof(shared_meta) + 7) & ~(size_t)7), "follower_thread");
_Static_assert(offsetof(db_handle, follower_running) == offsetof(db_handle, follower_thread) + 8, "follower_running");
