// Layout of a B-tree node as this library allocates it, and the search
// inside one node. Used by btree.cpp only.
//
// Every node is a public btree_node record followed by private search
// state (NodeState), 1,408 bytes in all, aligned to a cache line:
//
//   [0, 1304)     the public record, every field kept true
//   [1304, 1344)  count and leaf mirrors, shared prefix, key lengths
//   [1344, 1408)  key heads, one cache line
//
// Line 20 ([1280, 1344)) and line 21 hold everything a search needs, so a
// descent touches two lines per node (both fetched at once, see
// prefetch_node) plus the child pointer, instead of the record's first
// line, then the heads, then a key stored elsewhere.
//
// Invariant of a node with n keys:
//  - count == num_keys and leaf == is_leaf;
//  - every key starts with the same prefix_len bytes, of which the first
//    min(prefix_len, kInlinePrefix) are in prefix; the prefix need not be
//    the longest common one (after deletes it may be shorter);
//  - heads[i] holds the kHeadBytes bytes of keys[i] after the prefix as a
//    big-endian word, zero-padded past the key's end; heads are therefore
//    non-decreasing along the node and a strict difference between two
//    heads decides the order of their keys;
//  - lens[i] is key_lens[i], or kLongKey when that is kLongKey or more.
// With equal heads, a key that ends within its head (prefix_len + 4 bytes
// or fewer) is a prefix of the other key, so the two compare by length
// alone: most searches among short keys never read a stored key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "morvadb.h"
#include "util/key_order.h"

