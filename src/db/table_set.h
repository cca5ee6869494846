// The set of sorted table files of a database as found on disk, and loading
// it into a B-tree.
//
// Every table carries a sequence number in its name P.sst.<level>.<sequence>
// (and in its header). Level-0 tables are numbered by flushes from P.seq and
// never reuse a number; a compaction output takes the highest sequence of its
// inputs and lives one level deeper. A higher sequence therefore always means
// newer contents, and applying tables in ascending sequence (the deeper level
// first on a tie) leaves every key at its newest version.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "morvadb.h"

namespace morva {

constexpr int kLevelCount = COMPACTION_NUM_LEVELS;

struct TableFile {
    std::string path;
    int level = 0;
    uint64_t sequence = 0;
    uint64_t bytes = 0;
};

// All finished table files of levels 0 to 7 (temporary ".tmp" files left by
// an interrupted write are not tables and are left out).
struct TableSet {
    std::vector<TableFile> files;
    uint64_t max_sequence = 0;
};

// Takes the census of the table files beside the prefix. DB_ERR_NOMEM when
// the listing runs out of memory.
int32_t list_tables(const char *prefix, TableSet *out);

// Sequence number in a table file name "<prefix>.sst.<level>.<sequence>",
// or false when the name does not have that form.
bool parse_table_name(const std::string &path, int *level, uint64_t *sequence);

// Applies every table to the tree in ascending sequence order, the deeper
// level first on equal sequences: a tombstone deletes its key, a value puts
// it. Tables that do not open are passed over. DB_ERR_NOMEM when the tree
// cannot take an entry.
int32_t load_tables_into(btree *tree, const TableSet &set);

}  // namespace morva
