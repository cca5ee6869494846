// Internal view of the database handle shared by the engine's files and by
// the other subsystems that reach into a handle (queries, full-text and
// vector calls, followers).
//
// Lock discipline of a handle. Four locks, always taken in this order and
// released in reverse:
//   catalog_lock  (rwlock) tables, table_count, fts, vectors, embed, quant*
//   wal_mutex     (mutex)  the write-ahead log and the mapped log
//   memtable_lock (rwlock) the memtable pair (memtables->active/flushing)
//   store_lock    (rwlock) the B-tree (tree) and the set of sorted table files
// A writer holds wal_mutex from its log append through its memtable insert
// and the flush that insert may trigger, so the log and the memtables see
// writes in the same order and a log truncation never drops a record that
// has not reached a memtable.
//
// Readers of memtables take memtable_lock for reading; readers of the
// B-tree take store_lock for reading; a reader of both (a table scan) takes
// memtable_lock first and holds both for the whole scan, since flushes free
// memtables and change the B-tree. db_get copies the value it returns into
// a per-thread buffer before releasing those locks.
//
// memtable_lock and store_lock prefer writers (a queued writer holds off new
// readers), so no thread may take either of them for reading twice: with a
// writer queued in between it would wait for itself. catalog_lock keeps the
// default kind, since host callbacks run under its read side and may call
// db_get. A flush applies its memtable to the B-tree in short holds of
// store_lock; compaction holds no lock while it merges.
//
// The memtables are memtables->active (newest) and memtables->flushing
// (older; non-null only while a failed flush keeps it for a retry); a
// tombstone in either hides older versions of its key in the B-tree.
//
// Follower handles (is_follower = 1) are built with allocate_handle, have
// catalog_lock, memtable_lock and store_lock initialised (no wal_mutex) and
// no memtables, log or fts. db_close of a follower calls close_follower
// (shared_mode.h), which clears follower_running and joins follower_thread
// when the flag is set, leaves the shared metadata and unmaps the mapped log;
// it then frees the tables, the B-tree, the three locks and the handle.
#pragma once

#include <pthread.h>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "morvadb.h"

namespace morva {
struct FollowerState;
}

// Private state the library appends to every handle it allocates.
struct db_private {
    // Descriptor of P.wal holding the writer's exclusive advisory lock; -1
    // in a follower.
    int lock_fd = -1;
    // Highest sorted table number known to be in use (from P.seq and the
    // files on disk). Level-0 numbers continue above it so that no number
    // is ever reused. Guarded by wal_mutex (only flushes use it).
    uint64_t last_table_number = 0;
    // Wakes the background thread early when the handle closes.
    pthread_mutex_t wake_mutex;
    pthread_cond_t wake_cond;
    bool wake_initialized = false;
    bool bg_started = false;
    // Follower bookkeeping (db/follower.h); null in a writer.
    morva::FollowerState *follower = nullptr;
    // Codes of the quantized index's stored vectors while its quantizer is
    // trained (quant_count x code size bytes, insertion order). Kept by the
    // db_vec_quant_ calls under catalog_lock; released with the handle.
    std::vector<uint8_t> quant_codes;
};

namespace morva {

constexpr size_t kPathBufferSize = 512;
// Longest suffix the engine appends to a prefix (".sst.7.<20 digits>.tmp"
// and ".ckpt.<20 digits>.tmp" are the longest); prefixes are limited so
// that no file name is ever cut short and two names never collide.
constexpr size_t kLongestSuffix = 32;
constexpr size_t kMaxPrefixLength = kPathBufferSize - 1 - kLongestSuffix;

// Stores a status as the handle's last error and returns it. The word is
// written atomically because any thread may read it with db_last_error.
int32_t set_last_error(db_handle *db, int32_t status);

// Table id (slot index + 1) of the first table named exactly `name`, or 0.
// The caller holds catalog_lock (read or write).
int64_t find_table_id(const db_handle *db, const char *name);

// Formats `<prefix><suffix>` into a kPathBufferSize buffer.
void format_path(char *buffer, const char *prefix, const char *suffix);

// Atomic access to the int32 running flags that one thread writes and
// another polls.
inline int32_t load_flag(const int32_t *flag) { return __atomic_load_n(flag, __ATOMIC_ACQUIRE); }
inline void store_flag(int32_t *flag, int32_t value) { __atomic_store_n(flag, value, __ATOMIC_RELEASE); }

// Frees the column names and types of every table slot and clears the count.
void free_tables(db_handle *db);

// Allocates a zeroed handle with its private state, a copy of the path and
// of the options (the defaults when options is null). Null without memory.
db_handle *allocate_handle(const char *path, const db_options *options);
// Frees the path, the private state and the handle itself.
void free_handle(db_handle *db);

// The defaults a null options pointer selects.
db_options default_options();

}  // namespace morva
