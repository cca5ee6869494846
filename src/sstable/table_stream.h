// Sequential reading of a sorted table through a small buffer, for the
// compaction merge.
//
// A merge reads every input once from front to back. Reading through a
// memory mapping would leave the pages it touched resident in the process
// (a fault maps whole page-cache folios, which may be much larger than the
// part already consumed), so a merge of hundreds of level-0 tables could
// hold most of them in memory at once. A TableStream instead reads the
// file with pread into a buffer of a size the caller chooses, so a merge
// holds a fixed budget of input bytes however many tables it reads.
//
// A stream accepts exactly the files open_table accepts (header, version
// and index block within the file), yields the entries TableIterator would
// yield (at most the header's count, stopping quietly at the first entry
// that does not fit below the index), and never maps the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sstable/table_format.h"
#include "util/sync.h"

namespace morva {

class TableStream {
public:
    TableStream() = default;
    TableStream(TableStream &&) noexcept = default;
    TableStream &operator=(TableStream &&) noexcept = default;
    TableStream(const TableStream &) = delete;
    TableStream &operator=(const TableStream &) = delete;

    // Opens the table at path with a read buffer of about buffer_bytes
    // (grown for an entry that does not fit). DB_OK, or as open_table:
    // DB_ERR_NOT_FOUND for a missing file, DB_ERR_CORRUPT for a file that is
    // not a table, DB_ERR_IO when reading failed. A stream that did not open
    // yields nothing. May throw std::bad_alloc for the buffer.
    int32_t open(const std::string &path, size_t buffer_bytes);

    uint64_t sequence() const { return sequence_; }

    // Decodes the next entry into *out; false at the end. Key and value
    // point into the stream's buffer and stay valid until the next call.
    // May throw std::bad_alloc when an entry needs a larger buffer.
    bool next(TableEntry *out);

    // True once a read of the file failed (or found it shorter than at
    // open): an end reported by next() is then not the table's end.
    bool read_failed() const { return read_failed_; }

private:
    // Makes the n bytes at file offset `at` available in the buffer and
    // returns them, or null when they do not lie below limit or cannot be
    // read. Bytes before `at` may be dropped from the buffer.
    const uint8_t *window(uint64_t at, uint64_t n, uint64_t limit);
    bool read_header(uint64_t file_size);
    bool index_is_sound(uint64_t file_size);

    UniqueFd fd_;
    std::vector<uint8_t> buffer_;
    uint64_t buffer_offset_ = 0;  // file offset of buffer_[0]
    size_t buffered_ = 0;         // valid bytes in buffer_
    uint64_t position_ = 0;       // file offset of the next entry
    uint64_t data_end_ = 0;       // the index offset: entries lie below it
    uint64_t remaining_ = 0;      // entries left by the header's count
    uint64_t sequence_ = 0;
    bool read_failed_ = false;
};

}  // namespace morva
