// The scan stage: every key of the store yields at most one row, its newest
// live version. Sources from newest to oldest are the active memtable, the
// flushing memtable and the B-tree; an entry (live or tombstone) in a newer
// source hides the key in every older one. All three are walked in place in
// key order, so hiding is decided by advancing a cursor along each newer
// source's sorted chain instead of searching it or copying its keys.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "memtable/btree.h"
#include "memtable/memtable.h"
#include "query/condition.h"
#include "query/query_exec.h"
#include "query/result_set.h"
#include "query/row.h"
#include "query/sort_key.h"
#include "util/sync.h"

namespace morva {
namespace {

// The nodes of one memtable in key order (its level-0 chain), read in place.
const memtable_node *first_node(const memtable *mt) {
    return mt != nullptr && mt->head != nullptr ? mt->head->forward[0] : nullptr;
}

// Answers "does this newer memtable hold the key?" for keys asked in
// ascending order, by advancing once along its sorted chain.
class ShadowWalk {
public:
    explicit ShadowWalk(const memtable *newer) : next_(first_node(newer)) {}
    bool hides(const uint8_t *key, uint64_t key_len) {
        while (next_ != nullptr) {
            int c = btree_compare_keys(node_key(next_), next_->key_len, key, key_len);
            if (c > 0) return false;
            if (c == 0) return true;
            next_ = next_->forward[0];
        }
        return false;
    }

private:
    const memtable_node *next_;
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
    ReadGuard memtables_locked(&db->memtable_lock);
    ReadGuard store_locked(&db->store_lock);
    const memtable *active = db->memtables != nullptr ? db->memtables->active : nullptr;
    const memtable *flushing = db->memtables != nullptr ? db->memtables->flushing : nullptr;
    for (const memtable_node *n = first_node(active); n != nullptr; n = n->forward[0])
        if (!n->tombstone) sink.offer(node_value(n), n->value_len);
    ShadowWalk newer_than_flushing(active);
    for (const memtable_node *n = first_node(flushing); n != nullptr; n = n->forward[0])
        if (!newer_than_flushing.hides(node_key(n), n->key_len) && !n->tombstone)
            sink.offer(node_value(n), n->value_len);
    if (db->tree != nullptr) {
        ShadowWalk in_active(active), in_flushing(flushing);
        for (BTreeIterator it(db->tree); it.valid(); it.next()) {
            // Evaluate both walks: each must advance past every B-tree key.
            bool hidden = in_active.hides(it.key(), it.key_len());
            hidden = in_flushing.hides(it.key(), it.key_len()) || hidden;
            if (!hidden) sink.offer(it.value(), it.value_len());
        }
    }
    sink.finish();  // still under the locks: selected rows point into the store
}

}  // namespace morva
