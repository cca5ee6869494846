// Skip-list memtable: the ordered write buffer of the store. Nodes are never
// removed, only overwritten or marked as tombstones; memory returns at
// destroy.
#include "memtable/memtable.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "util/coding.h"
#include "util/key_order.h"

namespace morva {
namespace {

constexpr int kMaxLevel = MEMTABLE_MAX_LEVEL - 1;
// Filter size: one byte per 64 bytes of the limit (about 20 bits per entry
// for 100-byte entries), a power of two between 64 bytes and 4 MiB.
constexpr uint64_t kLimitBytesPerFilterByte = 64;
constexpr uint64_t kMinFilterBytes = 64;
constexpr uint64_t kMaxFilterBytes = 4u << 20;

// The public record and the filter words that follow it in one allocation.
// Each key sets three bits of one 64-bit word chosen by its hash, so a probe
// reads a single word.
struct MemtableState : memtable {
    uint64_t filter_mask;  // word count - 1
    uint64_t *filter;      // filter_mask + 1 words, right behind this record
};

MemtableState *state_of(const memtable *mt) { return static_cast<MemtableState *>(const_cast<memtable *>(mt)); }

uint64_t filter_words_for(uint64_t limit) {
    uint64_t bytes = limit / kLimitBytesPerFilterByte;
    if (bytes < kMinFilterBytes) bytes = kMinFilterBytes;
    if (bytes > kMaxFilterBytes) bytes = kMaxFilterBytes;
    uint64_t words = 1;
    while (words * 2 * sizeof(uint64_t) <= bytes) words *= 2;
    return words;
}

inline uint64_t filter_bits(uint64_t hash) {
    return (uint64_t{1} << (hash >> 58)) | (uint64_t{1} << ((hash >> 52) & 63)) | (uint64_t{1} << ((hash >> 46) & 63));
}

void filter_add(memtable *mt, const void *key, uint64_t key_len) {
    MemtableState *st = state_of(mt);
    uint64_t h = hash_key(key, key_len);
    st->filter[h & st->filter_mask] |= filter_bits(h);
}

bool filter_may_hold(const memtable *mt, const void *key, uint64_t key_len) {
    const MemtableState *st = state_of(mt);
    uint64_t h = hash_key(key, key_len);
    uint64_t bits = filter_bits(h);
    return (st->filter[h & st->filter_mask] & bits) == bits;
}
// A draw at or below this value takes one more level: probability 1/2 with
// rand() uniform over 0 .. 2^31 - 1.
constexpr int kLevelUpThreshold = 0x3FFFFFFE;

// Bytes a node occupies and is charged: header, pointers, key, value.
// False when the total does not fit in 64 bits.
bool node_bytes(int top_level, uint64_t key_len, uint64_t value_len, uint64_t *out) {
    uint64_t fixed = MEMTABLE_NODE_OVERHEAD + sizeof(memtable_node *) * static_cast<uint64_t>(top_level + 1);
    uint64_t with_key;
    return !add_overflows(fixed, key_len, &with_key) && !add_overflows(with_key, value_len, out);
}

memtable_node *new_node(int top_level, uint64_t tag, const void *key, uint64_t key_len, const void *value,
                        uint64_t value_len) {
    uint64_t bytes;
    if (!node_bytes(top_level, key_len, value_len, &bytes)) return nullptr;
    auto *n = static_cast<memtable_node *>(std::calloc(1, static_cast<size_t>(bytes)));
    if (n == nullptr) return nullptr;
    n->tag = tag;
    n->key_len = key_len;
    n->value_len = value_len;
    n->tombstone = 0;
    n->top_level = static_cast<uint16_t>(top_level);
    if (key_len != 0) std::memcpy(node_key(n), key, static_cast<size_t>(key_len));
    if (value_len != 0) std::memcpy(node_value(n), value, static_cast<size_t>(value_len));
    return n;
}

int random_level() {
    int level = 0;
    while (level < kMaxLevel && std::rand() <= kLevelUpThreshold) ++level;
    return level;
}

inline int compare_node(const memtable_node *n, const void *key, uint64_t key_len) {
    return compare_keys(node_key(n), n->key_len, key, key_len);
}

// Fills preds[0..top_level] with the last node on each level whose key is
// smaller than the key, and returns the level-0 successor (the first node
// not smaller), or null.
memtable_node *find_predecessors(const memtable *mt, const void *key, uint64_t key_len,
                                 memtable_node **preds) {
    memtable_node *x = mt->head;
    for (int level = mt->top_level; level >= 0; --level) {
        while (x->forward[level] != nullptr && compare_node(x->forward[level], key, key_len) < 0)
            x = x->forward[level];
        if (preds != nullptr) preds[level] = x;
    }
    return x->forward[0];
}

// Replaces `old` by a larger node with the new value, keeping its level and
// position on every level it is linked on.
int32_t replace_node(memtable *mt, memtable_node **preds, memtable_node *old, uint64_t tag, const void *value,
                     uint64_t value_len, memtable_node **out) {
    memtable_node *n = new_node(old->top_level, tag, node_key(old), old->key_len, value, value_len);
    // The old entry stays exactly as it was (tag and tombstone included)
    // when the replacement cannot be allocated.
    if (n == nullptr) return DB_ERR_NOMEM;
    for (int level = 0; level <= old->top_level; ++level) {
        n->forward[level] = old->forward[level];
        preds[level]->forward[level] = n;
    }
    mt->size += value_len - old->value_len;
    std::free(old);
    *out = n;
    return DB_OK;
}

}  // namespace

memtable_node *memtable_find(const memtable *mt, const void *key, uint64_t key_len) {
    if (!filter_may_hold(mt, key, key_len)) return nullptr;
    memtable_node *n = find_predecessors(mt, key, key_len, nullptr);
    return (n != nullptr && compare_node(n, key, key_len) == 0) ? n : nullptr;
}

int32_t memtable_upsert(memtable *mt, uint64_t tag, const void *key, uint64_t key_len, const void *value,
                        uint64_t value_len, memtable_node **out) {
    memtable_node *preds[MEMTABLE_MAX_LEVEL];
    memtable_node *next = find_predecessors(mt, key, key_len, preds);

    if (next != nullptr && compare_node(next, key, key_len) == 0) {
        if (next->value_len < value_len) return replace_node(mt, preds, next, tag, value, value_len, out);
        next->tag = tag;
        next->tombstone = 0;
        mt->size += value_len - next->value_len;  // wraps as a subtraction when shrinking
        next->value_len = value_len;
        if (value_len != 0) std::memmove(node_value(next), value, static_cast<size_t>(value_len));
        *out = next;
        return DB_OK;
    }

    int level = random_level();
    uint64_t charge;
    if (!node_bytes(level, key_len, value_len, &charge)) return DB_ERR_NOMEM;
    memtable_node *n = new_node(level, tag, key, key_len, value, value_len);
    if (n == nullptr) return DB_ERR_NOMEM;
    if (level > mt->top_level) {
        for (int l = mt->top_level + 1; l <= level; ++l) preds[l] = mt->head;
        mt->top_level = level;
    }
    for (int l = 0; l <= level; ++l) {
        n->forward[l] = preds[l]->forward[l];
        preds[l]->forward[l] = n;
    }
    filter_add(mt, key, key_len);
    mt->size += charge;
    *out = n;
    return DB_OK;
}

}  // namespace morva

