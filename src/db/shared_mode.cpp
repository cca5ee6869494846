// Shared-mode call sites of the writer and the follower's shutdown.
//
// Publishing into the mapped log and the shared metadata file is not wired
// in yet: until it is, a writer opened with shared_mode runs without
// publishing (as it does when the mapped log cannot be mapped).
#include "db/shared_mode.h"

#include <pthread.h>

#include "db/handle.h"

namespace morva {

void open_shared_mode(db_handle *db) {
    if (db->options.shared_mode) db->options.shared_mode = 0;
}

void publish_write(db_handle *db, uint64_t, int32_t, uint64_t, const void *, uint64_t, const void *, uint64_t) {
    if (!db->options.shared_mode) return;
}

void close_shared_mode(db_handle *) {}

void close_follower(db_handle *db) {
    if (load_flag(&db->follower_running)) {
        store_flag(&db->follower_running, 0);
        pthread_join(db->follower_thread, nullptr);
    }
}

}  // namespace morva
