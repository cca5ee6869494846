// Keeping the mapped log a complete account of the writer's state.
//
// A follower's view is the sorted tables it loaded plus every entry of the
// mapped log, applied in order. That equals the writer's state only if the
// log holds every write the tables do not: every change since the writer's
// memtables were last empty of unflushed data. Two moments break that and
// are repaired here:
//  - A switch to a fresh file drops the entries of the old one. The fresh
//    log is therefore seeded with the writer's memtables (what the tables
//    lack) and then with the write that caused the switch, whose sequence
//    number every seed carries. A follower that drained the old file has
//    already applied that number, which is how it knows it missed nothing.
//  - A writer that opens finds a log that does not end at the write-ahead
//    log's last sequence (writes happened without publishing, or the log
//    outlived writes the crash lost). It starts a fresh, seeded file, whose
//    first sequence tells followers to reload from the tables.
// All of this runs under the handle's wal_mutex (or during open), which the
// engine holds from a write's log append through its memtable insert.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Replaces the writer's mapped log with a fresh seeded file and appends the
// given write after the seeds. Caller holds wal_mutex, not memtable_lock.
// 0, or -1 when the switch failed (the log may then be unmapped).
int32_t switch_published_log(db_handle *db, uint64_t sequence, int32_t op, uint64_t table_id, const void *key,
                             uint64_t key_len, const void *value, uint64_t value_len);

// Writer, after mapping the log at open: makes the log agree with the
// write-ahead log's numbering and the memtables replayed from it.
void reconcile_published_log(db_handle *db);

}  // namespace morva
