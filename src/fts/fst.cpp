// Term dictionary kept as an uncompressed 256-way trie: one node per
// distinct prefix, each with a full table of child pointers, so every step
// is a single array index and memory use is node_count * sizeof(fst_node).
//
// Searches walk the trie depth-first in byte order with an explicit frame
// stack on the heap, so neither a deep trie nor the edit-distance rows (one
// per trie level) can exhaust a thread's stack.
//
// Every node is allocated with a private bitmap of its present children
// right after the public record, so a walk finds the next child with a few
// bit scans instead of reading the whole 2 KiB pointer table.
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "morvadb.h"

namespace morva {
namespace {

constexpr size_t kMaxTermLen = FST_MAX_TERM_LEN;

// The allocation behind every fst_node: the public record first, then the
// bitmap of non-null children (bit b of word b / 64 for byte b).
struct NodeBlock {
    fst_node node;
    uint64_t child_bits[4];
};
static_assert(offsetof(NodeBlock, node) == 0, "fst_node pointers must also point at their block");

fst_node *new_node() {
    auto *block = static_cast<NodeBlock *>(std::calloc(1, sizeof(NodeBlock)));
    return block == nullptr ? nullptr : &block->node;
}

uint64_t *child_bits(fst_node *node) { return reinterpret_cast<NodeBlock *>(node)->child_bits; }
const uint64_t *child_bits(const fst_node *node) { return reinterpret_cast<const NodeBlock *>(node)->child_bits; }

// Smallest byte >= from with a child, or 256 when there is none.
int next_child_byte(const fst_node *node, int from) {
    const uint64_t *bits = child_bits(node);
    for (int word = from / 64; word < 4; ++word) {
        uint64_t w = bits[word];
        if (word == from / 64) w &= ~uint64_t{0} << (from % 64);
        if (w != 0) return word * 64 + __builtin_ctzll(w);
    }
    return 256;
}

// Depth is bounded by the longest term (256), so recursion stays shallow.
void free_subtree(fst_node *node) {
    for (int b = next_child_byte(node, 0); b < 256; b = next_child_byte(node, b + 1)) free_subtree(node->children[b]);
    std::free(reinterpret_cast<NodeBlock *>(node));
}

const fst_node *find_node(const fst_node *node, const uint8_t *bytes, size_t len) {
    for (size_t i = 0; i < len && node != nullptr; ++i) node = node->children[bytes[i]];
    return node;
}

int32_t insert_term(fst *dict, const uint8_t *term, size_t len, uint64_t value) {
    fst_node *node = dict->root;
    for (size_t i = 0; i < len; ++i) {
        fst_node *&slot = node->children[term[i]];
        if (slot == nullptr) {
            // Nodes created so far stay: they are valid, merely not final.
            slot = new_node();
            if (slot == nullptr) return DB_ERR_NOMEM;
            child_bits(node)[term[i] / 64] |= uint64_t{1} << (term[i] % 64);
            ++dict->node_count;
        }
        node = slot;
    }
    if (!node->is_final) ++dict->term_count;
    node->value = value;
    node->is_final = 1;
    return DB_OK;
}

// Pre-order walk below start: a node is visited before its children, and
// children in ascending byte order. visit(node, depth) returns false to stop
// the whole walk; admit(depth, byte) returns false to skip the child that
// would sit at depth with that byte, and its subtree. Depth is counted from
// start and never exceeds kMaxTermLen.
template <class Visit, class Admit>
void walk_preorder(const fst_node *start, Visit &&visit, Admit &&admit) {
    struct Frame {
        const fst_node *node;
        int next_byte;
    };
    std::vector<Frame> frames(kMaxTermLen + 1);
    size_t depth = 0;
    frames[0] = {start, 0};
    if (!visit(start, size_t{0})) return;
    for (;;) {
        Frame &frame = frames[depth];
        frame.next_byte = next_child_byte(frame.node, frame.next_byte);
        if (frame.next_byte == 256 || depth == kMaxTermLen) {
            if (depth == 0) return;
            --depth;
            continue;
        }
        const int byte = frame.next_byte++;
        if (!admit(depth + 1, static_cast<uint8_t>(byte))) continue;
        frames[++depth] = {frame.node->children[byte], 0};
        if (!visit(frames[depth].node, depth)) return;
    }
}

int32_t prefix_search(const fst *dict, const uint8_t *prefix, size_t prefix_len, uint64_t *out, int32_t max) {
    const fst_node *start = find_node(dict->root, prefix, prefix_len);
    if (start == nullptr) return 0;
    int32_t found = 0;
    walk_preorder(
        start,
        [&](const fst_node *node, size_t) {
            if (node->is_final) out[found++] = node->value;
            return found < max;
        },
        [](size_t, uint8_t) { return true; });
    return found;
}

// Levenshtein distance over bytes, carried down the trie: the row of a
// node at depth d holds the distances between its prefix and every prefix
// of the term. Rows live in one heap block, one per depth.
int32_t fuzzy_search(const fst *dict, const uint8_t *term, size_t m, int32_t max_distance, uint64_t *out,
                     int32_t max) {
    const size_t width = m + 1;
    std::vector<int32_t> rows((kMaxTermLen + 1) * width);
    for (size_t j = 0; j <= m; ++j) rows[j] = static_cast<int32_t>(j);

    int32_t found = 0;
    walk_preorder(
        dict->root,
        [&](const fst_node *node, size_t depth) {
            if (node->is_final && rows[depth * width + m] <= max_distance) out[found++] = node->value;
            return found < max;
        },
        [&](size_t depth, uint8_t byte) {
            const int32_t *r = &rows[(depth - 1) * width];
            int32_t *n = &rows[depth * width];
            n[0] = r[0] + 1;
            int32_t smallest = n[0];
            for (size_t j = 1; j <= m; ++j) {
                int32_t best = n[j - 1] + 1;
                if (r[j] + 1 < best) best = r[j] + 1;
                const int32_t diagonal = r[j - 1] + (term[j - 1] == byte ? 0 : 1);
                if (diagonal < best) best = diagonal;
                n[j] = best;
                if (best < smallest) smallest = best;
            }
            // No extension of this prefix can come closer than its row's
            // smallest entry, so the subtree is pruned beyond the limit.
            return smallest <= max_distance;
        });
    return found;
}

const uint8_t *as_bytes(const char *s) { return reinterpret_cast<const uint8_t *>(s); }

} // namespace
} // namespace morva

