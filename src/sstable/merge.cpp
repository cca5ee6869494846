// Merging sorted tables into one. Each input is already in key order, so a
// k-way merge over a heap of input streams yields every entry in the final
// order (key ascending, then newest table first) while holding one buffer
// per input; keys and values are not copied, they point into the inputs'
// buffers until the output has taken them.
//
// Every input of a merge is open at once, so a merge of more tables than a
// fraction of the process's descriptor limit (hundreds of small level-0
// tables pile up between two compaction cycles under a steady write load)
// first merges runs of inputs into intermediate tables and then merges
// those.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "sstable/compaction.h"
#include "sstable/table_reader.h"
#include "sstable/table_stream.h"

namespace morva {
namespace {

// Input bytes a merge buffers in total, split among its inputs, and the
// bounds of one input's share: large enough to read in efficient slices,
// small enough that hundreds of inputs cost a few MiB.
constexpr size_t kMergeBufferBudget = 4u << 20;
constexpr size_t kMinInputBuffer = 4u << 10;
constexpr size_t kMaxInputBuffer = 256u << 10;

// Inputs one pass may open: a quarter of the descriptor limit, so that the
// host keeps the rest, and never more than kMaxFanIn.
constexpr size_t kMaxFanIn = 1024;
constexpr size_t kMinFanIn = 8;

size_t fan_in_limit(const MergeOptions &options) {
    if (options.max_inputs_per_pass > 0) return options.max_inputs_per_pass;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kMaxFanIn;
    size_t quarter = static_cast<size_t>(limit.rlim_cur / 4);
    return std::clamp(quarter, kMinFanIn, kMaxFanIn);
}

// Whether an input that did not open could not be read (rather than being
// missing or not a table). Nothing is then known about its entries, and a
// merge without them would drop them once the inputs are deleted, so the
// merge does not happen.
bool could_not_read(int32_t why) { return why == DB_ERR_IO || why == DB_ERR_NOMEM; }

// The open inputs of one merge pass.
class MergeInputs {
public:
    MergeInputs(const std::vector<std::string> &paths, std::vector<std::string> *skipped) {
        size_t share = paths.empty() ? kMaxInputBuffer : kMergeBufferBudget / paths.size();
        share = std::clamp(share, kMinInputBuffer, kMaxInputBuffer);
        for (const std::string &p : paths) {
            TableStream stream;
            int32_t why = stream.open(p, share);
            if (why == DB_OK) {
                streams_.push_back(std::move(stream));
                paths_.push_back(p);
            } else if (could_not_read(why)) {
                if (failure_ == DB_OK) failure_ = why;
            } else if (skipped != nullptr) {  // files that are not tables are passed over
                skipped->push_back(p);
            }
        }
    }

    std::vector<TableStream> &streams() { return streams_; }
    const std::vector<std::string> &paths() const { return paths_; }
    // DB_OK, or why an input could not be read.
    int32_t failure() const { return failure_; }

private:
    std::vector<TableStream> streams_;
    std::vector<std::string> paths_;  // of the streams, in the same order
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
        if (have_last_ && compare_keys(e.key, e.key_len, last_key_.data(), last_key_.size()) == 0) return DB_OK;
        have_last_ = true;
        // A copy: the entry's bytes go away when its input moves on.
        last_key_.assign(e.key, e.key + e.key_len);
        if (is_tombstone(e.flags) && !options_.keep_tombstones) return DB_OK;
        return sstable_writer_add(writer_, e.key, e.key_len, e.value, e.value_len, e.flags);
    }

    int32_t finish() { return sstable_writer_finish(writer_); }

    // The key of the entry offered last.
    const std::vector<uint8_t> &last_key() const { return last_key_; }

private:
    MergeOptions options_;
    sstable_writer *writer_ = nullptr;
    std::vector<uint8_t> last_key_;
    bool have_last_ = false;
};

constexpr int32_t kUnsortedInput = 1;  // internal: fall back to sorting

int32_t stream_merge(MergeInputs &inputs, MergeOutput &out) {
    std::vector<TableStream> &streams = inputs.streams();
    std::vector<MergeItem> heap;
    heap.reserve(streams.size());
    for (size_t i = 0; i < streams.size(); i++) {
        MergeItem item{{}, streams[i].sequence(), i};
        if (streams[i].next(&item.entry))
            heap.push_back(item);
        else if (streams[i].read_failed())
            return DB_ERR_IO;
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
        // The popped entry's bytes live in its input's buffer, which the
        // next read may overwrite; the output kept a copy of its key.
        MergeItem next{{}, item.sequence, item.input};
        if (!streams[item.input].next(&next.entry)) {
            // A failed read is not the end of the input: the rest of its
            // entries would be lost with the input.
            if (streams[item.input].read_failed()) return DB_ERR_IO;
            continue;
        }
        const std::vector<uint8_t> &previous = out.last_key();
        if (compare_keys(next.entry.key, next.entry.key_len, previous.data(), previous.size()) < 0)
            return kUnsortedInput;
        heap.push_back(next);
        std::push_heap(heap.begin(), heap.end(), after);
    }
    return out.finish();
}

// The open readers of the tables at paths (files that are not tables
// passed over), for the sorting merge, which keeps every entry of every
// input at once and so reads them through mappings.
class MappedInputs {
public:
    explicit MappedInputs(const std::vector<std::string> &paths) {
        for (const std::string &p : paths) {
            int32_t why = DB_OK;
            if (sstable_reader *r = open_table(p.c_str(), false, &why))
                readers_.push_back(r);
            else if (could_not_read(why) && failure_ == DB_OK)
                failure_ = why;
        }
    }
    ~MappedInputs() {
        for (sstable_reader *r : readers_) sstable_reader_close(r);
    }
    MappedInputs(const MappedInputs &) = delete;
    MappedInputs &operator=(const MappedInputs &) = delete;

