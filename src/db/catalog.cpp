// Table catalog: db_create_table, and reading and writing P.system.
#include "db/catalog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "db/handle.h"
#include "sstable/table_reader.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr char kSystemSuffix[] = ".system";
constexpr char kTablesCountKey[] = "tables_count";
constexpr char kTablePrefix[] = "table:";

// Text of a file entry as a C string: the bytes up to the first NUL (or all
// of them), never reading past the entry.
std::string entry_text(const void *bytes, uint64_t len) {
    if (!bytes || len == 0) return std::string();
    const char *p = static_cast<const char *>(bytes);
    size_t n = strnlen(p, static_cast<size_t>(len));
    return std::string(p, n);
}

// Value of a catalog entry: "<columns>|<key column>" then "|<type>:<name>"
// per column.
std::string encode_columns(const table_schema &t) {
    std::string value = std::to_string(t.column_count) + "|" + std::to_string(t.key_column);
    for (int32_t c = 0; c < t.column_count; ++c) {
        value += "|" + std::to_string(t.column_types[c]) + ":" + t.column_names[c];
    }
    return value;
}

// Length of encode_columns(t) without building it.
size_t encoded_length(const table_schema &t) {
    size_t n = static_cast<size_t>(std::snprintf(nullptr, 0, "%d|%d", t.column_count, t.key_column));
    for (int32_t c = 0; c < t.column_count; ++c) {
        n += static_cast<size_t>(std::snprintf(nullptr, 0, "|%d:", t.column_types[c])) + std::strlen(t.column_names[c]);
    }
    return n;
}

int32_t add_text_entry(sstable_writer *w, const std::string &key, const std::string &value) {
    // Keys and values are stored with their terminating NUL.
    return sstable_writer_add(w, key.c_str(), key.size() + 1, value.c_str(), value.size() + 1, SSTABLE_FLAG_VALUE);
}

// Fills the next free slot from one "table:" entry. Returns nonzero to stop
// the scan (the slots are full or memory ran out).
int load_entry_text(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags, void *ctx) {
    auto *db = static_cast<db_handle *>(ctx);
    if (flags & SSTABLE_FLAG_TOMBSTONE) return 0;
    std::string k = entry_text(key, key_len);
    if (k == kTablesCountKey || k.compare(0, sizeof kTablePrefix - 1, kTablePrefix) != 0) return 0;
    size_t colon = k.find(':', sizeof kTablePrefix - 1);
    if (colon == std::string::npos) return 0;
    std::string name = k.substr(colon + 1);

    std::string v = entry_text(value, value_len);
    int declared = 0, key_column = 0, consumed = 0;
    if (std::sscanf(v.c_str(), "%d|%d%n", &declared, &key_column, &consumed) < 2) return 0;
    if (db->table_count >= DB_MAX_TABLES) return 1;

    // Every column takes at least four bytes ("|0:x"), so the text bounds
    // how many can parse whatever count the entry claims.
    size_t room = declared > 0 ? std::min<size_t>(static_cast<size_t>(declared), v.size() / 4 + 1) : 0;
    auto *types = static_cast<int32_t *>(std::calloc(room ? room : 1, sizeof(int32_t)));
    auto *names = static_cast<char **>(std::calloc(room ? room : 1, sizeof(char *)));
    if (!types || !names) {
        std::free(types);
        std::free(names);
        return DB_ERR_NOMEM;
    }
    int32_t parsed = 0;
    const char *cursor = v.c_str() + consumed;
    char column[kMaxColumnNameLength + 1];
    while (static_cast<size_t>(parsed) < room) {
        int type = 0, used = 0;
        if (std::sscanf(cursor, "|%d:%255[^|]%n", &type, column, &used) < 2) break;
        names[parsed] = strdup(column);
        if (!names[parsed]) {
            for (int32_t c = 0; c < parsed; ++c) std::free(names[c]);
            std::free(types);
            std::free(names);
            return DB_ERR_NOMEM;
        }
        types[parsed] = type;
        ++parsed;
        cursor += used;
    }

    table_schema &t = db->tables[db->table_count];
    std::snprintf(t.name, sizeof t.name, "%s", name.c_str());
    t.column_types = types;
    t.column_names = names;
    t.column_count = parsed;
    // A key column index outside the columns read would send readers of the
    // schema out of bounds; such an entry keeps its columns but no key.
    t.key_column = (key_column >= 0 && key_column < parsed) ? key_column : -1;
    t.table_id = db->table_count + 1;
    db->table_count++;
    return 0;
}

