// Internal interface of the B+ tree (btree_* in morvadb.h) for the engine,
// the query executor and compaction.
//
// The tree does no locking. Everything here reads the tree in place, so the
// caller must hold whatever lock excludes writers (the handle's store_lock
// for reading) for as long as it uses an iterator or the pointers it yields:
// any put or delete may free or move entries.
//
// Invariants kept by btree.cpp:
//  - every node holds 0..BTREE_MAX_KEYS keys; an internal node with n
//    separators has n + 1 non-null children;
//  - keys inside a node ascend strictly; child i of an internal node holds
//    keys >= separator i - 1 and < separator i;
//  - leaves are chained left to right through `next`, covering every entry
//    in ascending key order; leaves may be empty after deletes;
//  - stored keys are never null pointers (a zero-length key still owns a
//    block); stored values are null exactly when put as null;
//  - every node carries key heads after its public fields, and every copy
//    comes from the tree's size-classed pool (see btree.cpp), so nodes and
//    trees are only ever made by btree_create and the tree's own inserts.
#pragma once

#include <cstdint>
#include <cstring>

#include "morvadb.h"
#include "util/key_order.h"

namespace morva {

// The key order shared by the whole store: unsigned bytes over the shorter
// length, then the shorter key first. Negative, zero or positive.
inline int btree_compare_keys(const uint8_t *a, uint64_t a_len, const uint8_t *b, uint64_t b_len) {
    return compare_keys(a, a_len, b, b_len);
}

// Forward iterator over the tree's entries in key order, reading the leaves
// in place (no copies). Empty leaves are skipped. Created positioned at the
// smallest key. Invalidated by any change to the tree.
class BTreeIterator {
public:
    explicit BTreeIterator(const btree *tree) : tree_(tree) { seek_to_first(); }

    // Positions at the smallest key.
    void seek_to_first();
    // Positions at the first entry whose key is not smaller than key.
    void seek(const uint8_t *key, uint64_t key_len);

    bool valid() const { return leaf_ != nullptr; }
    void next() {
        ++index_;
        settle();
    }

    const uint8_t *key() const { return leaf_->keys[index_]; }
    uint64_t key_len() const { return leaf_->key_lens[index_]; }
    // May be null for a value that was put as null (its length may still be
    // nonzero: such a value has no bytes to read).
    const uint8_t *value() const { return leaf_->values[index_]; }
    uint64_t value_len() const { return leaf_->value_lens[index_]; }
    btree_entry entry() const { return btree_entry{key(), key_len(), value(), value_len()}; }

private:
    // Moves past the end of the current leaf (and past empty leaves).
    void settle();

    const btree *tree_;
    const btree_node *leaf_ = nullptr;
    int32_t index_ = 0;
};

// Calls fn(const btree_entry &) for every entry in key order, starting at
// the first key not smaller than start_key (from the first entry when
// start_key is null). fn returns true to continue, false to stop. Returns
// false when fn stopped the walk.
template <class Fn>
bool btree_for_each(const btree *tree, const uint8_t *start_key, uint64_t start_key_len, Fn &&fn) {
    BTreeIterator it(tree);
    if (start_key == nullptr) {
        it.seek_to_first();
    } else {
        it.seek(start_key, start_key_len);
    }
    for (; it.valid(); it.next()) {
        if (!fn(it.entry())) return false;
    }
    return true;
}

template <class Fn>
bool btree_for_each(const btree *tree, Fn &&fn) {
    return btree_for_each(tree, nullptr, 0, static_cast<Fn &&>(fn));
}

// Looks key up in place; the pointer stays valid until the next change.
// Returns false when absent.
bool btree_find(const btree *tree, const uint8_t *key, uint64_t key_len, const uint8_t **value,
                uint64_t *value_len);

// Inserts or replaces like btree_put, but keeps nodes fuller: an existing
// key only has its value replaced (no split on the way down), keys beyond
// the right edge of the tree leave full nodes behind instead of half-full
// ones, and a full leaf first lends entries to an adjacent sibling with room.
// The engine's own tree is built with this; btree_put keeps the plain even
// split that hosts of the building block see.
int32_t btree_upsert(btree *tree, const uint8_t *key, uint64_t key_len, const void *value, uint64_t value_len);

// Number of entries stored.
inline uint64_t btree_size(const btree *tree) { return tree->entry_count; }

} // namespace morva
