// Read-only followers: handles made by db_open_reader that track a writer in
// another process through its sorted tables and its mapped log.
//
// A follower's view is built as: map the writer's mapped log, then load the
// sorted tables, then apply every entry of the log in order. Mapping first
// matters: whatever the tables miss was written after the log's start and so
// is in the log (or in the seeds the writer puts at the head of a fresh log).
//
// On each refresh the follower notices a writer's switch to a fresh file by
// the file's identity, finishes the old mapping, and checks that the new
// log continues where the old one ended (its first entry carries the
// sequence number the old log ended with). When it does not, or when the log
// was reset in place or could not be mapped for a while, the follower
// rebuilds its B-tree from the tables and the current log and swaps it in.
//
// Refreshes are serialized by the follower's own mutex (the follower thread
// and host calls of db_reader_refresh may overlap); B-tree changes happen
// under store_lock written, catalog changes under catalog_lock written.
#pragma once

#include "morvadb.h"

namespace morva {

// Frees the follower bookkeeping of a handle (after its thread stopped).
void release_follower_state(db_handle *db);


}  // namespace morva
