// Level compaction internals for the engine.
//
// Tables are named "<prefix>.sst.<level>.<sequence>"; the directory is the
// only state. A merge combines tables into one new table in which each key
// appears once, in its newest version (the version from the table with the
// highest header sequence). Nothing here locks: the caller keeps other
// writers of the directory away for a whole step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "morvadb.h"

namespace morva {

constexpr int kCompactionLevels = COMPACTION_NUM_LEVELS;
constexpr int kLevel0FileTrigger = COMPACTION_L0_FILE_TRIGGER;
constexpr uint64_t kLevel1MaxBytes = COMPACTION_L1_MAX_BYTES;

struct CensusOptions {
    // Leave out names ending in ".tmp": files a flush or merge never renamed
    // into place are not tables of the database.
    bool skip_temporary = false;
};

// Fills levels[0, level_count) from the directory of prefix (see
// compaction_scan_levels). DB_ERR_NOMEM when a path cannot be stored.
int32_t scan_levels(const char *prefix, compaction_level *levels, int level_count, const CensusOptions &options);

struct MergeOptions {
    // Write a key whose newest version is a tombstone as that tombstone
    // instead of dropping it. Needed whenever a table outside the merge (the
    // other files of the target level, or deeper levels) may still hold an
    // older value for the key, which the tombstone must keep hiding.
    bool keep_tombstones = false;
    // Most inputs one pass of the merge opens at once; 0 chooses from the
    // process's descriptor limit. Larger merges go through intermediate
    // tables (see merge_tables).
    size_t max_inputs_per_pass = 0;
};

// Merges the readable tables among paths into one table at output_path
// (written through output_path + ".tmp") with the given header sequence.
// Within a key the entry of the table with the highest sequence wins; equal
// sequences go to the earlier input. Inputs are streamed through buffers of
// bounded total size, not loaded: the result is the same as collecting and
// sorting every entry. More inputs than one pass may open are merged in
// runs of equal-or-older tables into intermediate tables first, then those
// into the output. Missing files and files that are not tables are passed
// over and, when skipped is given, listed there; an input that cannot be
// read (at open or part-way) fails the merge with DB_ERR_IO, or
// DB_ERR_NOMEM, since a merge without its entries would lose them.
int32_t merge_tables(const std::vector<std::string> &paths, const std::string &output_path, uint64_t sequence,
                     const MergeOptions &options, std::vector<std::string> *skipped = nullptr);

// The same merge by collecting every entry and sorting; used when an input
// turns out not to be in key order, and by the tests as the reference.
int32_t merge_tables_sorted(const std::vector<std::string> &paths, const std::string &output_path,
                            uint64_t sequence, const MergeOptions &options);

// The header sequence of the table at path; false when the file cannot be
// read or is not a table. Reads only the header.
bool read_table_sequence(const std::string &path, uint64_t *sequence);
// The same, telling why it failed: DB_ERR_NOT_FOUND (no file),
// DB_ERR_CORRUPT (not a table) or DB_ERR_IO (reading failed).
int32_t table_sequence(const std::string &path, uint64_t *sequence);

// Highest header sequence among the tables at paths that open; 0 when none.
uint64_t highest_table_sequence(const std::vector<std::string> &paths);

// A table file of the database with its place in the age order.
struct TableFile {
    std::string path;
    int level = 0;
    uint64_t sequence = 0;
};

// The finished tables of levels 0 to 7, oldest first: ascending header
// sequence, and on equal sequences the deeper level first. Applying them in
// this order (later ones overriding earlier ones) leaves each key in its
// newest state, provided compactions name their outputs as
// run_compaction_step does. Files that are not tables are left out; a file
// that cannot be read makes the listing fail with DB_ERR_IO.
int32_t tables_oldest_first(const char *prefix, std::vector<TableFile> *out);

// What one engine compaction step did.
struct CompactionStep {
    int level = -1;                   // level compacted; -1 when nothing needed it
    std::vector<std::string> inputs;  // tables merged (and deleted)
    std::string output_path;          // the new table at level + 1
    uint64_t output_sequence = 0;
    bool kept_tombstones = false;
};

// One compaction step as the engine runs it: census of 8 levels without
// temporary files, pick a level, merge all of its tables into the next
// level under the highest sequence among them (so that sequences keep
// ordering tables by age across restarts), keep tombstones when deeper
// levels hold any table, and delete the inputs once the output is in place.
// A table already under the output name is merged in rather than replaced.
// Returns DB_OK also when nothing needed compacting (step->level == -1).
int32_t run_compaction_step(const char *prefix, CompactionStep *step);

}  // namespace morva
