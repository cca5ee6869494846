// B+ tree of byte-string keys and values: inserts split full nodes on the
// way down, so the node that receives a key or separator always has room;
// deletes only remove the leaf entry (no merging), since separators merely
// route lookups and stay correct without their original keys.
#include "memtable/btree.h"

#include <cstdlib>
#include <new>

namespace morva {
namespace {

constexpr int32_t kMaxKeys = BTREE_MAX_KEYS;
// A split leaf keeps entries [0, kLeafSplit) and hands the rest to the new
// right leaf.
constexpr int32_t kLeafSplit = kMaxKeys / 2;
// A split internal node keeps separators [0, kInternalSplit), moves
// separator kInternalSplit up into the parent and hands the rest right.
constexpr int32_t kInternalSplit = kMaxKeys / 2;

btree_node *new_node(bool leaf) {
    auto *node = static_cast<btree_node *>(std::calloc(1, sizeof(btree_node)));
    if (node != nullptr) node->is_leaf = leaf ? 1 : 0;
    return node;
}

// Copies len bytes into a fresh block. Every key owns a block even when
// empty, so stored key pointers are never null.
uint8_t *copy_bytes(const void *src, uint64_t len) {
    auto *dst = static_cast<uint8_t *>(std::malloc(len == 0 ? 1 : len));
    if (dst != nullptr && len != 0) std::memcpy(dst, src, len);
    return dst;
}

// Stored values keep a null pointer when put as null, whatever the length.
bool copy_value(const void *src, uint64_t len, uint8_t **out) {
    if (src == nullptr) {
        *out = nullptr;
        return true;
    }
    *out = copy_bytes(src, len);
    return *out != nullptr;
}

void free_subtree(btree_node *node) {
    if (node == nullptr) return;
    for (int32_t i = 0; i < node->num_keys; ++i) {
        std::free(node->keys[i]);
        if (node->is_leaf) std::free(node->values[i]);
    }
    if (!node->is_leaf) {
        for (int32_t i = 0; i <= node->num_keys; ++i) free_subtree(node->children[i]);
    }
    std::free(node);
}

// Keys within a node are found by binary search: every comparison reads a
// separately allocated key, so fewer comparisons mean fewer cache misses.

// Number of separators not greater than key: the child that may hold key.
int32_t child_index(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    int32_t low = 0;
    int32_t high = node->num_keys;
    while (low < high) {
        const int32_t mid = (low + high) / 2;
        if (btree_compare_keys(node->keys[mid], node->key_lens[mid], key, key_len) <= 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

// First index of the leaf whose key is not smaller than key.
int32_t lower_bound_in_leaf(const btree_node *leaf, const uint8_t *key, uint64_t key_len) {
    int32_t low = 0;
    int32_t high = leaf->num_keys;
    while (low < high) {
        const int32_t mid = (low + high) / 2;
        if (btree_compare_keys(leaf->keys[mid], leaf->key_lens[mid], key, key_len) < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

const btree_node *find_leaf(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    while (!node->is_leaf) node = node->children[child_index(node, key, key_len)];
    return node;
}

// Opens a gap at separator position i (and child position i + 1) of a
// parent that has room, and fills it.
void insert_separator(btree_node *parent, int32_t i, uint8_t *key, uint64_t key_len, btree_node *right) {
    for (int32_t j = parent->num_keys; j > i; --j) {
        parent->keys[j] = parent->keys[j - 1];
        parent->key_lens[j] = parent->key_lens[j - 1];
        parent->children[j + 1] = parent->children[j];
    }
    parent->keys[i] = key;
    parent->key_lens[i] = key_len;
    parent->children[i + 1] = right;
    ++parent->num_keys;
}

// Splits the full child at position i of a non-full parent. Allocates
// before changing anything, so a failure leaves the tree as it was.
bool split_child(btree_node *parent, int32_t i) {
    btree_node *child = parent->children[i];
    btree_node *right = new_node(child->is_leaf != 0);
    if (right == nullptr) return false;

    if (child->is_leaf) {
        uint8_t *separator = copy_bytes(child->keys[kLeafSplit], child->key_lens[kLeafSplit]);
        if (separator == nullptr) {
            std::free(right);
            return false;
        }
        const int32_t moved = child->num_keys - kLeafSplit;
        for (int32_t j = 0; j < moved; ++j) {
            right->keys[j] = child->keys[kLeafSplit + j];
            right->key_lens[j] = child->key_lens[kLeafSplit + j];
            right->values[j] = child->values[kLeafSplit + j];
            right->value_lens[j] = child->value_lens[kLeafSplit + j];
            child->keys[kLeafSplit + j] = nullptr;
            child->values[kLeafSplit + j] = nullptr;
        }
        right->num_keys = moved;
        child->num_keys = kLeafSplit;
        right->next = child->next;
        child->next = right;
        insert_separator(parent, i, separator, right->key_lens[0], right);
        return true;
    }

    uint8_t *up_key = child->keys[kInternalSplit];
    const uint64_t up_len = child->key_lens[kInternalSplit];
    const int32_t moved = child->num_keys - kInternalSplit - 1;
    for (int32_t j = 0; j < moved; ++j) {
        right->keys[j] = child->keys[kInternalSplit + 1 + j];
        right->key_lens[j] = child->key_lens[kInternalSplit + 1 + j];
        child->keys[kInternalSplit + 1 + j] = nullptr;
    }
    for (int32_t j = 0; j <= moved; ++j) {
        right->children[j] = child->children[kInternalSplit + 1 + j];
        child->children[kInternalSplit + 1 + j] = nullptr;
    }
    child->keys[kInternalSplit] = nullptr;
    right->num_keys = moved;
    child->num_keys = kInternalSplit;
    insert_separator(parent, i, up_key, up_len, right);
    return true;
}

// Grows the tree by one level when the root is full.
bool split_full_root(btree *tree) {
    if (tree->root->num_keys < kMaxKeys) return true;
    btree_node *root = new_node(false);
    if (root == nullptr) return false;
    root->children[0] = tree->root;
    if (!split_child(root, 0)) {
        std::free(root);
        return false;
    }
    tree->root = root;
    return true;
}

// Descends to the leaf for key, splitting every full node on the path.
btree_node *descend_for_insert(btree *tree, const uint8_t *key, uint64_t key_len) {
    if (!split_full_root(tree)) return nullptr;
    btree_node *node = tree->root;
    while (!node->is_leaf) {
        int32_t i = child_index(node, key, key_len);
        if (node->children[i]->num_keys >= kMaxKeys) {
            if (!split_child(node, i)) return nullptr;
            if (btree_compare_keys(key, key_len, node->keys[i], node->key_lens[i]) >= 0) ++i;
        }
        node = node->children[i];
    }
    return node;
}

int32_t tree_put(btree *tree, const uint8_t *key, uint64_t key_len, const void *value, uint64_t value_len) {
    // Copies first: running out of memory here changes nothing.
    uint8_t *value_copy = nullptr;
    if (!copy_value(value, value_len, &value_copy)) return DB_ERR_NOMEM;

    btree_node *leaf = descend_for_insert(tree, key, key_len);
    if (leaf == nullptr) {
        std::free(value_copy);
        return DB_ERR_NOMEM;
    }
    const int32_t pos = lower_bound_in_leaf(leaf, key, key_len);
    if (pos < leaf->num_keys && btree_compare_keys(leaf->keys[pos], leaf->key_lens[pos], key, key_len) == 0) {
        std::free(leaf->values[pos]);
        leaf->values[pos] = value_copy;
        leaf->value_lens[pos] = value_len;
        return DB_OK;
    }
    uint8_t *key_copy = copy_bytes(key, key_len);
    if (key_copy == nullptr) {
        std::free(value_copy);
        return DB_ERR_NOMEM;
    }
    for (int32_t j = leaf->num_keys; j > pos; --j) {
        leaf->keys[j] = leaf->keys[j - 1];
        leaf->key_lens[j] = leaf->key_lens[j - 1];
        leaf->values[j] = leaf->values[j - 1];
        leaf->value_lens[j] = leaf->value_lens[j - 1];
    }
    leaf->keys[pos] = key_copy;
    leaf->key_lens[pos] = key_len;
    leaf->values[pos] = value_copy;
    leaf->value_lens[pos] = value_len;
    ++leaf->num_keys;
    ++tree->entry_count;
    return DB_OK;
}

int32_t tree_delete(btree *tree, const uint8_t *key, uint64_t key_len) {
    auto *leaf = const_cast<btree_node *>(find_leaf(tree->root, key, key_len));
    const int32_t pos = lower_bound_in_leaf(leaf, key, key_len);
    if (pos >= leaf->num_keys || btree_compare_keys(leaf->keys[pos], leaf->key_lens[pos], key, key_len) != 0) {
        return DB_ERR_NOT_FOUND;
    }
    std::free(leaf->keys[pos]);
    std::free(leaf->values[pos]);
    for (int32_t j = pos; j + 1 < leaf->num_keys; ++j) {
        leaf->keys[j] = leaf->keys[j + 1];
        leaf->key_lens[j] = leaf->key_lens[j + 1];
        leaf->values[j] = leaf->values[j + 1];
        leaf->value_lens[j] = leaf->value_lens[j + 1];
    }
    --leaf->num_keys;
    leaf->keys[leaf->num_keys] = nullptr;
    leaf->values[leaf->num_keys] = nullptr;
    leaf->key_lens[leaf->num_keys] = 0;
    leaf->value_lens[leaf->num_keys] = 0;
    --tree->entry_count;
    return DB_OK;
}

} // namespace

bool btree_find(const btree *tree, const uint8_t *key, uint64_t key_len, const uint8_t **value,
                uint64_t *value_len) {
    const btree_node *leaf = find_leaf(tree->root, key, key_len);
    const int32_t pos = lower_bound_in_leaf(leaf, key, key_len);
    if (pos >= leaf->num_keys || btree_compare_keys(leaf->keys[pos], leaf->key_lens[pos], key, key_len) != 0) {
        return false;
    }
    if (value != nullptr) *value = leaf->values[pos];
    if (value_len != nullptr) *value_len = leaf->value_lens[pos];
    return true;
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
    index_ = lower_bound_in_leaf(leaf_, key, key_len);
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
    auto *tree = static_cast<btree *>(std::calloc(1, sizeof(btree)));
    if (tree == nullptr) return nullptr;
    tree->root = morva::new_node(true);
    if (tree->root == nullptr) {
        std::free(tree);
        return nullptr;
    }
    return tree;
}

extern "C" MORVADB_API void btree_destroy(btree *tree) {
    if (tree == nullptr) return;
    morva::free_subtree(tree->root);
    std::free(tree);
}

extern "C" MORVADB_API int32_t btree_put(btree *tree, const void *key, uint64_t key_len, const void *value,
                                         uint64_t value_len) {
    if (tree == nullptr || key == nullptr) return DB_ERR_INVALID;
    return morva::tree_put(tree, static_cast<const uint8_t *>(key), key_len, value, value_len);
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
        const int32_t status = morva::tree_put(tree, e.key, e.key_len, e.value, e.value_len);
        if (status != DB_OK) return status;
    }
    return DB_OK;
}