    const std::vector<sstable_reader *> &readers() const { return readers_; }
    int32_t failure() const { return failure_; }

private:
    std::vector<sstable_reader *> readers_;
    int32_t failure_ = DB_OK;
};

int32_t sort_merge(const std::vector<std::string> &paths, MergeOutput &out) {
    MappedInputs inputs(paths);
    if (inputs.failure() != DB_OK) return inputs.failure();
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

// One merge of at most a pass's worth of inputs into output_path.
int32_t merge_pass(const std::vector<std::string> &paths, const std::string &output_path, uint64_t sequence,
                   const MergeOptions &options, std::vector<std::string> *skipped) {
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
    std::vector<std::string> readable = inputs.paths();
    inputs = MergeInputs({}, nullptr);  // close the streams before mapping the tables
    return sort_merge(readable, out);
}

// Intermediate tables of a merge done in several passes; removed when the
// merge ends, whatever its outcome. Their names end in ".tmp", so a census
// never takes them for tables of the database.
class PartFiles {
public:
    explicit PartFiles(const std::string &output_path) : base_(output_path) {}
    ~PartFiles() {
        for (const std::string &p : paths_) ::unlink(p.c_str());
    }
    PartFiles(const PartFiles &) = delete;
    PartFiles &operator=(const PartFiles &) = delete;

    const std::string &add() {
        paths_.push_back(base_ + ".part" + std::to_string(paths_.size()) + ".tmp");
        return paths_.back();
    }
    const std::vector<std::string> &paths() const { return paths_; }

private:
    std::string base_;
    std::vector<std::string> paths_;
};

// Merges more inputs than one pass may open. The inputs are ordered by
// header sequence (a stable sort, so equal sequences keep their order) and
// cut into runs that never separate two tables of equal sequence; each run
// becomes one intermediate table holding its keys' newest versions,
// tombstones included, under the run's highest sequence. Every entry of a
// later run is then newer than every entry of an earlier one, so the final
// pass over the intermediates picks the same version of each key as one
// pass over all inputs would.
int32_t merge_in_passes(const std::vector<std::string> &paths, const std::string &output_path, uint64_t sequence,
                        const MergeOptions &options, size_t fan_in, std::vector<std::string> *skipped) {
    std::vector<std::pair<uint64_t, std::string>> ordered;
    ordered.reserve(paths.size());
    for (const std::string &p : paths) {
        uint64_t s = 0;
        int32_t rc = table_sequence(p, &s);
        if (rc == DB_ERR_IO) return rc;  // an unread input's place is unknown
        if (rc != DB_OK) s = 0;          // not a table: its pass skips it
        ordered.emplace_back(s, p);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    MergeOptions keep = options;
    keep.keep_tombstones = true;
    PartFiles parts(output_path);
    for (size_t begin = 0; begin < ordered.size();) {
        size_t end = std::min(begin + fan_in, ordered.size());
        while (end < ordered.size() && ordered[end].first == ordered[end - 1].first) end++;
        std::vector<std::string> run;
        for (size_t i = begin; i < end; i++) run.push_back(ordered[i].second);
        int32_t rc = merge_pass(run, parts.add(), ordered[end - 1].first, keep, skipped);
        if (rc != DB_OK) return rc;
        begin = end;
    }
    if (parts.paths().size() > fan_in) return merge_in_passes(parts.paths(), output_path, sequence, options, fan_in, nullptr);
    return merge_pass(parts.paths(), output_path, sequence, options, nullptr);
}

}  // namespace

int32_t merge_tables(const std::vector<std::string> &paths, const std::string &output_path, uint64_t sequence,
                     const MergeOptions &options, std::vector<std::string> *skipped) {
    try {
        size_t fan_in = fan_in_limit(options);
        if (paths.size() > fan_in) return merge_in_passes(paths, output_path, sequence, options, fan_in, skipped);
        return merge_pass(paths, output_path, sequence, options, skipped);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

int32_t merge_tables_sorted(const std::vector<std::string> &paths, const std::string &output_path,
                            uint64_t sequence, const MergeOptions &options) {
    try {
        MergeOutput out(output_path, sequence, options);
        if (!out.ok()) return DB_ERR_NOMEM;
        return sort_merge(paths, out);
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
