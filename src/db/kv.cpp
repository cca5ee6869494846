// Key/value operations: db_put, db_delete and db_get.
//
// Tables name the key space but do not separate it: the key alone
// identifies a record, and the table id only travels with the write.
#include <cstdlib>
#include <cstring>
#include <new>

#include "db/flush.h"
#include "db/follower.h"
#include "db/handle.h"
#include "db/shared_mode.h"
#include "util/sync.h"

namespace morva {
namespace {

// Id of the named table, read under the catalog lock; 0 when absent.
int64_t lookup_table(db_handle *db, const char *table) {
    ReadGuard catalog(&db->catalog_lock);
    return find_table_id(db, table);
}

// Logs one write, publishes it in shared mode and applies it to the active
// memtable, flushing the memtables when that one is full. wal_mutex is held
// from the append to the end of the memtable step so that the log and the
// memtables see writes in the same order: a key's last logged value is its
// value in memory, and a flush's truncation only ever drops records that
// already sit in a table.
int32_t write_record(db_handle *db, int32_t op, uint64_t table_id, const void *key, uint64_t key_len,
                     const void *value, uint64_t value_len) {
    MutexGuard log(&db->wal_mutex);
    int32_t status = wal_append(db->log, op, table_id, key, key_len, value, value_len);
    if (status != DB_OK) return status;
    publish_write(db, wal_last_seq(db->log), op, table_id, key, key_len, value, value_len);

    bool full = false;
    {
        SpinningWriteGuard memtables(&db->memtable_lock);
        // Inserting into the active memtable directly: the pair's own
        // rotation would discard a flushing memtable that a failed flush left
        // behind.
        memtable *active = lsm_get_active(db->memtables);
        status = op == WAL_OP_DELETE ? memtable_delete(active, 0, key, key_len)
                                     : memtable_put(active, 0, key, key_len, value, value_len);
        if (status != DB_OK) return status;
        full = memtable_is_full(active);
    }
    // Still under wal_mutex: the flush takes the memtable and store locks
    // only for its short exclusive steps, so reads go on while it writes.
    return full ? flush_memtables(db, FlushLocks::kTakeAsNeeded) : DB_OK;
}

int32_t write_operation(db_handle *db, const char *table, int32_t op, const void *key, uint64_t key_len,
                        const void *value, uint64_t value_len) {
    int64_t table_id = lookup_table(db, table);
    if (table_id == 0) return set_last_error(db, DB_ERR_NOT_FOUND);
    // A follower has no log: its data comes from the writer only.
    if (!db->log || !db->memtables) return set_last_error(db, DB_ERR_INVALID);
    return set_last_error(db, write_record(db, op, static_cast<uint64_t>(table_id), key, key_len, value, value_len));
}

// One growing buffer per thread for the values db_get returns.
struct HeldValue {
    uint8_t *bytes = nullptr;
    uint64_t capacity = 0;
    ~HeldValue() { std::free(bytes); }
};
thread_local HeldValue held_value;

// Another thread's put may replace a B-tree value, its flush may free a
// whole memtable, and a follower's thread rewrites its B-tree at any moment,
// each as soon as the lock that protects the bytes is released. db_get
// therefore copies the value, still under that lock, into a buffer owned by
// the calling thread, valid until the same thread's next db_get. The buffer
// is reused, so a steady stream of gets does not allocate. Null when out of
// memory.
const void *hold_value_for_caller(const uint8_t *value, uint64_t length) {
    HeldValue &held = held_value;
    uint64_t need = length > 0 ? length : 1;
    if (need > held.capacity) {
        auto *grown = static_cast<uint8_t *>(std::realloc(held.bytes, need));
        if (grown == nullptr) return nullptr;
        held.bytes = grown;
        held.capacity = need;
    }
    // A value stored as null with a length reads as zero bytes of that length.
    if (length > 0) {
        if (value != nullptr) std::memcpy(held.bytes, value, length);
        else std::memset(held.bytes, 0, length);
    }
    return held.bytes;
}

// Looks a key up in one memtable: 1 live (outs set), -1 tombstone, 0 absent.
int find_in_memtable(const memtable *mt, const void *key, uint64_t key_len, const void **value,
                     uint64_t *value_len) {
    if (!mt) return 0;
    const uint8_t *v = nullptr;
    uint64_t len = 0;
    int32_t tombstone = 0;
    if (memtable_get(mt, key, key_len, &v, &len, &tombstone) == DB_OK) {
        *value = v;
        *value_len = len;
        return 1;
    }
    return tombstone ? -1 : 0;
}

int32_t read_record(db_handle *db, const void *key, uint64_t key_len, const void **value, uint64_t *value_len) {
    if (db->memtables) {
        SpinningReadGuard memtables(&db->memtable_lock);
        // The active memtable is newer than the flushing one; a tombstone in
        // either hides every older version.
        int found = find_in_memtable(lsm_get_active(db->memtables), key, key_len, value, value_len);
        if (found == 0) found = find_in_memtable(lsm_get_flushing(db->memtables), key, key_len, value, value_len);
        if (found == 1) {
            *value = hold_value_for_caller(static_cast<const uint8_t *>(*value), *value_len);
            return *value != nullptr ? DB_OK : DB_ERR_NOMEM;
        }
        if (found == -1) return DB_ERR_NOT_FOUND;
    }
    SpinningReadGuard store(&db->store_lock);
    const uint8_t *v = nullptr;
    uint64_t len = 0;
    int32_t status = btree_get(db->tree, key, key_len, &v, &len);
    if (status == DB_OK) {
        const void *held = hold_value_for_caller(v, len);
        if (held == nullptr) return DB_ERR_NOMEM;
        *value = held;
        *value_len = len;
    }
    return status;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t db_put(db_handle *db, const char *table, const void *key, uint64_t key_len,
                                      const void *value, uint64_t value_len) {
    if (!db || !table || !key || (!value && value_len > 0)) return DB_ERR_INVALID;
    try {
        return write_operation(db, table, WAL_OP_PUT, key, key_len, value, value_len);
    } catch (...) {
        return set_last_error(db, DB_ERR_NOMEM);
    }
}

extern "C" MORVADB_API int32_t db_delete(db_handle *db, const char *table, const void *key, uint64_t key_len) {
    if (!db || !table || !key) return DB_ERR_INVALID;
    try {
        return write_operation(db, table, WAL_OP_DELETE, key, key_len, nullptr, 0);
    } catch (...) {
        return set_last_error(db, DB_ERR_NOMEM);
    }
}

extern "C" MORVADB_API int32_t db_get(db_handle *db, const char *table, const void *key, uint64_t key_len,
                                      const void **value, uint64_t *value_len) {
    if (!db || !table || !key || !value || !value_len) return DB_ERR_INVALID;
    if (lookup_table(db, table) == 0) return set_last_error(db, DB_ERR_NOT_FOUND);
    return set_last_error(db, read_record(db, key, key_len, value, value_len));
}
