// Internal view of a vector store. The public vec_store record is the first
// part of StoreImpl; the private state after it is the id index of the flat
// arrays and the bookkeeping of the log and the store directory.
//
// Locking: `lock` (in the public record) guards everything except the
// flush-thread fields, which are read with atomic loads; `thread_mutex`
// serialises starting and stopping the flush thread.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "morvadb.h"
#include "vector/id_index.h"

namespace morva {

constexpr uint64_t kFlatFirstSlots = 1024;
// Arrays start with at most this many bytes of vectors: 1,024 slots up to
// dimension 16,384, fewer above, so that a store of a huge dimension (or a
// damaged meta file claiming one) does not commit gigabytes before a single
// vector exists. Growth doubles from there.
constexpr uint64_t kFirstSlotsMaxBytes = uint64_t{64} << 20;
inline uint64_t first_slots_for(uint64_t dimension) {
    const uint64_t row = dimension * sizeof(float);
    if (row == 0 || kFlatFirstSlots * row <= kFirstSlotsMaxBytes) return kFlatFirstSlots;
    const uint64_t fit = kFirstSlotsMaxBytes / row;
    return fit > 0 ? fit : 1;
}
constexpr uint64_t kCheckpointLogBytes = 10485760;  // 10 MiB of log triggers a checkpoint
constexpr int32_t kHnswDefaultCapacity = 4194304;

struct StoreImpl : vec_store {
    IdIndex flat_ids;               // flat: id -> first live slot
    uint64_t flat_live = 0;         // flat: slots not deleted
    int dir_fd = -1;                // persistent: the directory, held with an exclusive flock
    uint64_t log_end = 0;           // persistent: offset just past the last complete log record
    bool commit_pending = false;    // a snapshot committed but its files were not all moved into place
    std::vector<uint8_t> record;    // reused buffer of one log record
    bool thread_mutex_ready = false;
    bool lock_ready = false;
    pthread_mutex_t thread_mutex;
};

inline StoreImpl *impl(vec_store *s) { return static_cast<StoreImpl *>(s); }

inline void set_dirty(vec_store *s, uint32_t v) { __atomic_store_n(&s->dirty, v, __ATOMIC_RELEASE); }
inline uint32_t get_dirty(const vec_store *s) { return __atomic_load_n(&s->dirty, __ATOMIC_ACQUIRE); }

// A store with its lock (and nothing else) set up, or null.
StoreImpl *new_store(const vec_config &config);
// Frees the store's arrays, graph, path, lock and the store itself (no
// checkpoint, no thread handling).
void free_store(StoreImpl *s);

// ---- flat arrays ----
// Grows the flat arrays to hold at least `need` slots: doubling from
// 1024, refusing capacities whose byte size would overflow. -1 on failure
// with the arrays unchanged.
int32_t flat_reserve(StoreImpl *s, uint64_t need);
// Allocates exactly `slots` zeroed slots (creation and open).
int32_t flat_allocate_exact(StoreImpl *s, uint64_t slots);
// Overwrites the first live slot with the id or appends a new slot.
// *appended tells which. -1 when growing fails.
int32_t flat_put(StoreImpl *s, uint64_t id, const float *vector, bool *appended);
// Appends n slots without looking for existing ids.
int32_t flat_append_batch(StoreImpl *s, uint32_t n, const uint64_t *ids, const float *vectors);
// Marks the first live slot with the id deleted; false when there is none.
bool flat_delete(StoreImpl *s, uint64_t id);
// First live slot with the id, or IdIndex::kNone.
uint64_t flat_find(StoreImpl *s, uint64_t id);
inline uint64_t flat_live_count(const vec_store *s) { return static_cast<const StoreImpl *>(s)->flat_live; }
// Rebuilds the id index and live count from the arrays (after loading).
int32_t flat_reindex(StoreImpl *s);

// ---- log and checkpoint (store lock held exclusively) ----
// Appends a record when the store is persistent; 0 for an in-memory store.
// Reopens a log lost by an earlier failed checkpoint; -4 when the record
// cannot be written.
int32_t log_insert(StoreImpl *s, uint64_t id, const float *vector);
int32_t log_delete(StoreImpl *s, uint64_t id);
// Replays the log over the loaded snapshot and cuts a torn tail; -1 when
// memory runs out, -4 when the log cannot be read or its tail not cut.
int32_t replay_log(StoreImpl *s);
// Complete insert records in the log of `dir` (sizes a reopened graph);
// -4 when the log cannot be read.
int32_t count_logged_inserts(const char *dir, uint32_t dimension, uint64_t *inserts);
int32_t checkpoint_locked(StoreImpl *s);
// Checkpoints once the log has grown past 10 MiB.
void maybe_checkpoint(StoreImpl *s);

// ---- store directory ----
// Takes the directory's exclusive lock; -4 when another opener holds it.
int32_t lock_directory(StoreImpl *s);
// Starts a fresh, empty store in the directory (empty snapshot and log).
int32_t init_directory(StoreImpl *s);

// Stops and joins the flush thread if it runs.
void stop_flush_thread(StoreImpl *s);

}  // namespace morva

namespace morva {
// Frees an open store without checkpointing or touching its files, as if
// the process had stopped (crash tests).
inline void abandon_store(vec_store *s) { free_store(static_cast<StoreImpl *>(s)); }
}  // namespace morva
