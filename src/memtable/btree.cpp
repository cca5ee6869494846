// B+ tree of byte-string keys and values: inserts split full nodes on the
// way down, so the node that receives a key or separator always has room;
// deletes only remove the leaf entry (no merging), since separators merely
// route lookups and stay correct without their original keys.
//
// Private state behind the public records (both are allocated here):
//  - every node carries search state after its public fields (NodeState,
//    btree_node.h) and comes from the tree's BlockPool, cache-line aligned;
//  - the tree carries a BytePool from which every key, value and separator
//    copy is taken, in size classes rather than one heap block each.
#include "memtable/btree.h"

#include <cstdlib>
#include <new>

#include "memtable/btree_node.h"
#include "util/block_pool.h"
#include "util/byte_pool.h"
#include "util/key_order.h"

namespace morva {
namespace {

// An even split keeps entries [0, kLeafSplit) and hands the rest to the new
// right leaf; an internal node keeps separators [0, kInternalSplit), moves
// separator kInternalSplit up into the parent and hands the rest right.
constexpr int32_t kLeafSplit = kMaxKeys / 2;
constexpr int32_t kInternalSplit = kMaxKeys / 2;

struct TreeState : btree {
    TreeState() : nodes(sizeof(NodeState)) {}
    BytePool pool;
    BlockPool nodes;
};

BytePool &pool_of(btree *tree) { return static_cast<TreeState *>(tree)->pool; }
BlockPool &nodes_of(btree *tree) { return static_cast<TreeState *>(tree)->nodes; }

btree_node *new_node(btree *tree, bool leaf) {
    auto *node = static_cast<NodeState *>(nodes_of(tree).allocate());
    if (node == nullptr) return nullptr;
    node->pub.is_leaf = leaf ? 1 : 0;
    node->leaf = leaf ? 1 : 0;
    return &node->pub;
}

void free_node(btree *tree, btree_node *node) { nodes_of(tree).release(node); }

// Copies len bytes into a fresh block. Every key owns a block even when
// empty, so stored key pointers are never null.
uint8_t *copy_bytes(BytePool &pool, const void *src, uint64_t len) {
    uint8_t *dst = pool.allocate(len);
    if (dst != nullptr && len != 0) std::memcpy(dst, src, len);
    return dst;
}

// Stored values keep a null pointer when put as null, whatever the length.
bool copy_value(BytePool &pool, const void *src, uint64_t len, uint8_t **out) {
    if (src == nullptr) {
        *out = nullptr;
        return true;
    }
    *out = copy_bytes(pool, src, len);
    return *out != nullptr;
}

// Frees the copies of a subtree that did not come from the pool's slabs
// (those, and the nodes themselves, go with the pools).
void free_large_copies(BytePool &pool, btree_node *node) {
    if (node == nullptr) return;
    for (int32_t i = 0; i < node->num_keys; ++i) {
        if (!BytePool::pooled(node->key_lens[i])) pool.release(node->keys[i], node->key_lens[i]);
        if (node->is_leaf && !BytePool::pooled(node->value_lens[i])) pool.release(node->values[i], node->value_lens[i]);
    }
    if (!node->is_leaf) {
        for (int32_t i = 0; i <= node->num_keys; ++i) free_large_copies(pool, node->children[i]);
    }
}

// Opens a gap at separator position i (and child position i + 1) of a
// parent that has room, and fills it.
void insert_separator(btree_node *parent, int32_t i, uint8_t *key, uint64_t key_len, btree_node *right) {
    for (int32_t j = parent->num_keys; j > i; --j) parent->children[j + 1] = parent->children[j];
    open_gap(parent, i);
    parent->keys[i] = key;
    parent->key_lens[i] = key_len;
    parent->children[i + 1] = right;
    key_changed(parent, i);
}

// How a full node is split. kEven is the split of btree_put. kAppend keeps
// the left node full and starts the right one empty; it is used when the key
// being inserted lies beyond every key at the right edge of the tree, so
// ascending loads fill nodes completely instead of half.
enum class Split { kEven, kAppend };

// Splits the full child at position i of a non-full parent. For a leaf
// split the separator is the first key of the right leaf, or for an append
// split the key about to be inserted. Allocates before changing anything,
// so a failure leaves the tree as it was.
bool split_child(btree *tree, btree_node *parent, int32_t i, Split how, const uint8_t *key, uint64_t key_len) {
    btree_node *child = parent->children[i];
    btree_node *right = new_node(tree, child->is_leaf != 0);
    if (right == nullptr) return false;
    BytePool &pool = pool_of(tree);

    if (child->is_leaf) {
        const int32_t keep = how == Split::kAppend ? child->num_keys : kLeafSplit;
        const uint8_t *sep_src = how == Split::kAppend ? key : child->keys[keep];
        const uint64_t sep_len = how == Split::kAppend ? key_len : child->key_lens[keep];
        uint8_t *separator = copy_bytes(pool, sep_src, sep_len);
        if (separator == nullptr) {
            free_node(tree, right);
            return false;
        }
        const int32_t moved = child->num_keys - keep;
        for (int32_t j = 0; j < moved; ++j) {
            right->keys[j] = child->keys[keep + j];
            right->key_lens[j] = child->key_lens[keep + j];
            right->values[j] = child->values[keep + j];
            right->value_lens[j] = child->value_lens[keep + j];
            child->keys[keep + j] = nullptr;
            child->values[keep + j] = nullptr;
            child->key_lens[keep + j] = 0;
            child->value_lens[keep + j] = 0;
        }
        set_count(right, moved);
        set_count(child, keep);
        right->next = child->next;
        child->next = right;
        refresh_heads(right);
        insert_separator(parent, i, separator, sep_len, right);
        return true;
    }

    // Internal: the separator at `up` moves into the parent.
    const int32_t up = how == Split::kAppend ? child->num_keys - 1 : kInternalSplit;
    uint8_t *up_key = child->keys[up];
    const uint64_t up_len = child->key_lens[up];
    const int32_t moved = child->num_keys - up - 1;
    for (int32_t j = 0; j < moved; ++j) {
        right->keys[j] = child->keys[up + 1 + j];
        right->key_lens[j] = child->key_lens[up + 1 + j];
        child->keys[up + 1 + j] = nullptr;
        child->key_lens[up + 1 + j] = 0;
    }
    for (int32_t j = 0; j <= moved; ++j) {
        right->children[j] = child->children[up + 1 + j];
        child->children[up + 1 + j] = nullptr;
    }
    child->keys[up] = nullptr;
    child->key_lens[up] = 0;
    set_count(right, moved);
    set_count(child, up);
    refresh_heads(right);
    insert_separator(parent, i, up_key, up_len, right);
    return true;
}

// Leaves that share their entries before one of them splits: a full run of
// five becomes six, which leaves random inserts about 89 % of a leaf's
// slots filled (a plain split leaves about 69 %).
constexpr int32_t kLeafRun = 5;

// One leaf entry in transit while a run of leaves is rebalanced.
struct LeafEntry {
    uint8_t *key;
    uint64_t key_len;
    uint8_t *value;
    uint64_t value_len;
};

// Spreads the entries of the adjacent leaves parent->children[first ..
// first + count) evenly over those leaves, plus one new leaf after them
// when add_leaf is set (the parent then needs room for one separator), and
// resets the separators between them. A full leaf and its siblings can so
// share their entries before anything splits, and when they are all full,
// two leaves become three (or three four) instead of one becoming two half
// empty ones. Allocates before changing anything: without memory it
// returns false and the tree is as it was.
bool rebalance_leaves(btree *tree, btree_node *parent, int32_t first, int32_t count, bool add_leaf) {
    constexpr int32_t kMaxRun = kLeafRun;
    btree_node *run[kMaxRun + 1];
    LeafEntry entries[kMaxRun * kMaxKeys];
    int32_t total = 0;
    for (int32_t j = 0; j < count; ++j) {
        btree_node *leaf = parent->children[first + j];
        run[j] = leaf;
        for (int32_t e = 0; e < leaf->num_keys; ++e)
            entries[total++] = {leaf->keys[e], leaf->key_lens[e], leaf->values[e], leaf->value_lens[e]};
    }
    const int32_t leaves = count + (add_leaf ? 1 : 0);
    int32_t sizes[kMaxRun + 1];
    for (int32_t j = 0; j < leaves; ++j) sizes[j] = total / leaves + (j < total % leaves ? 1 : 0);

    // Allocations first: the new leaf and a separator per boundary, each a
    // copy of the first key of the leaf to its right.
    BytePool &pool = pool_of(tree);
    uint8_t *separators[kMaxRun];
    uint64_t separator_lens[kMaxRun];
    btree_node *added = add_leaf ? new_node(tree, true) : nullptr;
    bool ok = !add_leaf || added != nullptr;
    int32_t made = 0;
    for (int32_t j = 1, at = sizes[0]; ok && j < leaves; at += sizes[j], ++j, ++made) {
        separators[j - 1] = copy_bytes(pool, entries[at].key, entries[at].key_len);
        separator_lens[j - 1] = entries[at].key_len;
        ok = separators[j - 1] != nullptr;
    }
    if (!ok) {
        for (int32_t j = 0; j < made; ++j) pool.release(separators[j], separator_lens[j]);
        free_node(tree, added);
        return false;
    }

    if (add_leaf) {
        run[count] = added;
        added->next = run[count - 1]->next;
        run[count - 1]->next = added;
    }
    for (int32_t j = 0, at = 0; j < leaves; ++j) {
        btree_node *leaf = run[j];
        const int32_t old = leaf->num_keys;
        for (int32_t e = 0; e < sizes[j]; ++e, ++at) {
            leaf->keys[e] = entries[at].key;
            leaf->key_lens[e] = entries[at].key_len;
            leaf->values[e] = entries[at].value;
            leaf->value_lens[e] = entries[at].value_len;
        }
        for (int32_t e = sizes[j]; e < old; ++e) {
            leaf->keys[e] = nullptr;
            leaf->values[e] = nullptr;
            leaf->key_lens[e] = 0;
            leaf->value_lens[e] = 0;
        }
        set_count(leaf, sizes[j]);
        refresh_heads(leaf);
    }
    for (int32_t j = 0; j + 1 < count; ++j) {
        const int32_t at = first + j;
        pool.release(parent->keys[at], parent->key_lens[at]);
        parent->keys[at] = separators[j];
        parent->key_lens[at] = separator_lens[j];
        key_changed(parent, at);
    }
    if (add_leaf) insert_separator(parent, first + count - 1, separators[count - 1], separator_lens[count - 1], added);
    return true;
}

// Makes room in the full leaf child i of parent without a plain split: the
// entries are shared with the adjacent leaves when those have room, and
// when they are full, the run grows by one leaf. Random inserts so leave
// leaves about seven eighths full instead of about two thirds. False when
// the child has no sibling (or no memory): the caller splits it.
bool make_room_among_siblings(btree *tree, btree_node *parent, int32_t i) {
    // The run: up to kLeafRun leaves around i under the same parent.
    const int32_t children = parent->num_keys + 1;
    const int32_t count = children < kLeafRun ? children : kLeafRun;
    if (count < 2) return false;
    int32_t first = i - (count - 1) / 2;
    if (first < 0) first = 0;
    if (first + count > children) first = children - count;
    int32_t total = 0;
    for (int32_t j = first; j < first + count; ++j) total += parent->children[j]->num_keys;
    // Shared evenly, every leaf of the run must keep room for the insert.
    const bool add_leaf = total > count * (kMaxKeys - 1);
    return rebalance_leaves(tree, parent, first, count, add_leaf);
}

// Grows the tree by one level when the root is full.
bool split_full_root(btree *tree, Split how, const uint8_t *key, uint64_t key_len) {
    if (tree->root->num_keys < kMaxKeys) return true;
    btree_node *root = new_node(tree, false);
    if (root == nullptr) return false;
    root->children[0] = tree->root;
    if (!split_child(tree, root, 0, how, key, key_len)) {
        free_node(tree, root);
        return false;
    }
    tree->root = root;
    return true;
}

// Whether inserting key into this full node, which lies at the right edge
// of the tree, appends beyond all of its keys.
bool appends_at_edge(const btree_node *node, bool right_edge, const uint8_t *key, uint64_t key_len) {
    if (!right_edge || node->num_keys == 0) return false;
    const int32_t last = node->num_keys - 1;
    return compare_keys(key, key_len, node->keys[last], node->key_lens[last]) > 0;
}

// Descends to the leaf for key, making room in every full node on the path.
// packed: choose append splits at the right edge and make room in a full
// leaf among its siblings (the engine's inserts); otherwise split evenly as
// btree_put does.
btree_node *descend_for_insert(btree *tree, const uint8_t *key, uint64_t key_len, bool packed) {
    Split root_split = packed && appends_at_edge(tree->root, true, key, key_len) ? Split::kAppend : Split::kEven;
    if (!split_full_root(tree, root_split, key, key_len)) return nullptr;
    btree_node *node = tree->root;
    bool right_edge = true;
    while (!node->is_leaf) {
        int32_t i = child_index(node, key, key_len);
        right_edge = right_edge && i == node->num_keys;
        btree_node *child = node->children[i];
        if (child->num_keys >= kMaxKeys) {
            bool lent = false;
            if (packed && child->is_leaf && !appends_at_edge(child, right_edge, key, key_len))
                lent = make_room_among_siblings(tree, node, i);
            if (!lent) {
                Split how = packed && appends_at_edge(child, right_edge, key, key_len) ? Split::kAppend : Split::kEven;
                if (!split_child(tree, node, i, how, key, key_len)) return nullptr;
            }
            // The separators around i may have moved: route again.
            i = child_index(node, key, key_len);
            right_edge = i == node->num_keys && right_edge;
        }
        node = node->children[i];
    }
    return node;
}

// Gives entry pos of leaf the value copy, releasing the copy it held.
void replace_value(BytePool &pool, btree_node *leaf, int32_t pos, uint8_t *value_copy, uint64_t value_len) {
    pool.release(leaf->values[pos], leaf->value_lens[pos]);
    leaf->values[pos] = value_copy;
    leaf->value_lens[pos] = value_len;
}

int32_t tree_put(btree *tree, const uint8_t *key, uint64_t key_len, const void *value, uint64_t value_len,
                 bool packed) {
    BytePool &pool = pool_of(tree);
    // Copies first: running out of memory here changes nothing.
    uint8_t *value_copy = nullptr;
    if (!copy_value(pool, value, value_len, &value_copy)) return DB_ERR_NOMEM;

    if (packed) {
        // An existing key needs no room: replace its value without splitting.
        auto *leaf = const_cast<btree_node *>(find_leaf(tree->root, key, key_len));
        bool exact;
        const int32_t pos = locate(leaf, key, key_len, &exact);
        if (exact) {
            replace_value(pool, leaf, pos, value_copy, value_len);
            return DB_OK;
        }
    }
    btree_node *leaf = descend_for_insert(tree, key, key_len, packed);
    if (leaf == nullptr) {
        pool.release(value_copy, value_len);
        return DB_ERR_NOMEM;
    }
    bool exact;
    const int32_t pos = locate(leaf, key, key_len, &exact);
    if (exact) {
        replace_value(pool, leaf, pos, value_copy, value_len);
        return DB_OK;
    }
    uint8_t *key_copy = copy_bytes(pool, key, key_len);
    if (key_copy == nullptr) {
        pool.release(value_copy, value_len);
        return DB_ERR_NOMEM;
    }
    open_gap(leaf, pos);
    leaf->keys[pos] = key_copy;
    leaf->key_lens[pos] = key_len;
    leaf->values[pos] = value_copy;
    leaf->value_lens[pos] = value_len;
    key_changed(leaf, pos);
    ++tree->entry_count;
    return DB_OK;
}

int32_t tree_delete(btree *tree, const uint8_t *key, uint64_t key_len) {
    auto *leaf = const_cast<btree_node *>(find_leaf(tree->root, key, key_len));
    bool exact;
    const int32_t pos = locate(leaf, key, key_len, &exact);
    if (!exact) return DB_ERR_NOT_FOUND;
    BytePool &pool = pool_of(tree);
    pool.release(leaf->keys[pos], leaf->key_lens[pos]);
    pool.release(leaf->values[pos], leaf->value_lens[pos]);
    NodeState *st = state_of(leaf);
    for (int32_t j = pos; j + 1 < leaf->num_keys; ++j) {
        leaf->keys[j] = leaf->keys[j + 1];
        leaf->key_lens[j] = leaf->key_lens[j + 1];
        leaf->values[j] = leaf->values[j + 1];
        leaf->value_lens[j] = leaf->value_lens[j + 1];
        st->heads[j] = st->heads[j + 1];
        st->lens[j] = st->lens[j + 1];
    }
    set_count(leaf, leaf->num_keys - 1);
    leaf->keys[leaf->num_keys] = nullptr;
    leaf->values[leaf->num_keys] = nullptr;
    leaf->key_lens[leaf->num_keys] = 0;
    leaf->value_lens[leaf->num_keys] = 0;
    // The remaining keys still share the prefix; an empty leaf has none.
    if (leaf->num_keys == 0) st->prefix_len = 0;
    --tree->entry_count;
    return DB_OK;
}

} // namespace

bool btree_find(const btree *tree, const uint8_t *key, uint64_t key_len, const uint8_t **value,
                uint64_t *value_len) {
    const btree_node *leaf = find_leaf(tree->root, key, key_len);
    bool exact;
    const int32_t pos = locate(leaf, key, key_len, &exact);
    if (!exact) return false;
    if (value != nullptr) *value = leaf->values[pos];
    if (value_len != nullptr) *value_len = leaf->value_lens[pos];
    return true;
}

int32_t btree_upsert(btree *tree, const uint8_t *key, uint64_t key_len, const void *value, uint64_t value_len) {
    return tree_put(tree, key, key_len, value, value_len, true);
}

void BTreeIterator::seek_to_first() {
    const btree_node *node = tree_->root;
    while (!node->is_leaf) node = node->children[0];
    leaf_ = node;
    index_ = 0;
    settle();
}

void BTreeIterator::seek(const uint8_t *key, uint64_t key_len) {
    // Every key in the leaves left of the routed leaf is below the
    // separator that routed us, hence below key.
    leaf_ = find_leaf(tree_->root, key, key_len);
    bool exact;
    index_ = locate(leaf_, key, key_len, &exact);
    settle();
}

void BTreeIterator::settle() {
    while (leaf_ != nullptr && index_ >= leaf_->num_keys) {
        leaf_ = leaf_->next;
        index_ = 0;
    }
}

} // namespace morva