namespace morva {

constexpr int32_t kMaxKeys = BTREE_MAX_KEYS;
// Prefix bytes kept inline in a node; a longer shared prefix is checked
// against the node's first key for its remaining bytes.
constexpr uint32_t kInlinePrefix = 16;
constexpr uint32_t kHeadBytes = 4;
constexpr uint8_t kLongKey = 255;

struct alignas(64) NodeState {
    btree_node pub;
    uint8_t count;
    uint8_t leaf;
    uint8_t unused[2];
    uint32_t prefix_len;
    uint8_t prefix[kInlinePrefix];
    uint8_t lens[kMaxKeys];
    uint32_t heads[kMaxKeys];
};

static_assert(offsetof(NodeState, pub) == 0, "the public record comes first");
static_assert(sizeof(btree_node) == 1304, "public node record");
static_assert(offsetof(NodeState, count) / 64 == offsetof(NodeState, lens) / 64,
              "count, leaf, prefix and lengths share one cache line");
static_assert(offsetof(NodeState, heads) % 64 == 0, "heads fill one cache line");
static_assert(sizeof(NodeState) == 1408, "a node is 22 cache lines");

// Nodes are only ever made by this library (btree_create and the tree's own
// inserts), so every btree_node is the first member of a NodeState.
inline NodeState *state_of(btree_node *n) { return reinterpret_cast<NodeState *>(n); }
inline const NodeState *state_of(const btree_node *n) { return reinterpret_cast<const NodeState *>(n); }

// Starts loading the lines a search of node reads.
inline void prefetch_node(const btree_node *node) {
    const auto *st = state_of(node);
    __builtin_prefetch(&st->count);
    __builtin_prefetch(&st->heads[0]);
}

inline void set_count(btree_node *node, int32_t n) {
    node->num_keys = n;
    state_of(node)->count = static_cast<uint8_t>(n);
}

inline uint8_t short_length(uint64_t len) { return len < kLongKey ? static_cast<uint8_t>(len) : kLongKey; }

// The kHeadBytes bytes of key from offset on, big-endian, zero-padded past
// the key's end.
inline uint32_t head_at(const uint8_t *key, uint64_t key_len, uint64_t offset) {
    if (offset >= key_len) return 0;
    uint64_t left = key_len - offset;
    if (left >= kHeadBytes) return load_be32(key + offset);
    uint32_t h = 0;
    for (uint64_t i = 0; i < kHeadBytes; ++i) h = (h << 8) | (i < left ? key[offset + i] : 0);
    return h;
}

inline uint64_t common_prefix(const uint8_t *a, uint64_t a_len, const uint8_t *b, uint64_t b_len) {
    uint64_t n = a_len < b_len ? a_len : b_len;
    uint64_t i = 0;
    while (i + 8 <= n && load_be64(a + i) == load_be64(b + i)) i += 8;
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Recomputes the prefix, every head and every length of a node from its keys.
inline void refresh_heads(btree_node *node) {
    NodeState *st = state_of(node);
    const int32_t n = node->num_keys;
    uint64_t p = 0;
    if (n > 0) {
        p = common_prefix(node->keys[0], node->key_lens[0], node->keys[n - 1], node->key_lens[n - 1]);
        if (p > UINT32_MAX) p = UINT32_MAX;
        std::memcpy(st->prefix, node->keys[0], p < kInlinePrefix ? p : kInlinePrefix);
    }
    st->prefix_len = static_cast<uint32_t>(p);
    for (int32_t i = 0; i < n; ++i) {
        st->heads[i] = head_at(node->keys[i], node->key_lens[i], p);
        st->lens[i] = short_length(node->key_lens[i]);
    }
}

// Keeps the private state right after keys[pos] was set to a new key
// (inserted, or replaced by another key that lies between its neighbours).
// A key strictly inside the node shares the first and last keys' prefix; a
// new first or last key may shorten it.
inline void key_changed(btree_node *node, int32_t pos) {
    NodeState *st = state_of(node);
    const int32_t n = node->num_keys;
    st->lens[pos] = short_length(node->key_lens[pos]);
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

// Opens a gap at pos in the parallel key arrays (and the private ones) of
// a node with room; the caller fills the slot and then calls key_changed.
inline void open_gap(btree_node *node, int32_t pos) {
    NodeState *st = state_of(node);
    for (int32_t j = node->num_keys; j > pos; --j) {
        node->keys[j] = node->keys[j - 1];
        node->key_lens[j] = node->key_lens[j - 1];
        st->heads[j] = st->heads[j - 1];
        st->lens[j] = st->lens[j - 1];
        if (node->is_leaf) {
            node->values[j] = node->values[j - 1];
            node->value_lens[j] = node->value_lens[j - 1];
        }
    }
    set_count(node, node->num_keys + 1);
}

// Compares the stored key at i with key when their heads are equal and the
// key matched the node's prefix: by length when either ends within its
// head, else by their bytes.
inline int compare_equal_heads(const btree_node *node, const NodeState *st, int32_t i, const uint8_t *key,
                               uint64_t key_len) {
    const uint64_t stored_len = st->lens[i] != kLongKey ? st->lens[i] : node->key_lens[i];
    const uint64_t covered = uint64_t{st->prefix_len} + kHeadBytes;
    if (stored_len <= covered || key_len <= covered)
        return stored_len < key_len ? -1 : (stored_len > key_len ? 1 : 0);
    return compare_keys(node->keys[i], stored_len, key, key_len);
}

// Position of key in a node: the first index whose key is not smaller, and
// whether that key is equal. Reads the node's two search lines and a stored
// key only when heads tie among long keys (or the shared prefix is longer
// than the inline part).
inline int32_t locate(const btree_node *node, const uint8_t *key, uint64_t key_len, bool *exact) {
    *exact = false;
    const NodeState *st = state_of(node);
    const int32_t n = st->count;
    if (n == 0) return 0;
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
            cmp = compare_equal_heads(node, st, mid, key, key_len);
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
inline int32_t child_index(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    bool exact;
    int32_t i = locate(node, key, key_len, &exact);
    return exact ? i + 1 : i;
}

// The leaf that may hold key. Each child's search lines are requested as
// soon as its pointer is known.
inline const btree_node *find_leaf(const btree_node *node, const uint8_t *key, uint64_t key_len) {
    while (!state_of(node)->leaf) {
        node = node->children[child_index(node, key, key_len)];
        prefetch_node(node);
    }
    return node;
}

}  // namespace morva
