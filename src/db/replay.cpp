// Rebuilding the memtables from the write-ahead log at open.
#include "db/replay.h"

#include "db/handle.h"

namespace morva {
namespace {

// Applies one record to the active memtable directly rather than through
// the pair: the pair would rotate a full memtable and discard the one in
// the flushing slot, losing records when the log holds more than one
// memtable's worth (for example after reopening with a smaller limit).
int apply_record(int is_delete, uint64_t, const void *key, uint64_t key_len, const void *value, uint64_t value_len,
                 void *ctx) {
    auto *target = static_cast<memtable *>(ctx);
    return is_delete ? memtable_delete(target, 0, key, key_len)
                     : memtable_put(target, 0, key, key_len, value, value_len);
}

}  // namespace

int32_t replay_into_memtables(db_handle *db) {
    // The log cuts a torn or damaged tail itself, so new records follow the
    // last whole one instead of bytes that would end every later replay.
    int32_t status = wal_replay(db->log, apply_record, lsm_get_active(db->memtables));
    // A record the memtable could not take must not be dropped at the next
    // truncation, and a log that could not be read (or its damaged tail not
    // cut) would open with records missing: the open fails instead and the
    // log stays as it is.
    if (status == DB_ERR_NOMEM || status == DB_ERR_INVALID || status == DB_ERR_IO) return status;
    return DB_OK;
}

}  // namespace morva
