// The scan stage: every key of the store yields at most one row, its newest
// live version. Sources from newest to oldest are the active memtable, the
// flushing memtable and the B-tree; an entry (live or tombstone) in a newer
// source hides the key in every older one. All three are walked in key
// order, so hiding is decided by advancing a pointer through the sorted keys
// of the newer sources instead of searching them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "memtable/btree.h"
#include "query/condition.h"
#include "query/query_exec.h"
#include "query/result_set.h"
#include "query/row.h"
#include "query/sort_key.h"
#include "util/sync.h"

namespace morva {
namespace {

struct MemEntry {
    const uint8_t *key;
    uint64_t key_len;
    const uint8_t *value;
    uint64_t value_len;
    bool tombstone;
};

struct CollectContext {
    std::vector<MemEntry> *entries;
    bool failed;
};

int32_t collect_entry(const memtable_entry *e, void *context) {
    auto *ctx = static_cast<CollectContext *>(context);
    try {
        ctx->entries->push_back({e->key, e->key_len, e->value, e->value_len, e->tombstone != 0});
    } catch (const std::bad_alloc &) {
        ctx->failed = true;
        return 1;
    }
    return 0;
}

// Entries of one memtable in key order; throws std::bad_alloc.
std::vector<MemEntry> collect(const memtable *mt) {
    std::vector<MemEntry> entries;
    if (mt == nullptr) return entries;
    CollectContext ctx{&entries, false};
    memtable_iterate(mt, collect_entry, &ctx);
    if (ctx.failed) throw std::bad_alloc();
    return entries;
}

// Answers "does a newer source hold this key?" for keys asked in ascending
// order, by walking a sorted key list once.
class ShadowWalk {
public:
    explicit ShadowWalk(const std::vector<MemEntry> &newer) : keys_(newer) {}
    bool hides(const uint8_t *key, uint64_t key_len) {
        while (next_ < keys_.size()) {
            int c = btree_compare_keys(keys_[next_].key, keys_[next_].key_len, key, key_len);
            if (c > 0) return false;
            if (c == 0) return true;
            ++next_;
        }
        return false;
    }

private:
    const std::vector<MemEntry> &keys_;
    size_t next_ = 0;
};

// Filters one candidate value and copies a surviving row into the result;
// with a top-k plan, keeps the best candidates (pointers into the store,
// valid while the scan holds its locks) and copies only those at the end.
class RowSink {
public:
    RowSink(const TableColumns &columns, const condition *cond, const TopK *top_k, result_set *rs) : rs_(rs) {
        row_schema_init(&schema_, columns.types, columns.count);
        if (cond != nullptr) {
            EvalContext ctx;
            ctx.schema = &schema_;
            ctx.column_names = columns.names;
            ctx.column_types = columns.types;
            ctx.column_count = columns.count;
            filter_.emplace_back(cond, ctx);
        }
        if (top_k != nullptr) {
            top_k_ = *top_k;
            selecting_ = true;
            type_ = columns.types[top_k->column];
            order_ = SortOrder{kind_of(type_), top_k->ascending};
        }
    }

    void offer(const uint8_t *value, uint64_t value_len) {
        static const uint8_t kEmpty = 0;
        if (value == nullptr) {  // a value stored as null has no bytes to read
            value = &kEmpty;
            value_len = 0;
        }
        if (!filter_.empty() && !filter_.front().matches(schema_, value, value_len)) return;
        if (selecting_) {
            select(value, value_len);
        } else {
            copy_row(value, value_len);
        }
    }

    // Copies the selected rows, best first, then rows without a comparable
    // value in scan order, up to the limit.
    void finish() {
        if (!selecting_) return;
        std::sort_heap(best_.begin(), best_.end(), [this](const Candidate &a, const Candidate &b) {
            return order_(a.key, b.key);
        });
        for (const Candidate &c : best_) copy_row(c.value, c.length);
        for (const Candidate &c : unordered_) {
            if (static_cast<int64_t>(best_.size()) + (&c - unordered_.data()) >= top_k_.limit) break;
            copy_row(c.value, c.length);
        }
    }

private:
    struct Candidate {
        SortKey key;
        const uint8_t *value;
        uint64_t length;
    };

    void select(const uint8_t *value, uint64_t value_len) {
        Candidate c{SortKey{sequence_++, 0, 0.0, nullptr, 0}, value, value_len};
        if (top_k_.limit <= 0) return;
        ColumnValue v = locate_column([this](int32_t i) { return schema_.sizes[i]; }, top_k_.column, value, value_len);
        auto worse_last = [this](const Candidate &a, const Candidate &b) { return order_(a.key, b.key); };
        if (order_.kind != KeyKind::kNone && v.present() && read_key(type_, v, &c.key)) {
            // best_ is a heap whose top is the worst kept candidate.
            if (static_cast<int64_t>(best_.size()) < top_k_.limit) {
                best_.push_back(c);
                std::push_heap(best_.begin(), best_.end(), worse_last);
            } else if (order_(c.key, best_.front().key)) {
                std::pop_heap(best_.begin(), best_.end(), worse_last);
                best_.back() = c;
                std::push_heap(best_.begin(), best_.end(), worse_last);
            }
        } else if (static_cast<int64_t>(unordered_.size()) < top_k_.limit) {
            unordered_.push_back(c);
        }
    }

    void copy_row(const uint8_t *value, uint64_t value_len) {
        // A row that cannot be copied is left out; the scan goes on.
        auto *copy = static_cast<uint8_t *>(std::malloc(value_len > 0 ? value_len : 1));
        if (copy == nullptr) return;
        if (value_len > 0) std::memcpy(copy, value, value_len);
        if (!result_set_adopt_row(rs_, copy, value_len)) std::free(copy);
    }

    result_set *rs_;
    row_schema schema_{};
    std::vector<CompiledCondition> filter_;  // empty: every row passes
    bool selecting_ = false;
    TopK top_k_{};
    uint32_t type_ = 0;
    SortOrder order_{KeyKind::kNone, true};
    int64_t sequence_ = 0;
    std::vector<Candidate> best_, unordered_;
};

}  // namespace

void scan_rows(db_handle *db, const TableColumns &columns, const condition *cond, const TopK *top_k,
               result_set *rs) {
    RowSink sink(columns, cond, top_k, rs);
    std::vector<MemEntry> active, flushing, memtable_keys;

    ReadGuard memtables_locked(&db->memtable_lock);
    ReadGuard store_locked(&db->store_lock);
    if (db->memtables != nullptr) {
        active = collect(db->memtables->active);
        flushing = collect(db->memtables->flushing);
        for (const MemEntry &e : active)
            if (!e.tombstone) sink.offer(e.value, e.value_len);
        ShadowWalk newer(active);
        for (const MemEntry &e : flushing)
            if (!newer.hides(e.key, e.key_len) && !e.tombstone) sink.offer(e.value, e.value_len);
        // Keys of both memtables, sorted, hide their older B-tree versions.
        memtable_keys.resize(active.size() + flushing.size());
        std::merge(active.begin(), active.end(), flushing.begin(), flushing.end(), memtable_keys.begin(),
                   [](const MemEntry &a, const MemEntry &b) {
                       return btree_compare_keys(a.key, a.key_len, b.key, b.key_len) < 0;
                   });
    }
    if (db->tree != nullptr) {
        ShadowWalk newer(memtable_keys);
        for (BTreeIterator it(db->tree); it.valid(); it.next())
            if (!newer.hides(it.key(), it.key_len())) sink.offer(it.value(), it.value_len());
    }
    sink.finish();  // still under the locks: selected rows point into the store
}

}  // namespace morva