extern "C" MORVADB_API fst *fst_create(void) {
    auto *dict = static_cast<fst *>(std::calloc(1, sizeof(fst)));
    if (dict == nullptr) return nullptr;
    dict->root = morva::new_node();
    if (dict->root == nullptr) {
        std::free(dict);
        return nullptr;
    }
    dict->node_count = 1;
    return dict;
}

extern "C" MORVADB_API void fst_destroy(fst *dict) {
    if (dict == nullptr) return;
    if (dict->root != nullptr) morva::free_subtree(dict->root);
    std::free(dict);
}

extern "C" MORVADB_API int32_t fst_insert(fst *dict, const char *term, uint64_t value) {
    if (dict == nullptr || term == nullptr) return DB_ERR_INVALID;
    const size_t len = strnlen(term, morva::kMaxTermLen + 1);
    if (len > morva::kMaxTermLen) return DB_ERR_INVALID;
    return morva::insert_term(dict, morva::as_bytes(term), len, value);
}

extern "C" MORVADB_API int32_t fst_get(fst *dict, const char *term, uint64_t *out_value) {
    if (dict == nullptr || term == nullptr) return DB_ERR_INVALID;
    // A term longer than any stored one runs off the trie within 257 bytes.
    const size_t len = strnlen(term, morva::kMaxTermLen + 1);
    const fst_node *node = morva::find_node(dict->root, morva::as_bytes(term), len);
    if (node == nullptr || !node->is_final) return DB_ERR_NOT_FOUND;
    if (out_value != nullptr) *out_value = node->value;
    return DB_OK;
}

extern "C" MORVADB_API int32_t fst_prefix_search(fst *dict, const char *prefix, uint64_t *out_values, int32_t max) {
    if (dict == nullptr || prefix == nullptr || out_values == nullptr || max <= 0) return 0;
    try {
        const size_t len = strnlen(prefix, morva::kMaxTermLen + 1);
        return morva::prefix_search(dict, morva::as_bytes(prefix), len, out_values, max);
    } catch (...) {
        return 0;
    }
}

extern "C" MORVADB_API int32_t fst_fuzzy_search(fst *dict, const char *term, int32_t max_distance,
                                                uint64_t *out_values, int32_t max) {
    if (dict == nullptr || term == nullptr || out_values == nullptr || max <= 0 || max_distance < 0) return 0;
    try {
        const size_t m = strnlen(term, morva::kMaxTermLen);
        return morva::fuzzy_search(dict, morva::as_bytes(term), m, max_distance, out_values, max);
    } catch (...) {
        return 0;
    }
}

extern "C" MORVADB_API uint64_t fst_size(fst *dict) { return dict == nullptr ? 0 : dict->term_count; }

extern "C" MORVADB_API uint64_t fst_memory_used(fst *dict) {
    if (dict == nullptr) return 0;
    return dict->node_count * sizeof(fst_node) + sizeof(fst);
}
