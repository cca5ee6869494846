// Rebuilding the memtables from the write-ahead log at open.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Replays P.wal into the handle's active memtable, which may grow past its
// limit (the caller flushes it afterwards). A log that ends in a torn or
// damaged record is cut back to the end of the last whole record. Returns
// DB_OK, DB_ERR_NOMEM when a record could not be applied, or DB_ERR_IO when
// the log could not be read or its damaged tail not cut (the log is then
// left untouched).
int32_t replay_into_memtables(db_handle *db);

}  // namespace morva
