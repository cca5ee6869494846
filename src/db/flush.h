// Moving memtables to disk: level-0 tables numbered through P.seq, and the
// checkpoint of the whole B-tree written at close.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Whether a flush finds the memtable and store locks already held (close,
// and open before any other thread exists) or takes them itself for its
// short exclusive steps (a put or delete, which holds only wal_mutex).
enum class FlushLocks { kHeld, kTakeAsNeeded };

// Writes the memtables out as level-0 tables and empties the log:
//  1. a flushing memtable left over from an earlier failed flush is written
//     first (it is older than the active one);
//  2. the active memtable, when it holds anything, is rotated into the
//     flushing slot and written;
//  3. only when both reached disk is the log truncated, so a failure never
//     drops a record that is not yet in a table.
// A memtable that could not be written stays in the flushing slot, readable,
// and is written by the next flush. Callers hold wal_mutex, so no write
// reaches the memtables while a flush runs.
int32_t flush_memtables(db_handle *db, FlushLocks locks);

// Reserves the next level-0 table number: one above both P.seq and every
// number already in use, and records it in P.seq. Caller holds wal_mutex.
uint64_t reserve_table_number(db_handle *db);

// Reads P.seq: the number of the last level-0 table, 0 when absent or short.
uint64_t read_sequence_file(const char *prefix);

// Writes every B-tree entry to P.ckpt.N (N from lsm_next_seq) through a
// temporary file. Failures leave no checkpoint and are not reported. Caller
// holds memtable_lock and store_lock.
void write_checkpoint(db_handle *db);

}  // namespace morva
