// B+ tree of byte-string keys and values: inserts split full nodes on the
// way down, so the node that receives a key or separator always has room;
// deletes only remove the leaf entry (no merging), since separators merely
// route lookups and stay correct without their original keys.
//
// Private state behind the public records (both are allocated here):
//  - every node carries key heads (NodeState): the length of a prefix that
//    all of its keys share, the first bytes of that prefix, and for each key
//    the four bytes after the prefix as a big-endian word. A search inside a
//    node compares words in one cache line and reads a key itself only when
//    two words tie, instead of dereferencing a separately stored key at every
//    step of the binary search;
//  - the tree carries a BytePool from which every key, value and separator
//    copy is taken, in size classes rather than one heap block each.
#include "memtable/btree.h"

#include <cstdlib>
#include <new>

#include "util/byte_pool.h"
#include "util/key_order.h"

namespace morva {
namespace {

constexpr int32_t kMaxKeys = BTREE_MAX_KEYS;
// An even split keeps entries [0, kLeafSplit) and hands the rest to the new
// right leaf; an internal node keeps separators [0, kInternalSplit), moves
// separator kInternalSplit up into the parent and hands the rest right.
constexpr int32_t kLeafSplit = kMaxKeys / 2;
constexpr int32_t kInternalSplit = kMaxKeys / 2;
// Prefix bytes kept inline in a node; a longer shared prefix is checked
// against the node's first key for its remaining bytes.
constexpr uint32_t kInlinePrefix = 16;
constexpr uint32_t kHeadBytes = 4;

// Invariant of a node with n keys: every key starts with the same
// prefix_len bytes, of which the first min(prefix_len, kInlinePrefix) are in
// prefix; heads[i] is head_at(keys[i], prefix_len). The prefix need not be
// the longest common one (after deletes it may be shorter); heads are
// therefore non-decreasing along the node, and a strict difference between
// two heads decides the order of their keys.
struct NodeState : btree_node {
    uint32_t prefix_len;
    uint8_t prefix[kInlinePrefix];
    uint32_t heads[kMaxKeys];
};

struct TreeState : btree {
    BytePool pool;
};

NodeState *state_of(btree_node *n) { return static_cast<NodeState *>(n); }
const NodeState *state_of(const btree_node *n) { return static_cast<const NodeState *>(n); }
BytePool &pool_of(btree *tree) { return static_cast<TreeState *>(tree)->pool; }

// The kHeadBytes bytes of key from offset on, big-endian, zero-padded past
// the key's end.
uint32_t head_at(const uint8_t *key, uint64_t key_len, uint64_t offset) {
    if (offset >= key_len) return 0;
    uint64_t left = key_len - offset;
    if (left >= kHeadBytes) return load_be32(key + offset);
    uint32_t h = 0;
    for (uint64_t i = 0; i < kHeadBytes; ++i) h = (h << 8) | (i < left ? key[offset + i] : 0);
    return h;
}

uint64_t common_prefix(const uint8_t *a, uint64_t a_len, const uint8_t *b, uint64_t b_len) {
    uint64_t n = a_len < b_len ? a_len : b_len;
    uint64_t i = 0;
    while (i + 8 <= n && load_be64(a + i) == load_be64(b + i)) i += 8;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Recomputes the prefix and every head of a node from its keys.
void refresh_heads(btree_node *node) {
    NodeState *st = state_of(node);
    const int32_t n = node->num_keys;
    uint64_t p = 0;
    if (n > 0) {
        p = common_prefix(node->keys[0], node->key_lens[0], node->keys[n - 1], node->key_lens[n - 1]);
        if (p > UINT32_MAX) p = UINT32_MAX;
        std::memcpy(st->prefix, node->keys[0], p < kInlinePrefix ? p : kInlinePrefix);
    }
    st->prefix_len = static_cast<uint32_t>(p);
    for (int32_t i = 0; i < n; ++i) st->heads[i] = head_at(node->keys[i], node->key_lens[i], p);
}

// Keeps the heads right after keys[pos] was set to a new key (inserted, or
// replaced by another key that lies between its neighbours). A key strictly
// inside the node shares the first and last keys' prefix; a new first or
// last key may shorten it.
void key_changed(btree_node *node, int32_t pos) {
    NodeState *st = state_of(node);
    const int32_t n = node->num_keys;
    if (pos > 0 && pos < n - 1) {
        st->heads[pos] = head_at(node->keys[pos], node->key_lens[pos], st->prefix_len);
        return;
    }
    uint64_t p = common_prefix(node->keys[0], node->key_lens[0], node->keys[n - 1], node->key_lens[n - 1]);
    if (n > 1 && p >= st->prefix_len) {
        st->heads[pos] = head_at(node->keys[pos], node->key_lens[pos], st->prefix_len);
        return;
    }
    refresh_heads(node);
}

// Opens a gap at pos in the parallel key arrays (and heads) of a node with
// room; the caller fills the slot and then calls key_changed.
void open_gap(btree_node *node, int32_t pos) {
    NodeState *st = state_of(node);
    for (int32_t j = node->num_keys; j > pos; --j) {
        node->keys[j] = node->keys[j - 1];
        node->key_lens[j] = node->key_lens[j - 1];
        st->heads[j] = st->heads[j - 1];
        if (node->is_leaf) {
            node->values[j] = node->values[j - 1];
            node->value_lens[j] = node->value_lens[j - 1];
        }
    }
    ++node->num_keys;
}

// Position of key in a node: the first index whose key is not smaller, and
// whether that key is equal. Compares heads first; reads a stored key only
// when its head ties with the search key's.
int32_t locate(const btree_node *node, const uint8_t *key, uint64_t key_len, bool *exact) {
    *exact = false;
    const int32_t n = node->num_keys;
    if (n == 0) return 0;
    const NodeState *st = state_of(node);
    const uint64_t p = st->prefix_len;
    // Does key start with the node's shared prefix? If not, it lies before
    // or after every key of the node.
    const uint64_t shared = key_len < p ? key_len : p;
    const uint64_t inline_part = shared < kInlinePrefix ? shared : kInlinePrefix;
    int c = inline_part == 0 ? 0 : compare_bytes(key, st->prefix, inline_part);
    if (c == 0 && shared > inline_part)
        c = compare_bytes(key + inline_part, node->keys[0] + inline_part, shared - inline_part);
    if (c < 0 || (c == 0 && key_len < p)) return 0;
    if (c > 0) return n;

    const uint32_t h = head_at(key, key_len, p);
    int32_t low = 0;
    int32_t high = n;
    while (low < high) {
        const int32_t mid = (low + high) / 2;
        const uint32_t hm = st->heads[mid];
        int cmp;
        if (hm != h) {
            cmp = hm < h ? -1 : 1;
        } else {
            cmp = compare_keys(node->keys[mid], node->key_lens[mid], key, key_len);
        }
        if (cmp < 0) {
            low = mid + 1;
        } else if (cmp > 0) {
            high = mid;
        } else {
            *exact = true;
            return mid;
        }
    }
    return low;
}

// Number of separators not greater than key: the child that may hold key.
int32_t child_index(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    bool exact;
    int32_t i = locate(node, key, key_len, &exact);
    return exact ? i + 1 : i;
}

const btree_node *find_leaf(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    while (!node->is_leaf) node = node->children[child_index(node, key, key_len)];
    return node;
}

btree_node *new_node(bool leaf) {
    auto *node = static_cast<NodeState *>(std::calloc(1, sizeof(NodeState)));
    if (node != nullptr) node->is_leaf = leaf ? 1 : 0;
    return node;
}

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

// Frees the nodes of a subtree and the copies that did not come from the
// pool's slabs (those go with the pool).
void free_subtree(BytePool &pool, btree_node *node) {
    if (node == nullptr) return;
    for (int32_t i = 0; i < node->num_keys; ++i) {
        if (!BytePool::pooled(node->key_lens[i])) pool.release(node->keys[i], node->key_lens[i]);
        if (node->is_leaf && !BytePool::pooled(node->value_lens[i])) pool.release(node->values[i], node->value_lens[i]);
    }
    if (!node->is_leaf) {
        for (int32_t i = 0; i <= node->num_keys; ++i) free_subtree(pool, node->children[i]);
    }
    std::free(node);
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
    btree_node *right = new_node(child->is_leaf != 0);
    if (right == nullptr) return false;
    BytePool &pool = pool_of(tree);

    if (child->is_leaf) {
        const int32_t keep = how == Split::kAppend ? child->num_keys : kLeafSplit;
        const uint8_t *sep_src = how == Split::kAppend ? key : child->keys[keep];
        const uint64_t sep_len = how == Split::kAppend ? key_len : child->key_lens[keep];
        uint8_t *separator = copy_bytes(pool, sep_src, sep_len);
        if (separator == nullptr) {
            std::free(right);
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
        right->num_keys = moved;
        child->num_keys = keep;
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
    right->num_keys = moved;
    child->num_keys = up;
    refresh_heads(right);
    insert_separator(parent, i, up_key, up_len, right);
    return true;
}

// Moves `count` entries between two adjacent leaves under the same parent
// (the last ones of left to the front of right, or the first ones of right
// to the end of left) and resets the separator between them.
bool shift_entries(btree *tree, btree_node *parent, int32_t left_index, int32_t count, bool to_right) {
    btree_node *left = parent->children[left_index];
    btree_node *right = parent->children[left_index + 1];
    // The new separator is copied first: without memory nothing moves.
    const btree_node *source = to_right ? left : right;
    const int32_t first_moved = to_right ? left->num_keys - count : count;
    const uint8_t *sep_key = to_right ? source->keys[first_moved] : right->keys[count];
    const uint64_t sep_len = to_right ? source->key_lens[first_moved] : right->key_lens[count];
    uint8_t *separator = copy_bytes(pool_of(tree), sep_key, sep_len);
    if (separator == nullptr) return false;
    if (to_right) {
        for (int32_t j = right->num_keys - 1; j >= 0; --j) {
            right->keys[j + count] = right->keys[j];
            right->key_lens[j + count] = right->key_lens[j];
            right->values[j + count] = right->values[j];
            right->value_lens[j + count] = right->value_lens[j];
        }
        for (int32_t j = 0; j < count; ++j) {
            const int32_t from = left->num_keys - count + j;
            right->keys[j] = left->keys[from];
            right->key_lens[j] = left->key_lens[from];
            right->values[j] = left->values[from];
            right->value_lens[j] = left->value_lens[from];
            left->keys[from] = nullptr;
            left->values[from] = nullptr;
            left->key_lens[from] = 0;
            left->value_lens[from] = 0;
        }
        left->num_keys -= count;
        right->num_keys += count;
    } else {
        for (int32_t j = 0; j < count; ++j) {
            left->keys[left->num_keys + j] = right->keys[j];
            left->key_lens[left->num_keys + j] = right->key_lens[j];
            left->values[left->num_keys + j] = right->values[j];
            left->value_lens[left->num_keys + j] = right->value_lens[j];
        }
        const int32_t rest = right->num_keys - count;
        for (int32_t j = 0; j < rest; ++j) {
            right->keys[j] = right->keys[j + count];
            right->key_lens[j] = right->key_lens[j + count];
            right->values[j] = right->values[j + count];
            right->value_lens[j] = right->value_lens[j + count];
        }
        for (int32_t j = rest; j < right->num_keys; ++j) {
            right->keys[j] = nullptr;
            right->values[j] = nullptr;
            right->key_lens[j] = 0;
            right->value_lens[j] = 0;
        }
        left->num_keys += count;
        right->num_keys = rest;
    }
    refresh_heads(left);
    refresh_heads(right);
    pool_of(tree).release(parent->keys[left_index], parent->key_lens[left_index]);
    parent->keys[left_index] = separator;
    parent->key_lens[left_index] = sep_len;
    key_changed(parent, left_index);
    return true;
}

// Makes room in the full leaf child i of parent by moving entries into an
// adjacent sibling with room, so that random inserts fill leaves further
// before they split. False when neither sibling has room (or no memory).
bool lend_to_sibling(btree *tree, btree_node *parent, int32_t i) {
    // A sibling takes half the difference, at least one entry.
    constexpr int32_t kRoomNeeded = 2;
    btree_node *child = parent->children[i];
    if (i < parent->num_keys) {
        const btree_node *right = parent->children[i + 1];
        if (right->num_keys <= kMaxKeys - kRoomNeeded)
            return shift_entries(tree, parent, i, (child->num_keys - right->num_keys) / 2, true);
    }
    if (i > 0) {
        const btree_node *left = parent->children[i - 1];
        if (left->num_keys <= kMaxKeys - kRoomNeeded)
            return shift_entries(tree, parent, i - 1, (child->num_keys - left->num_keys) / 2, false);
    }
    return false;
}

// Grows the tree by one level when the root is full.
bool split_full_root(btree *tree, Split how, const uint8_t *key, uint64_t key_len) {
    if (tree->root->num_keys < kMaxKeys) return true;
    btree_node *root = new_node(false);
    if (root == nullptr) return false;
    root->children[0] = tree->root;
    if (!split_child(tree, root, 0, how, key, key_len)) {
        std::free(root);
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
// packed: choose append splits at the right edge and lend entries to
// siblings before splitting leaves (the engine's inserts); otherwise split
// evenly as btree_put does.
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
                lent = lend_to_sibling(tree, node, i);
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
            pool.release(leaf->values[pos], leaf->value_lens[pos]);
            leaf->values[pos] = value_copy;
            leaf->value_lens[pos] = value_len;
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
        pool.release(leaf->values[pos], leaf->value_lens[pos]);
        leaf->values[pos] = value_copy;
        leaf->value_lens[pos] = value_len;
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
    }
    --leaf->num_keys;
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
    tree->root = morva::new_node(true);
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
    morva::free_subtree(state->pool, tree->root);
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
