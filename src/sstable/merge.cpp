// Merging sorted tables into one. Each input is already in key order, so a
// k-way merge over a heap of input cursors yields every entry in the final
// order (key ascending, then newest table first) while holding only one
// entry per input; keys and values are never copied, they point into the
// inputs' mappings until the output table is finished.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "sstable/compaction.h"
#include "sstable/table_reader.h"

namespace morva {
namespace {

// The open inputs of one merge; closed together when the merge ends.
class MergeInputs {
public:
    MergeInputs(const std::vector<std::string> &paths, std::vector<std::string> *skipped) {
        for (const std::string &p : paths) {
            int32_t why = DB_OK;
            sstable_reader *r = open_table(p.c_str(), false, &why);
            if (r != nullptr) {
                readers_.push_back(r);
            } else if (why == DB_ERR_IO || why == DB_ERR_NOMEM) {
                // Nothing is known about an input that could not be read; a
                // merge without it would drop its entries once the inputs
                // are deleted, so the merge does not happen.
                if (failure_ == DB_OK) failure_ = why;
            } else if (skipped != nullptr) {  // files that are not tables are passed over
                skipped->push_back(p);
            }
        }
    }
    ~MergeInputs() {
        for (sstable_reader *r : readers_) sstable_reader_close(r);
    }
    MergeInputs(const MergeInputs &) = delete;
    MergeInputs &operator=(const MergeInputs &) = delete;

    const std::vector<sstable_reader *> &readers() const { return readers_; }
    // DB_OK, or why an input could not be read.
    int32_t failure() const { return failure_; }

private:
    std::vector<sstable_reader *> readers_;
    int32_t failure_ = DB_OK;
};

// An entry in merge order: key, then higher table sequence, then the
// earlier input, then file position.
struct MergeItem {
    TableEntry entry;
    uint64_t sequence;
    size_t input;
};

bool comes_before(const MergeItem &a, const MergeItem &b) {
    int c = compare_keys(a.entry.key, a.entry.key_len, b.entry.key, b.entry.key_len);
    if (c != 0) return c < 0;
    if (a.sequence != b.sequence) return a.sequence > b.sequence;
    return a.input < b.input;
}

// Receives entries in merge order and writes the first (newest) of each key.
class MergeOutput {
public:
    MergeOutput(const std::string &output_path, uint64_t sequence, const MergeOptions &options)
        : options_(options) {
        std::string temp = output_path + ".tmp";
        writer_ = sstable_writer_create(temp.c_str(), output_path.c_str(), sequence);
    }
    ~MergeOutput() { sstable_writer_destroy(writer_); }
    MergeOutput(const MergeOutput &) = delete;
    MergeOutput &operator=(const MergeOutput &) = delete;

    bool ok() const { return writer_ != nullptr; }

    // Returns the writer's status; versions after a key's first are skipped.
    int32_t offer(const TableEntry &e) {
        if (have_last_ && compare_keys(e.key, e.key_len, last_key_, last_len_) == 0) return DB_OK;
        have_last_ = true;
        last_key_ = e.key;
        last_len_ = e.key_len;
        if (is_tombstone(e.flags) && !options_.keep_tombstones) return DB_OK;
        return sstable_writer_add(writer_, e.key, e.key_len, e.value, e.value_len, e.flags);
    }

