// Loading the sorted table files of a database into a B-tree.
//
// Every table carries a sequence number in its header and name
// P.sst.<level>.<sequence>. Level-0 tables are numbered by flushes from
// P.seq and never reuse a number; a compaction output takes the highest
// sequence of its inputs and lives one level deeper. A higher sequence
// therefore always means newer contents, and applying tables in ascending
// sequence (the deeper level first on a tie) leaves every key at its newest
// version.
#pragma once

#include <cstdint>
#include <vector>

#include "morvadb.h"
#include "sstable/compaction.h"

namespace morva {

// Applies every table to the tree in the given order (oldest first, as
// tables_oldest_first lists them): a tombstone deletes its key, a value puts
// it. Files that are not tables are passed over. DB_ERR_IO when a table
// cannot be read, DB_ERR_NOMEM when the tree cannot take an entry.
int32_t load_tables_into(btree *tree, const std::vector<TableFile> &oldest_first);

// Highest sequence among the tables, 0 for none.
uint64_t highest_sequence(const std::vector<TableFile> &tables);

}  // namespace morva
