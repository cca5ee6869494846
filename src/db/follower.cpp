// db_open_reader, db_reader_refresh and the follower thread.
#include "db/follower.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "db/catalog.h"
#include "db/handle.h"
#include "db/table_set.h"
#include "memtable/btree.h"
#include "util/sync.h"
#include "wal/mapped_log.h"

namespace morva {

// When P.system last changed, as far as the follower has read it.
struct CatalogStamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const CatalogStamp &) const = default;
};

struct FollowerState {
    pthread_mutex_t refresh_mutex;
    FileIdentity log_identity;
    bool log_identity_known = false;
    uint64_t last_sequence = 0;  // sequence of the last entry applied
    bool verify_next = false;    // the next entry starts a freshly mapped log
    bool resync_needed = false;  // the view can no longer be advanced entry by entry
    CatalogStamp catalog;
};

namespace {

constexpr int32_t kDefaultRefreshMs = 10;
constexpr int kTableLoadAttempts = 20;
constexpr int kMaxSwitchHops = 8;

FollowerState *state_of(db_handle *db) { return db->internal ? db->internal->follower : nullptr; }

void mapped_log_path(char *buffer, const char *prefix) { format_path(buffer, prefix, ".wal.mmap"); }

bool catalog_stamp(const char *prefix, CatalogStamp *out) {
    char path[kPathBufferSize];
    format_path(path, prefix, ".system");
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    out->size = static_cast<uint64_t>(st.st_size);
    out->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// Adds the tables the writer created since the follower last read P.system.
// Slots are only ever appended by a writer, so existing slots (which host
// threads may be reading) stay untouched.
void refresh_catalog(db_handle *db, FollowerState *st) {
    CatalogStamp now;
    if (!catalog_stamp(db->path, &now) || now == st->catalog) return;
    auto *scratch = static_cast<db_handle *>(std::calloc(1, sizeof(db_handle)));
    if (scratch == nullptr) return;
    scratch->path = db->path;
    load_catalog(scratch);
    {
        WriteGuard catalog(&db->catalog_lock);
        for (int32_t i = db->table_count; i < scratch->table_count; ++i) {
            db->tables[i] = scratch->tables[i];
            std::memset(&scratch->tables[i], 0, sizeof scratch->tables[i]);
        }
        if (scratch->table_count > db->table_count) db->table_count = scratch->table_count;
    }
    free_tables(scratch);
    std::free(scratch);
    st->catalog = now;
}

// True when every table of `before` is still listed in `after`.
bool tables_survived(const std::vector<TableFile> &before, const std::vector<TableFile> &after) {
    std::vector<std::string> left, right;
    for (const TableFile &f : before) left.push_back(f.path);
    for (const TableFile &f : after) right.push_back(f.path);
    std::sort(left.begin(), left.end());
    std::sort(right.begin(), right.end());
    return std::includes(right.begin(), right.end(), left.begin(), left.end());
}

// A B-tree holding every sorted table of the prefix. A compaction that
// removes tables between the listing and their loading would leave holes,
// so the load is repeated until the listed tables all survived it.
int32_t load_table_snapshot(const char *prefix, btree **out) {
    for (int attempt = 0;; ++attempt) {
        btree *tree = btree_create();
        if (tree == nullptr) return DB_ERR_NOMEM;
        std::vector<TableFile> before, after;
        int32_t status = tables_oldest_first(prefix, &before);
        if (status == DB_OK) status = load_tables_into(tree, before);
        if (status == DB_OK) status = tables_oldest_first(prefix, &after);
        if (status != DB_OK) {
            btree_destroy(tree);
            return status;
        }
        if (tables_survived(before, after) || attempt + 1 >= kTableLoadAttempts) {
            *out = tree;
            return DB_OK;
        }
        btree_destroy(tree);
    }
}

int32_t apply_entry(btree *tree, int32_t is_delete, const uint8_t *key, uint64_t key_len, const uint8_t *value,
                    uint64_t value_len) {
    if (is_delete) {
        btree_delete(tree, key, key_len);
        return DB_OK;
    }
    return btree_upsert(tree, key, key_len, value, value_len);
}

// Applies the newly published entries of the current mapping to tree. The
// caller holds store_lock written when tree is the handle's.
int32_t apply_published(db_handle *db, FollowerState *st, btree *tree) {
    wal_mmap *log = &db->mapped_log;
    if (!mapped_log_is_open(log)) return DB_OK;
    // A cursor past the published end means the log was started afresh in
    // place: what the follower applied no longer describes the file.
    if (log->cursor > mapped_log_readable_end(log)) {
        st->resync_needed = true;
        return DB_OK;
    }
    uint64_t sequence;
    int32_t is_delete;
    uint64_t table_id, key_len, value_len;
    const uint8_t *key, *value;
    while (wal_mmap_read_entry(log, &sequence, &is_delete, &table_id, &key, &key_len, &value, &value_len) == 0) {
        if (st->verify_next) {
            if (sequence != st->last_sequence) {
                st->resync_needed = true;
                return DB_OK;
            }
            st->verify_next = false;
        }
        int32_t status = apply_entry(tree, is_delete, key, key_len, value, value_len);
        if (status != DB_OK) return status;
        st->last_sequence = sequence;
    }
    return DB_OK;
}

int32_t apply_to_handle(db_handle *db, FollowerState *st) {
    WriteGuard store(&db->store_lock);
    return apply_published(db, st, db->tree);
}

void adopt_mapping(db_handle *db, FollowerState *st, wal_mmap *fresh) {
    wal_mmap_close(&db->mapped_log);
    db->mapped_log = *fresh;
    st->log_identity_known = identity_of_log(&db->mapped_log, &st->log_identity);
}

// Rebuilds the view from scratch: current log first, then the tables, then
// the log's entries; the finished tree replaces the handle's in one step so
// readers never see a half-built view.
int32_t resync(db_handle *db, FollowerState *st) {
    char path[kPathBufferSize];
    mapped_log_path(path, db->path);
    wal_mmap fresh;
    if (mapped_log_open_follower(path, WAL_MMAP_DEFAULT_DATA_SIZE, &fresh) != 0) return DB_ERR_IO;
    btree *tree = nullptr;
    int32_t status = load_table_snapshot(db->path, &tree);
    if (status != DB_OK) {
        wal_mmap_close(&fresh);
        return status;
    }
    adopt_mapping(db, st, &fresh);
    st->verify_next = false;
    st->resync_needed = false;
    status = apply_published(db, st, tree);
    if (status != DB_OK) {
        st->resync_needed = true;
        btree_destroy(tree);
        return status;
    }
    {
        WriteGuard store(&db->store_lock);
        std::swap(db->tree, tree);
    }
    btree_destroy(tree);
    return DB_OK;
}

// A writer that found the file shorter than its log extends it in place:
// map it again, whole, and read on from the same entry.
int32_t remap_if_grown(db_handle *db, FollowerState *st, const char *path) {
    if (!mapped_log_grew(&db->mapped_log, WAL_MMAP_DEFAULT_DATA_SIZE)) return DB_OK;
    wal_mmap fresh;
    if (wal_mmap_open(path, 0, WAL_MMAP_DEFAULT_DATA_SIZE, &fresh) != 0) return DB_OK;
    FileIdentity id;
    if (!identity_of_log(&fresh, &id) || !(id == st->log_identity)) {
        wal_mmap_close(&fresh);  // replaced meanwhile: the next refresh follows the switch
        return DB_OK;
    }
    fresh.cursor = db->mapped_log.cursor;
    adopt_mapping(db, st, &fresh);
    return DB_OK;
}

// Follows the writer's switches: drains the mapping it holds, then maps the
// file now under the name, until the name and the mapping agree.
int32_t follow_switches(db_handle *db, FollowerState *st, const char *path) {
    for (int hop = 0; hop < kMaxSwitchHops && !st->resync_needed; ++hop) {
        FileIdentity current;
        if (!identity_of_path(path, &current)) return DB_OK;  // mid-rename or removed: keep the old one
        if (st->log_identity_known && current == st->log_identity) return remap_if_grown(db, st, path);
        int32_t status = apply_to_handle(db, st);
        if (status != DB_OK || st->resync_needed) return status;
        wal_mmap fresh;
        if (mapped_log_open_follower(path, WAL_MMAP_DEFAULT_DATA_SIZE, &fresh) != 0) return DB_OK;
        adopt_mapping(db, st, &fresh);
        st->verify_next = true;
        // A switch made while publishing always leaves the write that caused
        // it in the fresh file. An empty fresh file was started by a writer
        // that opened and found the old log out of step with its own state.
        if (mapped_log_readable_end(&db->mapped_log) == 0) st->resync_needed = true;
    }
    return DB_OK;
}

int32_t refresh(db_handle *db, FollowerState *st) {
    char path[kPathBufferSize];
    mapped_log_path(path, db->path);
    refresh_catalog(db, st);
    if (!mapped_log_is_open(&db->mapped_log)) {
        // Entries published while the log was unmapped may be gone by now.
        st->resync_needed = true;
        return resync(db, st);
    }
    if (st->resync_needed) return resync(db, st);
    int32_t status = follow_switches(db, st, path);
    if (status == DB_OK && !st->resync_needed) status = apply_to_handle(db, st);
    if (status == DB_OK && st->resync_needed) status = resync(db, st);
    return status;
}

void *follower_main(void *arg) {
    auto *db = static_cast<db_handle *>(arg);
    int32_t interval = db->options.refresh_interval_ms > 0 ? db->options.refresh_interval_ms : kDefaultRefreshMs;
    while (load_flag(&db->follower_running)) {
        // Sleep in short slices so that close never waits a whole interval.
        for (int64_t left = interval; left > 0 && load_flag(&db->follower_running); left -= kDefaultRefreshMs)
            ::usleep(static_cast<useconds_t>(std::min<int64_t>(left, kDefaultRefreshMs) * 1000));
        if (load_flag(&db->follower_running)) db_reader_refresh(db);
    }
    return nullptr;
}

// Undoes a partly built follower handle.
void discard_follower(db_handle *db) {
    morvadb_shared_meta_reader_leave(db->path, &db->meta);
    wal_mmap_close(&db->mapped_log);
    release_follower_state(db);
    free_tables(db);
    btree_destroy(db->tree);
    pthread_rwlock_destroy(&db->store_lock);
    pthread_rwlock_destroy(&db->memtable_lock);
    pthread_rwlock_destroy(&db->catalog_lock);
    free_handle(db);
}

int32_t open_follower(const char *path, const db_options *options, db_handle **out) {
    db_handle *db = allocate_handle(path, options);
    if (db == nullptr) return DB_ERR_NOMEM;
    db->is_follower = 1;
    wal_mmap_close(&db->mapped_log);  // from all zeros to the closed state
    auto *st = new (std::nothrow) FollowerState();
    if (st == nullptr) {
        free_handle(db);
        return DB_ERR_NOMEM;
    }
    pthread_mutex_init(&st->refresh_mutex, nullptr);
    db->internal->follower = st;
    pthread_rwlock_init(&db->catalog_lock, nullptr);
    init_writer_preferring_rwlock(&db->memtable_lock);
    init_writer_preferring_rwlock(&db->store_lock);

    catalog_stamp(db->path, &st->catalog);
    load_catalog(db);
    morvadb_shared_meta_reader_join(db->path, &db->meta);

    char log_path[kPathBufferSize];
    mapped_log_path(log_path, db->path);
    if (mapped_log_open_follower(log_path, WAL_MMAP_DEFAULT_DATA_SIZE, &db->mapped_log) == 0)
        st->log_identity_known = identity_of_log(&db->mapped_log, &st->log_identity);
    int32_t status = load_table_snapshot(db->path, &db->tree);
    if (status != DB_OK) {
        discard_follower(db);
        return DB_ERR_NOMEM;
    }

    store_flag(&db->follower_running, 1);
    if (pthread_create(&db->follower_thread, nullptr, follower_main, db) != 0) {
        store_flag(&db->follower_running, 0);
        discard_follower(db);
        return DB_ERR_NOMEM;
    }
    db_reader_refresh(db);
    *out = db;
    return DB_OK;
}

}  // namespace

void release_follower_state(db_handle *db) {
    FollowerState *st = state_of(db);
    if (st == nullptr) return;
    pthread_mutex_destroy(&st->refresh_mutex);
    delete st;
    db->internal->follower = nullptr;
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t db_open_reader(const char *path, const db_options *options, db_handle **out) {
    if (path == nullptr || out == nullptr) return DB_ERR_INVALID;
    try {
        return open_follower(path, options, out);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API int32_t db_reader_refresh(db_handle *db) {
    if (db == nullptr) return DB_ERR_INVALID;
    FollowerState *st = state_of(db);
    // A writer's B-tree must never take entries from its own published log.
    if (!db->is_follower || st == nullptr) return DB_ERR_INVALID;
    try {
        MutexGuard serialized(&st->refresh_mutex);
        return refresh(db, st);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}
