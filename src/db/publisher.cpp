// Seeding fresh mapped logs with the writer's unflushed state.
#include "db/publisher.h"

#include "db/handle.h"
#include "util/sync.h"
#include "wal/mapped_log.h"

namespace morva {
namespace {

void mapped_log_path(char *buffer, const char *prefix) { format_path(buffer, prefix, ".wal.mmap"); }

struct SeedContext {
    wal_mmap *log;
    uint64_t sequence;
    bool complete = true;
};

int32_t seed_entry(const memtable_entry *entry, void *ctx) {
    auto *seed = static_cast<SeedContext *>(ctx);
    int32_t op = entry->tombstone ? 1 : 0;
    if (wal_mmap_append(seed->log, seed->sequence, op, entry->tag, entry->key, entry->key_len, entry->value,
                        entry->tombstone ? 0 : entry->value_len) < 0) {
        seed->complete = false;
        return 1;
    }
    return 0;
}

// Appends every entry of the flushing memtable, then of the active one (the
// newer wins when applied in that order), all under one sequence number.
bool seed_from_memtables(db_handle *db, uint64_t sequence) {
    SeedContext seed{&db->mapped_log, sequence};
    ReadGuard memtables(&db->memtable_lock);
    if (memtable *flushing = lsm_get_flushing(db->memtables)) memtable_iterate(flushing, seed_entry, &seed);
    if (seed.complete) {
        if (memtable *active = lsm_get_active(db->memtables)) memtable_iterate(active, seed_entry, &seed);
    }
    return seed.complete;
}

bool memtables_hold_data(db_handle *db) {
    ReadGuard memtables(&db->memtable_lock);
    memtable *flushing = lsm_get_flushing(db->memtables);
    return lsm_has_data(db->memtables) || (flushing != nullptr && memtable_size(flushing) > 0);
}

int32_t switch_and_seed(db_handle *db, uint64_t sequence) {
    char path[kPathBufferSize];
    mapped_log_path(path, db->path);
    if (wal_mmap_switch_file(path, &db->mapped_log) != 0) return -1;
    // Seeds that do not fit (memtables larger than the log) are cut short:
    // followers that open later then lack part of the unflushed state until
    // it is flushed and they reopen.
    seed_from_memtables(db, sequence);
    return 0;
}

void sync_whole_log(wal_mmap *log) {
    mapped_log_sync_through(log, wal_mmap_get_write_pos(log));
}

}  // namespace

int32_t switch_published_log(db_handle *db, uint64_t sequence, int32_t op, uint64_t table_id, const void *key,
                             uint64_t key_len, const void *value, uint64_t value_len) {
    if (switch_and_seed(db, sequence) != 0) {
        // A switch that failed after giving up the old file leaves nothing to
        // publish into: the writer stops publishing, as when the log cannot
        // be mapped at open, and says so in its options.
        if (!mapped_log_is_open(&db->mapped_log)) db->options.shared_mode = 0;
        return -1;
    }
    wal_mmap_append(&db->mapped_log, sequence, op, table_id, key, key_len, value, value_len);
    sync_whole_log(&db->mapped_log);
    return 0;
}

void reconcile_published_log(db_handle *db) {
    if (!mapped_log_is_open(&db->mapped_log) || db->log == nullptr) return;
    // Walk a private copy of the record so the writer's own cursor stays put.
    wal_mmap scan = db->mapped_log;
    scan.cursor = 0;
    uint64_t last_sequence = 0;
    bool any = false;
    while (wal_mmap_read_entry(&scan, &last_sequence, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0)
        any = true;
    uint64_t logged = wal_last_seq(db->log);
    if (!any) {
        // An empty log: only the memtables can hold what the tables lack.
        if (memtables_hold_data(db) && seed_from_memtables(db, logged)) sync_whole_log(&db->mapped_log);
        return;
    }
    if (last_sequence == logged) return;
    if (switch_and_seed(db, logged) == 0) sync_whole_log(&db->mapped_log);
}

}  // namespace morva
