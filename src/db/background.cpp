// Background compaction thread of a writer handle.
#include "db/background.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <vector>

#include "db/handle.h"
#include "sstable/compaction.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr int kSleepsPerCycle = 50;
constexpr long kSleepNanos = 100L * 1000 * 1000;
constexpr int kBackgroundNice = 10;

// A census of the table files, freed on every path out.
struct LevelCensus {
    compaction_level levels[kCompactionLevels] = {};
    ~LevelCensus() { compaction_free_levels(levels, kCompactionLevels); }
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
    // Compaction only tidies the files (lookups are served from memory), so
    // it runs at a lower priority than the host's threads: on a busy machine
    // a long merge should not take the processor from a get or a put.
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kBackgroundNice);
    while (load_flag(&db->bg_running)) {
        for (int i = 0; i < kSleepsPerCycle; ++i) {
            nap(db);
            if (!load_flag(&db->bg_running)) return nullptr;
        }
        compact_once(db);
    }
    return nullptr;
}

// What one compaction step will do, decided under the locks.
struct CompactionPlan {
    int level = -1;
    std::vector<std::string> inputs;
    uint64_t output_sequence = 0;
    bool deeper_tables_exist = false;
};

// Takes the census (finished tables only) and picks the level.
int32_t plan_compaction(db_handle *db, CompactionPlan *plan) {
    LevelCensus census;
    int32_t status = scan_levels(db->path, census.levels, kCompactionLevels, CensusOptions{true});
    if (status != DB_OK) return status;
    int level = compaction_pick_level(census.levels, kCompactionLevels);
    if (level < 0 || census.levels[level].file_count == 0) return DB_OK;
    plan->level = level;
    // Inputs go oldest first. Deleting them in this order matters: a step
    // cut short leaves the newest inputs beside the output, never older ones
    // that a later merge would carry above the output's newer versions.
    std::vector<std::pair<uint64_t, std::string>> ordered;
    for (int32_t i = 0; i < census.levels[level].file_count; ++i) {
        uint64_t sequence = 0;
        std::string path = census.levels[level].paths[i];
        if (!read_table_sequence(path, &sequence)) sequence = 0;
        ordered.emplace_back(sequence, std::move(path));
    }
    std::sort(ordered.begin(), ordered.end());
    for (auto &entry : ordered) plan->inputs.push_back(std::move(entry.second));
    for (int lv = level + 1; lv < kCompactionLevels; ++lv) {
        if (census.levels[lv].file_count > 0) plan->deeper_tables_exist = true;
    }
    // The output takes the newest input's sequence: it holds nothing newer,
    // and every table created later has a higher number.
    plan->output_sequence = highest_table_sequence(plan->inputs);
    return DB_OK;
}

// After a merge that passed over some inputs: true when one of them opens
// now, so it was a table after all and its entries are missing from the
// output. Inputs that still do not open are not tables and go with the rest.
bool passed_over_a_table(const std::vector<std::string> &skipped) {
    for (const std::string &path : skipped) {
        sstable_reader *reader = sstable_reader_open(path.c_str());
        if (reader) {
            sstable_reader_close(reader);
            return true;
        }
    }
    return false;
}

}  // namespace

static int32_t compact_step(db_handle *db) {
    CompactionPlan plan;
    // The census reads the directory without store_lock: this thread is the
    // only one that removes tables, and a flush adds a level-0 table by
    // renaming a complete file into place, so the listing can only miss a
    // table (which waits for the next step), never see half of one. Holding
    // the lock here would make lookups queue behind any flush that waits for
    // it while the directory is read.
    int32_t status = plan_compaction(db, &plan);
    if (status != DB_OK || plan.level < 0) return status;
    {
        // Keeps checkpoint numbering counting the compactions of this open.
        WriteGuard memtables(&db->memtable_lock);
        lsm_next_seq(db->memtables);
    }

    char output[kPathBufferSize];
    compaction_make_path(db->path, plan.level + 1, plan.output_sequence, output, sizeof output);
    std::vector<std::string> sources = plan.inputs;
    // A table already under the output name (left by a step that stopped
    // before deleting its inputs) is merged in rather than replaced.
    bool output_existed = false;
    if (sstable_reader *existing = sstable_reader_open(output)) {
        sstable_reader_close(existing);
        sources.push_back(output);
        output_existed = true;
    }
    // The inputs are immutable and only this thread deletes tables, so the
    // merge runs without any lock held. Tombstones may only be dropped when
    // no older table outside this merge can still hold the key they delete.
    MergeOptions options;
    options.keep_tombstones = plan.deeper_tables_exist;
    std::vector<std::string> skipped;
    status = merge_tables(sources, output, plan.output_sequence, options, &skipped);
    if (status != DB_OK) return status;

    // The B-tree already holds every key's newest state, so the output is not
    // loaded into it; only the set of files changes. Each file leaves the set
    // under its own short hold of store_lock: unlinking a large file, or a
    // few hundred small ones, takes long enough to stall lookups.
    if (passed_over_a_table(skipped)) {
        WriteGuard store(&db->store_lock);
        if (!output_existed) ::unlink(output);
        return DB_ERR_IO;
    }
    // A deletion that fails ends the deletions, so that what is left beside
    // the output are always the newest inputs (as after a crash here), never
    // an older one whose keys the output may have dropped as deleted.
    for (const std::string &path : plan.inputs) {
        if (path == output) continue;
        // Unlinking a file that is still open only removes its name; the
        // slow part, freeing its blocks, happens at the close after the lock.
        UniqueFd keep(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        WriteGuard store(&db->store_lock);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) return DB_ERR_IO;
    }
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
