// The writer's background thread: one compaction step every five seconds.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Starts the background thread (the running flag is set first). DB_ERR_NOMEM
// when the thread cannot be created.
int32_t start_background(db_handle *db);

// Clears the running flag, wakes the thread and joins it. Safe to call when
// the thread was never started.
void stop_background(db_handle *db);

// One compaction step: takes the census of table files, picks an overfull
// level L and merges all of its tables into one table at level L + 1, then
// deletes the inputs. The handle's locks are held only for the census and
// for the deletion, so reads and writes continue while the merge runs.
// Returns DB_OK when nothing needed compacting. Must not run concurrently
// with itself (the background thread is its only caller besides tests).
int32_t compact_once(db_handle *db);

}  // namespace morva