namespace {

// A pointer may be null only when its length is 0.
bool bytes_ok(const void *p, uint64_t len) { return p != nullptr || len == 0; }

}  // namespace

extern "C" MORVADB_API memtable *memtable_create(uint64_t limit) {
    uint64_t words = morva::filter_words_for(limit);
    auto *mt = static_cast<morva::MemtableState *>(
        std::calloc(1, sizeof(morva::MemtableState) + words * sizeof(uint64_t)));
    if (mt == nullptr) return nullptr;
    mt->filter_mask = words - 1;
    mt->filter = reinterpret_cast<uint64_t *>(mt + 1);
    mt->head = static_cast<memtable_node *>(
        std::calloc(1, sizeof(memtable_node) + sizeof(memtable_node *) * MEMTABLE_MAX_LEVEL));
    if (mt->head == nullptr) {
        std::free(mt);
        return nullptr;
    }
    mt->head->top_level = MEMTABLE_MAX_LEVEL - 1;
    mt->limit = limit;
    mt->size = 0;
    mt->top_level = 0;
    return mt;
}

extern "C" MORVADB_API void memtable_destroy(memtable *mt) {
    if (mt == nullptr) return;
    memtable_node *n = mt->head->forward[0];
    while (n != nullptr) {
        memtable_node *next = n->forward[0];
        std::free(n);
        n = next;
    }
    std::free(mt->head);
    std::free(mt);
}

extern "C" MORVADB_API int32_t memtable_put(memtable *mt, uint64_t tag, const void *key, uint64_t key_len,
                                            const void *value, uint64_t value_len) {
    if (mt == nullptr || !bytes_ok(key, key_len) || !bytes_ok(value, value_len)) return DB_ERR_INVALID;
    memtable_node *node;
    return morva::memtable_upsert(mt, tag, key, key_len, value, value_len, &node);
}

extern "C" MORVADB_API int32_t memtable_delete(memtable *mt, uint64_t tag, const void *key, uint64_t key_len) {
    if (mt == nullptr || !bytes_ok(key, key_len)) return DB_ERR_INVALID;
    memtable_node *node;
    int32_t st = morva::memtable_upsert(mt, tag, key, key_len, nullptr, 0, &node);
    if (st != DB_OK) return st;
    node->tombstone = 1;
    return DB_OK;
}

extern "C" MORVADB_API int32_t memtable_get(const memtable *mt, const void *key, uint64_t key_len,
                                            const uint8_t **value, uint64_t *value_len, int32_t *tombstone) {
    if (mt == nullptr || !bytes_ok(key, key_len)) return DB_ERR_INVALID;
    const memtable_node *n = morva::memtable_find(mt, key, key_len);
    if (n == nullptr) return DB_ERR_NOT_FOUND;
    if (value != nullptr) *value = morva::node_value(n);
    if (value_len != nullptr) *value_len = n->value_len;
    if (tombstone != nullptr) *tombstone = n->tombstone;
    return n->tombstone ? DB_ERR_NOT_FOUND : DB_OK;
}

extern "C" MORVADB_API int memtable_is_full(const memtable *mt) {
    return (mt != nullptr && mt->size >= mt->limit) ? 1 : 0;
}

extern "C" MORVADB_API uint64_t memtable_size(const memtable *mt) { return mt != nullptr ? mt->size : 0; }

extern "C" MORVADB_API int32_t memtable_iterate(const memtable *mt, memtable_iter_fn callback, void *context) {
    if (mt == nullptr || callback == nullptr) return DB_ERR_INVALID;
    for (const memtable_node *n = mt->head->forward[0]; n != nullptr; n = n->forward[0]) {
        memtable_entry e;
        e.tag = n->tag;
        e.key = morva::node_key(n);
        e.key_len = n->key_len;
        e.value = morva::node_value(n);
        e.value_len = n->value_len;
        e.tombstone = n->tombstone;
        int32_t r = callback(&e, context);
        if (r != 0) return r;
    }
    return DB_OK;
}
