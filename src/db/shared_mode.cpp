// Shared mode of a writer (publishing into P.wal.mmap, keeping P.shared) and
// the shutdown of a follower's shared-mode resources.
#include "db/shared_mode.h"

#include <pthread.h>

#include "db/follower.h"
#include "db/handle.h"
#include "db/publisher.h"
#include "wal/mapped_log.h"

namespace morva {
namespace {

// Above this share of its capacity the mapped log is replaced by a fresh
// file, so a writer never stops publishing because its log filled up.
constexpr uint64_t kSwitchNumerator = 20;
constexpr uint64_t kSwitchDenominator = 25;

void mapped_log_path(char *buffer, const char *prefix) { format_path(buffer, prefix, ".wal.mmap"); }

}  // namespace

void open_shared_mode(db_handle *db) {
    if (!db->options.shared_mode) return;
    morvadb_shared_meta_open(db->path, &db->meta);
    char path[kPathBufferSize];
    mapped_log_path(path, db->path);
    // Without a mapping the database still works; it just publishes nothing.
    if (wal_mmap_open(path, 1, WAL_MMAP_DEFAULT_DATA_SIZE, &db->mapped_log) != 0) {
        db->options.shared_mode = 0;
        return;
    }
    reconcile_published_log(db);
}

void publish_write(db_handle *db, uint64_t sequence, int32_t op, uint64_t table_id, const void *key,
                   uint64_t key_len, const void *value, uint64_t value_len) {
    if (!db->options.shared_mode || !mapped_log_is_open(&db->mapped_log)) return;
    wal_mmap *log = &db->mapped_log;
    int64_t appended = wal_mmap_append(log, sequence, op, table_id, key, key_len, value, value_len);
    if (appended < 0) {
        // The log is full (a switch failed earlier): a fresh file takes the
        // write instead of followers silently losing it.
        switch_published_log(db, sequence, op, table_id, key, key_len, value, value_len);
        return;
    }
    mapped_log_sync_through(log, wal_mmap_get_write_pos(log));

    uint64_t used = wal_mmap_get_write_pos(log) - WAL_MMAP_HEADER_SIZE;
    if (log->capacity != 0 && used > log->capacity * kSwitchNumerator / kSwitchDenominator)
        switch_published_log(db, sequence, op, table_id, key, key_len, value, value_len);
}

void close_shared_mode(db_handle *db) {
    if (mapped_log_is_open(&db->mapped_log)) wal_mmap_close(&db->mapped_log);
}

void close_follower(db_handle *db) {
    if (load_flag(&db->follower_running)) {
        store_flag(&db->follower_running, 0);
        pthread_join(db->follower_thread, nullptr);
    }
    morvadb_shared_meta_reader_leave(db->path, &db->meta);
    if (mapped_log_is_open(&db->mapped_log)) wal_mmap_close(&db->mapped_log);
    release_follower_state(db);
}

}  // namespace morva
