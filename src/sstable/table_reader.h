// Sorted table reader internals: sequential entry iteration over an open
// table, shared by scans and the compaction merge.
//
// A reader maps the whole file read-only and is immutable after open, so any
// number of threads may read through one reader; the file is hostile input,
// and every offset and length taken from it is checked against the mapping
// before it is followed.
#pragma once

#include <cstdint>

#include "morvadb.h"
#include "sstable/table_format.h"

namespace morva {

// End of the entry region: entries never extend into the index block.
inline uint64_t table_data_end(const sstable_reader *r) { return r->index_offset; }


// Finds the entry holding exactly key, tombstone or not, without consulting
// the bloom filter; false when the table has none.
bool find_entry(const sstable_reader *r, const void *key, uint64_t key_len, TableEntry *out);

// Opens a table as sstable_reader_open does; without with_filter the bloom
// block is not loaded (for readers that only scan, like a merge, which
// would otherwise hold one filter per input in memory). When the table does
// not open, *why (when given) says why: DB_ERR_NOT_FOUND for a missing file,
// DB_ERR_CORRUPT for a file that is not a table, DB_ERR_IO when reading it
// failed and DB_ERR_NOMEM without memory. Only the first two describe the
// file; after the others nothing is known about its contents.
sstable_reader *open_table(const char *path, bool with_filter, int32_t *why);

// Drops the pages of [begin, end) of the reader's mapping from this
// process's memory (they stay in the page cache; a later access maps them
// again with the same bytes, so pointers into the range stay valid).
void release_mapped_range(const sstable_reader *r, uint64_t begin, uint64_t end);

// Walks the entries of a table in file order, at most the header's entry
// count, stopping quietly at the first entry that does not fit. Pages
// already walked past are released from the process's resident memory as
// the walk goes (release_mapped_range), so scanning or merging large tables
// does not hold a second copy of them in memory.
class TableIterator {
public:
    explicit TableIterator(const sstable_reader *r)
        : reader_(r), offset_(kTableHeaderSize), remaining_(r != nullptr ? r->num_entries : 0) {}

    // Decodes the next entry into *out; false at the end.
    bool next(TableEntry *out) {
        if (remaining_ == 0) return false;
        uint64_t next = decode_entry(reader_->map, table_data_end(reader_), offset_, out);
        if (next == 0) {
            remaining_ = 0;
            return false;
        }
        offset_ = next;
        remaining_--;
        if (offset_ - released_ >= kReleaseStride) {
            release_mapped_range(reader_, released_, offset_);
            released_ = offset_;
        }
        return true;
    }

private:
    // Small enough that a merge of dozens of inputs keeps only a few MiB
    // of them resident.
    static constexpr uint64_t kReleaseStride = 64u << 10;

    const sstable_reader *reader_;
    uint64_t offset_;
    uint64_t remaining_;
    uint64_t released_ = 0;
};

}  // namespace morva
