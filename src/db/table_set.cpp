// Census of the sorted table files and loading them into the B-tree in
// sequence order.
#include "db/table_set.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace morva {
namespace {

// Parses a run of decimal digits that makes up the whole of [begin, end).
bool parse_digits(const char *begin, const char *end, uint64_t *out) {
    if (begin == end || end - begin > 20) return false;
    uint64_t v = 0;
    for (const char *p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return false;
        uint64_t next = v * 10 + static_cast<uint64_t>(*p - '0');
        if (next / 10 != v) return false;
        v = next;
    }
    *out = v;
    return true;
}

// Frees a census filled by compaction_scan_levels on every path out.
struct LevelCensus {
    compaction_level levels[kLevelCount] = {};
    ~LevelCensus() { compaction_free_levels(levels, kLevelCount); }
};

struct Scan {
    btree *tree;
    int32_t status = DB_OK;
};

int apply_table_entry(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags,
                      void *ctx) {
    auto *scan = static_cast<Scan *>(ctx);
    int32_t st;
    if (flags & SSTABLE_FLAG_TOMBSTONE) {
        st = btree_delete(scan->tree, key, key_len);
        if (st == DB_ERR_NOT_FOUND) st = DB_OK;
    } else {
        st = btree_put(scan->tree, key, key_len, value, value_len);
    }
    scan->status = st;
    return st;
}

}  // namespace

bool parse_table_name(const std::string &path, int *level, uint64_t *sequence) {
    size_t last = path.rfind('.');
    if (last == std::string::npos || last == 0) return false;
    size_t before = path.rfind('.', last - 1);
    if (before == std::string::npos || before < 4) return false;
    if (path.compare(before - 4, 4, ".sst") != 0) return false;
    uint64_t lv = 0, seq = 0;
    const char *s = path.c_str();
    if (!parse_digits(s + before + 1, s + last, &lv) || lv >= static_cast<uint64_t>(kLevelCount)) return false;
    if (!parse_digits(s + last + 1, s + path.size(), &seq)) return false;
    *level = static_cast<int>(lv);
    *sequence = seq;
    return true;
}

int32_t list_tables(const char *prefix, TableSet *out) {
    out->files.clear();
    out->max_sequence = 0;
    LevelCensus census;
    int32_t status = compaction_scan_levels(prefix, census.levels, kLevelCount);
    if (status != DB_OK) return status;
    try {
        for (int lv = 0; lv < kLevelCount; ++lv) {
            for (int32_t i = 0; i < census.levels[lv].file_count; ++i) {
                TableFile f;
                f.path = census.levels[lv].paths[i];
                if (!parse_table_name(f.path, &f.level, &f.sequence) || f.level != lv) continue;
                struct stat st;
                if (::stat(f.path.c_str(), &st) == 0) f.bytes = static_cast<uint64_t>(st.st_size);
                out->max_sequence = std::max(out->max_sequence, f.sequence);
                out->files.push_back(std::move(f));
            }
        }
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
    return DB_OK;
}

int32_t load_tables_into(btree *tree, const TableSet &set) {
    std::vector<const TableFile *> order;
    try {
        order.reserve(set.files.size());
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
    for (const TableFile &f : set.files) order.push_back(&f);
    std::sort(order.begin(), order.end(), [](const TableFile *a, const TableFile *b) {
        if (a->sequence != b->sequence) return a->sequence < b->sequence;
        return a->level > b->level;
    });
    for (const TableFile *f : order) {
        sstable_reader *reader = sstable_reader_open(f->path.c_str());
        if (!reader) continue;
        Scan scan{tree};
        sstable_reader_scan(reader, apply_table_entry, &scan);
        sstable_reader_close(reader);
        if (scan.status != DB_OK) return scan.status;
    }
    return DB_OK;
}

}  // namespace morva
