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

// Opens a table like sstable_reader_open and, when it does not open, says
// why in *why (when given): DB_ERR_NOT_FOUND for a missing file,
// DB_ERR_CORRUPT for a file that is not a table, DB_ERR_IO when reading it
// failed and DB_ERR_NOMEM without memory. Only the first two describe the
// file; after the others nothing is known about its contents.
sstable_reader *open_table(const char *path, int32_t *why);

// Finds the entry holding exactly key, tombstone or not, without consulting
// the bloom filter; false when the table has none.
bool find_entry(const sstable_reader *r, const void *key, uint64_t key_len, TableEntry *out);

// Walks the entries of a table in file order, at most the header's entry
// count, stopping quietly at the first entry that does not fit.
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
        return true;
    }

private:
    const sstable_reader *reader_;
    uint64_t offset_;
    uint64_t remaining_;
};

}  // namespace morva