extern "C" MORVADB_API btree *btree_create(void) {
    auto *tree = new (std::nothrow) morva::TreeState();
    if (tree == nullptr) return nullptr;
    tree->root = morva::new_node(tree, true);
    tree->entry_count = 0;
    if (tree->root == nullptr) {
        delete tree;
        return nullptr;
    }
    return tree;
}

extern "C" MORVADB_API void btree_destroy(btree *tree) {
    if (tree == nullptr) return;
    auto *state = static_cast<morva::TreeState *>(tree);
    morva::free_large_copies(state->pool, tree->root);
    delete state;
}

extern "C" MORVADB_API int32_t btree_put(btree *tree, const void *key, uint64_t key_len, const void *value,
                                         uint64_t value_len) {
    if (tree == nullptr || key == nullptr) return DB_ERR_INVALID;
    return morva::tree_put(tree, static_cast<const uint8_t *>(key), key_len, value, value_len, false);
}

extern "C" MORVADB_API int32_t btree_get(btree *tree, const void *key, uint64_t key_len, const uint8_t **value,
                                         uint64_t *value_len) {
    if (tree == nullptr || key == nullptr) return DB_ERR_INVALID;
    return morva::btree_find(tree, static_cast<const uint8_t *>(key), key_len, value, value_len) ? DB_OK
                                                                                                 : DB_ERR_NOT_FOUND;
}

extern "C" MORVADB_API int32_t btree_delete(btree *tree, const void *key, uint64_t key_len) {
    if (tree == nullptr || key == nullptr) return DB_ERR_INVALID;
    return morva::tree_delete(tree, static_cast<const uint8_t *>(key), key_len);
}

extern "C" MORVADB_API int32_t btree_build_sorted(btree *tree, const btree_entry *entries, int32_t count) {
    if (tree == nullptr) return DB_ERR_INVALID;
    if (entries == nullptr) return count <= 0 ? DB_OK : DB_ERR_INVALID;
    for (int32_t i = 0; i < count; ++i) {
        const btree_entry &e = entries[i];
        if (e.key == nullptr) return DB_ERR_INVALID;
        const int32_t status = morva::tree_put(tree, e.key, e.key_len, e.value, e.value_len, false);
        if (status != DB_OK) return status;
    }
    return DB_OK;
}
