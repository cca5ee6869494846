// Handle allocation, the last error and the catalog lookup shared by every
// operation on a handle.
#include "db/handle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace morva {

int32_t set_last_error(db_handle *db, int32_t status) {
    __atomic_store_n(&db->last_error, status, __ATOMIC_RELAXED);
    return status;
}

int64_t find_table_id(const db_handle *db, const char *name) {
    for (int32_t i = 0; i < db->table_count && i < DB_MAX_TABLES; ++i) {
        if (std::strcmp(db->tables[i].name, name) == 0) return db->tables[i].table_id;
    }
    return 0;
}

void format_path(char *buffer, const char *prefix, const char *suffix) {
    std::snprintf(buffer, kPathBufferSize, "%s%s", prefix, suffix);
}

void free_tables(db_handle *db) {
    for (int32_t i = 0; i < DB_MAX_TABLES; ++i) {
        table_schema &t = db->tables[i];
        if (t.column_names) {
            for (int32_t c = 0; c < t.column_count; ++c) std::free(t.column_names[c]);
            std::free(t.column_names);
        }
        std::free(t.column_types);
        t.column_names = nullptr;
        t.column_types = nullptr;
        t.column_count = 0;
    }
    db->table_count = 0;
}

db_options default_options() {
    db_options o;
    std::memset(&o, 0, sizeof o);
    o.sync_mode = 0;
    o.reserved1 = 0;
    o.reserved2 = 65536;
    o.memtable_size = 65536;
    o.reserved3 = 1;
    o.shared_mode = 0;
    o.refresh_interval_ms = 10;
    o.reserved4 = 4;
    o.reserved5 = 10485760;
    o.reserved6 = 10.0;
    return o;
}

db_handle *allocate_handle(const char *path, const db_options *options) {
    auto *db = static_cast<db_handle *>(std::calloc(1, sizeof(db_handle)));
    if (!db) return nullptr;
    db->path = strdup(path);
    db->internal = new (std::nothrow) db_private();
    if (!db->path || !db->internal) {
        free_handle(db);
        return nullptr;
    }
    db->options = options ? *options : default_options();
    return db;
}

void free_handle(db_handle *db) {
    if (!db) return;
    std::free(db->path);
    delete db->internal;
    std::free(db);
}

}  // namespace morva

extern "C" MORVADB_API int32_t db_last_error(db_handle *db) {
    if (!db) return DB_ERR_INVALID;
    return __atomic_load_n(&db->last_error, __ATOMIC_RELAXED);
}