    int32_t finish() { return sstable_writer_finish(writer_); }

private:
    MergeOptions options_;
    sstable_writer *writer_ = nullptr;
    const uint8_t *last_key_ = nullptr;
    uint64_t last_len_ = 0;
    bool have_last_ = false;
};

constexpr int32_t kUnsortedInput = 1;  // internal: fall back to sorting

int32_t stream_merge(const MergeInputs &inputs, MergeOutput &out) {
    const std::vector<sstable_reader *> &readers = inputs.readers();
    std::vector<TableIterator> cursors;
    std::vector<MergeItem> heap;
    cursors.reserve(readers.size());
    heap.reserve(readers.size());
    for (size_t i = 0; i < readers.size(); i++) {
        cursors.emplace_back(readers[i]);
        MergeItem item{{}, readers[i]->sequence, i};
        if (cursors[i].next(&item.entry)) heap.push_back(item);
    }
    // std heaps keep the largest element on top; invert the order.
    auto after = [](const MergeItem &a, const MergeItem &b) { return comes_before(b, a); };
    std::make_heap(heap.begin(), heap.end(), after);
    while (!heap.empty()) {
        std::pop_heap(heap.begin(), heap.end(), after);
        MergeItem item = heap.back();
        heap.pop_back();
        int32_t rc = out.offer(item.entry);
        if (rc != DB_OK) return rc;
        MergeItem next{{}, item.sequence, item.input};
        if (!cursors[item.input].next(&next.entry)) continue;
        if (compare_keys(next.entry.key, next.entry.key_len, item.entry.key, item.entry.key_len) < 0)
            return kUnsortedInput;
        heap.push_back(next);
        std::push_heap(heap.begin(), heap.end(), after);
    }
    return out.finish();
}

int32_t sort_merge(const MergeInputs &inputs, MergeOutput &out) {
    const std::vector<sstable_reader *> &readers = inputs.readers();
    std::vector<MergeItem> items;
    for (size_t i = 0; i < readers.size(); i++) {
        TableIterator it(readers[i]);
        MergeItem item{{}, readers[i]->sequence, i};
        while (it.next(&item.entry)) items.push_back(item);
    }
    // Stable, so equal keys of one input keep their file order.
    std::stable_sort(items.begin(), items.end(), comes_before);
    for (const MergeItem &item : items) {
        int32_t rc = out.offer(item.entry);
        if (rc != DB_OK) return rc;
    }
    return out.finish();
}

}  // namespace

int32_t merge_tables(const std::vector<std::string> &paths, const std::string &output_path, uint64_t sequence,
                     const MergeOptions &options, std::vector<std::string> *skipped) {
    try {
        MergeInputs inputs(paths, skipped);
        if (inputs.failure() != DB_OK) return inputs.failure();
        {
            MergeOutput out(output_path, sequence, options);
            if (!out.ok()) return DB_ERR_NOMEM;
            int32_t rc = stream_merge(inputs, out);
            if (rc != kUnsortedInput) return rc;
        }  // the abandoned output's temporary file is deleted here
        MergeOutput out(output_path, sequence, options);
        if (!out.ok()) return DB_ERR_NOMEM;
        return sort_merge(inputs, out);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

int32_t merge_tables_sorted(const std::vector<std::string> &paths, const std::string &output_path,
                            uint64_t sequence, const MergeOptions &options) {
    try {
        MergeInputs inputs(paths, nullptr);
        if (inputs.failure() != DB_OK) return inputs.failure();
        MergeOutput out(output_path, sequence, options);
        if (!out.ok()) return DB_ERR_NOMEM;
        return sort_merge(inputs, out);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

int32_t table_sequence(const std::string &path, uint64_t *sequence) {
    // Only the header is read: opening a reader would checksum the file.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? DB_ERR_NOT_FOUND : DB_ERR_IO;
    uint8_t header[kTableHeaderSize];
    ssize_t got = ::pread(fd, header, sizeof header, 0);
    ::close(fd);
    if (got < 0) return DB_ERR_IO;
    if (got != static_cast<ssize_t>(sizeof header) || get_u32(header) != kTableMagic) return DB_ERR_CORRUPT;
    *sequence = get_u64(header + 40);
    return DB_OK;
}

bool read_table_sequence(const std::string &path, uint64_t *sequence) {
    return table_sequence(path, sequence) == DB_OK;
}

uint64_t highest_table_sequence(const std::vector<std::string> &paths) {
    uint64_t highest = 0;
    for (const std::string &p : paths) {
        uint64_t sequence = 0;
        if (read_table_sequence(p, &sequence) && sequence > highest) highest = sequence;
    }
    return highest;
}

}  // namespace morva
