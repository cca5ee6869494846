// Level compaction: the census of table files per level, the level limits
// and pick rule, table names, and whole compaction steps. Everything is
// rebuilt from the directory on every call.
#include "sstable/compaction.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "sstable/table_dir.h"

namespace morva {
namespace {

// Appends a copy of path to a level record; false without memory (the
// record is then unchanged).
bool append_path(compaction_level *level, const char *path, uint64_t size) {
    char *copy = strdup(path);
    if (copy == nullptr) return false;
    size_t count = static_cast<size_t>(level->file_count);
    void *grown = std::realloc(level->paths, (count + 1) * sizeof(char *));
    if (grown == nullptr) {
        std::free(copy);
        return false;
    }
    level->paths = static_cast<char **>(grown);
    level->paths[count] = copy;
    level->file_count++;
    level->total_bytes += size;
    return true;
}

uint64_t file_size_or_zero(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || st.st_size < 0) return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string table_path(const char *prefix, int level, uint64_t sequence) {
    int n = compaction_make_path(prefix, level, sequence, nullptr, 0);
    if (n < 0) return std::string();
    std::string path(static_cast<size_t>(n) + 1, '\0');
    compaction_make_path(prefix, level, sequence, path.data(), path.size());
    path.resize(static_cast<size_t>(n));
    return path;
}

// Releases a census on every way out of a step.
class Census {
public:
    Census() { std::memset(levels_, 0, sizeof levels_); }
    ~Census() { compaction_free_levels(levels_, kCompactionLevels); }
    Census(const Census &) = delete;
    Census &operator=(const Census &) = delete;
    compaction_level *levels() { return levels_; }
    const compaction_level &operator[](int i) const { return levels_[i]; }

private:
    compaction_level levels_[kCompactionLevels];
};

std::vector<std::string> level_paths(const compaction_level &level) {
    std::vector<std::string> paths;
    for (int i = 0; i < level.file_count; i++) paths.emplace_back(level.paths[i]);
    return paths;
}

// True when an input the merge passed over may be deleted: it is still not
// a readable table now that the merge has released its files, yet it can be
// opened, so it was passed over for its contents and not for a transient
// shortage of descriptors or memory. Deleting such a table would lose data
// the merge never copied.
bool skipped_input_is_garbage(const std::string &path) {
    sstable_reader *r = sstable_reader_open(path.c_str());
    if (r != nullptr) {
        sstable_reader_close(r);
        return false;
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// Merges inputs into output_path and, on success, deletes the inputs. A
// table already under the output name would be replaced by the rename: it
// joins the merge instead, so its entries are not lost.
int32_t merge_and_replace(std::vector<std::string> inputs, const std::string &output_path, uint64_t sequence,
                          const MergeOptions &options) {
    if (file_exists(output_path)) inputs.push_back(output_path);
    std::vector<std::string> skipped;
    int32_t rc = merge_tables(inputs, output_path, sequence, options, &skipped);
    if (rc != DB_OK) return rc;
    for (const std::string &p : inputs) {
        if (p == output_path) continue;
        if (std::find(skipped.begin(), skipped.end(), p) != skipped.end() && !skipped_input_is_garbage(p)) continue;
        ::unlink(p.c_str());  // a failed deletion is ignored
    }
    return DB_OK;
}

}  // namespace

int32_t scan_levels(const char *prefix, compaction_level *levels, int level_count, const CensusOptions &options) {
    for (int i = 0; i < level_count; i++) levels[i] = compaction_level{i, nullptr, 0, 0};
    PrefixParts parts = split_prefix(prefix);
    std::string dir = parts.dir.empty() ? "/" : parts.dir;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return DB_OK;
    std::unique_ptr<DIR, int (*)(DIR *)> closer(d, ::closedir);
    bool bare = parts.dir == ".";
    while (struct dirent *e = ::readdir(d)) {
        int64_t level = 0;
        const char *rest = nullptr;
        if (!parse_table_name(parts.base, e->d_name, &level, &rest)) continue;
        if (level < 0 || level >= level_count) continue;
        if (options.skip_temporary && is_temporary_name(e->d_name)) continue;
        if (!is_listable_file(dir, e->d_name, e->d_type)) continue;
        std::string path = join_path(parts, e->d_name, bare);
        if (!append_path(&levels[level], path.c_str(), file_size_or_zero(path))) return DB_ERR_NOMEM;
    }
    return DB_OK;
}

int32_t run_compaction_step(const char *prefix, CompactionStep *step) {
    *step = CompactionStep{};
    Census census;
    int32_t rc = scan_levels(prefix, census.levels(), kCompactionLevels, CensusOptions{true});
    if (rc != DB_OK) return rc;
    int level = compaction_pick_level(census.levels(), kCompactionLevels);
    if (level < 0 || census[level].file_count == 0) return DB_OK;

    step->level = level;
    step->inputs = level_paths(census[level]);
    // The output carries the newest input's sequence: table sequences then
    // keep ordering tables by the age of their data, also across restarts,
    // which is what lets a later merge pick the newest version by sequence.
    step->output_sequence = highest_table_sequence(step->inputs);
    step->output_path = table_path(prefix, level + 1, step->output_sequence);
    for (int deeper = level + 1; deeper < kCompactionLevels; deeper++) {
        for (int i = 0; i < census[deeper].file_count; i++)
            if (step->output_path != census[deeper].paths[i]) step->kept_tombstones = true;
    }
    MergeOptions options;
    options.keep_tombstones = step->kept_tombstones;
    return merge_and_replace(step->inputs, step->output_path, step->output_sequence, options);
}

int32_t tables_oldest_first(const char *prefix, std::vector<TableFile> *out) {
    out->clear();
    Census census;
    int32_t rc = scan_levels(prefix, census.levels(), kCompactionLevels, CensusOptions{true});
    if (rc != DB_OK) return rc;
    for (int level = 0; level < kCompactionLevels; level++) {
        for (int i = 0; i < census[level].file_count; i++) {
            TableFile t;
            t.path = census[level].paths[i];
            t.level = level;
            int32_t read = table_sequence(t.path, &t.sequence);
            if (read == DB_ERR_IO) return read;  // unreadable is not the same as not a table
            if (read == DB_OK) out->push_back(std::move(t));
        }
    }
    std::stable_sort(out->begin(), out->end(), [](const TableFile &a, const TableFile &b) {
        if (a.sequence != b.sequence) return a.sequence < b.sequence;
        return a.level > b.level;
    });
    return DB_OK;
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t compaction_scan_levels(const char *path_prefix, compaction_level *levels,
                                                      int level_count) {
    if (path_prefix == nullptr || levels == nullptr || level_count < 1) return DB_ERR_INVALID;
    try {
        return scan_levels(path_prefix, levels, level_count, CensusOptions{});
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API void compaction_free_levels(compaction_level *levels, int level_count) {
    if (levels == nullptr) return;
    for (int i = 0; i < level_count; i++) {
        for (int j = 0; j < levels[i].file_count; j++) std::free(levels[i].paths[j]);
        std::free(levels[i].paths);
        levels[i].paths = nullptr;
        levels[i].file_count = 0;
        levels[i].total_bytes = 0;
    }
}

extern "C" MORVADB_API void compaction_register_file(compaction_level *levels, int level, const char *path,
                                                     uint64_t size) {
    if (levels == nullptr || path == nullptr || level < 0 || level >= kCompactionLevels) return;
    append_path(&levels[level], path, size);
}

extern "C" MORVADB_API uint64_t compaction_max_bytes_for_level(int level) {
    if (level <= 0) return 0;
    uint64_t limit = kLevel1MaxBytes;
    for (int i = 1; i < level; i++) {
        if (limit > UINT64_MAX / 10) return UINT64_MAX;  // saturate rather than wrap
        limit *= 10;
    }
    return limit;
}

extern "C" MORVADB_API int compaction_pick_level(const compaction_level *levels, int level_count) {
    if (levels == nullptr || level_count < 2) return -1;
    if (levels[0].file_count >= kLevel0FileTrigger) return 0;
    // The last level has no level below it and is never picked.
    for (int level = 1; level <= level_count - 2; level++) {
        if (levels[level].total_bytes > compaction_max_bytes_for_level(level) && levels[level].file_count >= 1)
            return level;
    }
    return -1;
}

extern "C" MORVADB_API int compaction_make_path(const char *path_prefix, int level, uint64_t sequence,
                                                char *buffer, size_t buffer_size) {
    if (path_prefix == nullptr || (buffer == nullptr && buffer_size > 0)) return -1;
    return std::snprintf(buffer, buffer_size, "%s.sst.%d.%llu", path_prefix, level,
                         static_cast<unsigned long long>(sequence));
}

extern "C" MORVADB_API int32_t compaction_merge_to_level(char *const *input_paths, int input_count,
                                                         const char *output_path, uint64_t sequence) {
    if (input_paths == nullptr || input_count < 1 || output_path == nullptr) return DB_ERR_INVALID;
    try {
        std::vector<std::string> inputs;
        for (int i = 0; i < input_count; i++) {
            if (input_paths[i] == nullptr) return DB_ERR_INVALID;
            inputs.emplace_back(input_paths[i]);
        }
        return merge_tables(inputs, output_path, sequence, MergeOptions{});
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API int32_t compaction_run_level(const char *path_prefix, int level, uint64_t sequence) {
    // The level is only validated; the level compacted is the one the pick
    // rule chooses.
    if (path_prefix == nullptr || level < 0 || level > kCompactionLevels - 2) return DB_ERR_INVALID;
    try {
        Census census;
        int32_t rc = scan_levels(path_prefix, census.levels(), kCompactionLevels, CensusOptions{});
        if (rc != DB_OK) return rc;
        int picked = compaction_pick_level(census.levels(), kCompactionLevels);
        if (picked < 0 || census[picked].file_count == 0) return DB_OK;
        std::string output = table_path(path_prefix, picked + 1, sequence);
        return merge_and_replace(level_paths(census[picked]), output, sequence, MergeOptions{});
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

// Holds nothing; kept so that hosts written against the object interface
// have something to create and destroy.
struct compactor {
    uint8_t unused;
};

extern "C" MORVADB_API compactor *compactor_create(void) {
    return static_cast<compactor *>(std::calloc(1, sizeof(compactor)));
}

extern "C" MORVADB_API void compactor_destroy(compactor *c) { std::free(c); }

extern "C" MORVADB_API int32_t compactor_merge_sstables(compactor *c, char *const *input_paths, int input_count,
                                                        const char *output_path, uint64_t sequence) {
    (void)c;
    return compaction_merge_to_level(input_paths, input_count, output_path, sequence);
}
