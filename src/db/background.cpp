// Background compaction thread of a writer handle.
#include "db/background.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "db/handle.h"
#include "db/table_set.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr int kSleepsPerCycle = 50;
constexpr long kSleepNanos = 100L * 1000 * 1000;

// Census records built from a filtered table set, freed on every path.
struct PickCensus {
    compaction_level levels[kLevelCount] = {};
    ~PickCensus() { compaction_free_levels(levels, kLevelCount); }
};

// Waits up to 100 ms, returning early when close wakes the thread.
void nap(db_handle *db) {
    db_private *p = db->internal;
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += kSleepNanos;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    MutexGuard guard(&p->wake_mutex);
    while (load_flag(&db->bg_running)) {
        if (pthread_cond_timedwait(&p->wake_cond, &p->wake_mutex, &until) == ETIMEDOUT) break;
    }
}

void *background_main(void *arg) {
    auto *db = static_cast<db_handle *>(arg);
    while (load_flag(&db->bg_running)) {
        for (int i = 0; i < kSleepsPerCycle; ++i) {
            nap(db);
            if (!load_flag(&db->bg_running)) return nullptr;
        }
        compact_once(db);
    }
    return nullptr;
}

int32_t merge_tables(char *const *inputs, int count, const char *output, uint64_t sequence, bool drop_tombstones) {
    (void)drop_tombstones;
    return compaction_merge_to_level(inputs, count, output, sequence);
}

// What one compaction step will do, decided under the locks.
struct CompactionPlan {
    int level = -1;
    std::vector<std::string> inputs;
    uint64_t output_sequence = 0;
    bool deeper_tables_exist = false;
};

// Takes the census and picks the level. The caller holds store_lock so no
// flush adds a table meanwhile.
int32_t plan_compaction(db_handle *db, CompactionPlan *plan) {
    TableSet set;
    int32_t status = list_tables(db->path, &set);
    if (status != DB_OK) return status;
    PickCensus census;
    for (const TableFile &f : set.files) compaction_register_file(census.levels, f.level, f.path.c_str(), f.bytes);
    int level = compaction_pick_level(census.levels, kLevelCount);
    if (level < 0 || census.levels[level].file_count == 0) return DB_OK;
    plan->level = level;
    for (const TableFile &f : set.files) {
        if (f.level == level) {
            plan->inputs.push_back(f.path);
            // The output takes the newest input's sequence: it holds nothing
            // newer, and every table created later has a higher number.
            plan->output_sequence = std::max(plan->output_sequence, f.sequence);
        } else if (f.level > level) {
            plan->deeper_tables_exist = true;
        }
    }
    return DB_OK;
}

}  // namespace

static int32_t compact_step(db_handle *db) {
    CompactionPlan plan;
    {
        WriteGuard memtables(&db->memtable_lock);
        WriteGuard store(&db->store_lock);
        int32_t status = plan_compaction(db, &plan);
        if (status != DB_OK || plan.level < 0) return status;
        // Keeps checkpoint numbering counting the compactions of this open.
        lsm_next_seq(db->memtables);
    }

    // The inputs are immutable and only this thread deletes tables, so the
    // merge runs without any lock held.
    char output[kPathBufferSize];
    compaction_make_path(db->path, plan.level + 1, plan.output_sequence, output, sizeof output);
    std::vector<char *> inputs;
    for (std::string &s : plan.inputs) inputs.push_back(s.data());
    // Tombstones may only be dropped when no older table outside this merge
    // can still hold the key they delete.
    int32_t status = merge_tables(inputs.data(), static_cast<int>(inputs.size()), output, plan.output_sequence,
                                  !plan.deeper_tables_exist);
    if (status != DB_OK) return status;

    // The B-tree already holds every key's newest state, so the output is not
    // loaded into it; only the set of files changes.
    WriteGuard store(&db->store_lock);
    for (const std::string &path : plan.inputs) ::unlink(path.c_str());
    return DB_OK;
}

int32_t compact_once(db_handle *db) {
    try {
        return compact_step(db);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

int32_t start_background(db_handle *db) {
    db_private *p = db->internal;
    store_flag(&db->bg_running, 1);
    if (pthread_create(&db->bg_thread, nullptr, background_main, db) != 0) {
        store_flag(&db->bg_running, 0);
        return DB_ERR_NOMEM;
    }
    p->bg_started = true;
    return DB_OK;
}

void stop_background(db_handle *db) {
    db_private *p = db->internal;
    if (!p->bg_started) return;
    {
        MutexGuard guard(&p->wake_mutex);
        store_flag(&db->bg_running, 0);
        pthread_cond_broadcast(&p->wake_cond);
    }
    pthread_join(db->bg_thread, nullptr);
    p->bg_started = false;
}

}  // namespace morva
