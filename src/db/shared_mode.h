// Shared mode: the writer publishes every put and delete through the mapped
// log P.wal.mmap and keeps P.shared, so that followers in other processes
// can apply the writer's changes. These are the engine's call sites; the
// publishing itself lives in shared_mode.cpp.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Writer, last step of db_open: opens P.shared and maps P.wal.mmap when
// options.shared_mode is set (clearing it when the log cannot be mapped).
void open_shared_mode(db_handle *db);

// Writer, under wal_mutex right after the record with this sequence number
// was appended to the write-ahead log: publishes the same change to
// followers. A full mapped log drops the change for followers only.
void publish_write(db_handle *db, uint64_t sequence, int32_t op, uint64_t table_id, const void *key,
                   uint64_t key_len, const void *value, uint64_t value_len);

// Writer, in db_close with all locks held: unmaps the mapped log if mapped.
void close_shared_mode(db_handle *db);

// Follower, first step of db_close: stops the follower thread, leaves the
// shared metadata and unmaps the mapped log.
void close_follower(db_handle *db);

}  // namespace morva