int load_entry(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags, void *ctx) {
    try {
        return load_entry_text(key, key_len, value, value_len, flags, ctx);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

// Why a create request cannot be stored whole in the catalog, or DB_OK.
int32_t check_columns(const char **names, int32_t count) {
    if (count > kMaxColumns) return DB_ERR_INVALID;
    for (int32_t c = 0; c < count; ++c) {
        if (!names[c]) return DB_ERR_INVALID;
        size_t len = std::strlen(names[c]);
        // A name is read back as a run of 1 to 255 bytes up to the next
        // vertical bar, so anything else would not come back as written.
        if (len == 0 || len > kMaxColumnNameLength || std::strchr(names[c], '|')) return DB_ERR_INVALID;
    }
    return DB_OK;
}

void clear_slot(table_schema &t) {
    if (t.column_names) {
        for (int32_t c = 0; c < t.column_count; ++c) std::free(t.column_names[c]);
    }
    std::free(t.column_names);
    std::free(t.column_types);
    std::memset(&t, 0, sizeof t);
}

// Fills a slot with copies of the request. DB_ERR_NOMEM leaves it empty.
int32_t fill_slot(table_schema &t, const char *name, const char **column_names, const int32_t *column_types,
                  int32_t count, const char *key_column, int64_t id) {
    std::memset(&t, 0, sizeof t);
    std::snprintf(t.name, sizeof t.name, "%s", name);
    t.column_types = static_cast<int32_t *>(std::calloc(static_cast<size_t>(count), sizeof(int32_t)));
    t.column_names = static_cast<char **>(std::calloc(static_cast<size_t>(count), sizeof(char *)));
    if (!t.column_types || !t.column_names) {
        clear_slot(t);
        return DB_ERR_NOMEM;
    }
    t.column_count = count;
    for (int32_t c = 0; c < count; ++c) {
        t.column_types[c] = column_types[c];
        t.column_names[c] = strdup(column_names[c]);
        if (!t.column_names[c]) {
            clear_slot(t);
            return DB_ERR_NOMEM;
        }
    }
    t.key_column = -1;
    if (key_column) {
        for (int32_t c = 0; c < count; ++c) {
            if (std::strcmp(column_names[c], key_column) == 0) {
                t.key_column = c;
                break;
            }
        }
    }
    t.table_id = id;
    return DB_OK;
}

}  // namespace

int32_t load_catalog(db_handle *db) {
    char path[kPathBufferSize];
    format_path(path, db->path, kSystemSuffix);
    int32_t why = DB_OK;
    sstable_reader *reader = open_table(path, true, &why);
    if (!reader) return why == DB_ERR_IO || why == DB_ERR_NOMEM ? why : DB_OK;
    sstable_reader_scan(reader, load_entry, db);
    sstable_reader_close(reader);
    return DB_OK;
}

int32_t write_catalog(const db_handle *db) {
    char final_path[kPathBufferSize];
    char temp_path[kPathBufferSize];
    format_path(final_path, db->path, kSystemSuffix);
    std::snprintf(temp_path, sizeof temp_path, "%s%s.tmp", db->path, kSystemSuffix);

    sstable_writer *w = sstable_writer_create(temp_path, final_path, 0);
    if (!w) return DB_ERR_IO;
    int32_t status = DB_OK;
    try {
        // Entries go in slot order, not key order: the catalog is only ever
        // read back by a full scan, which returns them in file order.
        status = add_text_entry(w, kTablesCountKey, std::to_string(db->table_count));
        for (int32_t i = 0; status == DB_OK && i < db->table_count; ++i) {
            const table_schema &t = db->tables[i];
            std::string key = std::string(kTablePrefix) + std::to_string(i) + ":" + t.name;
            status = add_text_entry(w, key, encode_columns(t));
        }
    } catch (const std::bad_alloc &) {
        status = DB_ERR_NOMEM;
    }
    if (status == DB_OK) status = sstable_writer_finish(w);
    sstable_writer_destroy(w);
    return status;
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t db_create_table(db_handle *db, const char *name, const char **column_names,
                                               const int32_t *column_types, int32_t column_count,
                                               const char *key_column) {
    if (!db || !name || !column_names || !column_types || column_count <= 0) return DB_ERR_INVALID;
    if (check_columns(column_names, column_count) != DB_OK) return DB_ERR_INVALID;
    try {
        WriteGuard catalog(&db->catalog_lock);
        // A follower's catalog is a stale copy of the writer's: rewriting
        // P.system from it would drop the writer's newer tables.
        if (db->is_follower) return set_last_error(db, DB_ERR_INVALID);

        char stored_name[DB_NAME_SIZE];
        std::snprintf(stored_name, sizeof stored_name, "%s", name);
        if (find_table_id(db, stored_name) != 0) return set_last_error(db, DB_ERR_EXISTS);
        if (db->table_count >= DB_MAX_TABLES) return set_last_error(db, DB_ERR_NOMEM);

        table_schema &slot = db->tables[db->table_count];
        int32_t status = fill_slot(slot, stored_name, column_names, column_types, column_count, key_column,
                                   db->table_count + 1);
        if (status != DB_OK) return set_last_error(db, status);
        if (encoded_length(slot) >= kCatalogValueBuffer) {
            clear_slot(slot);
            return DB_ERR_INVALID;
        }
        db->table_count++;
        status = write_catalog(db);
        if (status != DB_OK) {
            // The table exists only once the catalog file holds it; a table
            // that would vanish at the next open is not reported as created.
            db->table_count--;
            clear_slot(slot);
            return set_last_error(db, status);
        }
        return set_last_error(db, DB_OK);
    } catch (...) {
        return set_last_error(db, DB_ERR_NOMEM);
    }
}
