// Skip-list memtable internals. A memtable_node is one allocation: the
// fixed header, top_level + 1 forward pointers, the key bytes, the value
// bytes. Invariants: level 0 links every node in strictly ascending key
// order; level i links a subset of level i - 1; no key appears twice;
// `size` is the sum of the charges of all nodes (the head is free).
// REQUIRES external synchronization: one writer at a time, no readers
// during a write.
//
// Every memtable the library creates carries, after the public record, a
// small filter of the keys it holds (MemtableState): a lookup of a key the
// filter has never seen returns at once without walking the skip list.
// Keys are only ever added (nodes are never removed), so the filter never
// needs clearing; it is sized from the byte limit and only grows less
// selective when a memtable is filled far beyond its limit.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

inline uint8_t *node_key(memtable_node *n) {
    return reinterpret_cast<uint8_t *>(n->forward + n->top_level + 1);
}
inline const uint8_t *node_key(const memtable_node *n) {
    return reinterpret_cast<const uint8_t *>(n->forward + n->top_level + 1);
}
inline uint8_t *node_value(memtable_node *n) { return node_key(n) + n->key_len; }
inline const uint8_t *node_value(const memtable_node *n) { return node_key(n) + n->key_len; }

// The node holding exactly this key, or null; found through the upper
// levels in expected O(log n), unless the filter rules the key out.
memtable_node *memtable_find(const memtable *mt, const void *key, uint64_t key_len);

// Inserts or overwrites as memtable_put and hands back the node that now
// holds the key. On failure the memtable is unchanged.
int32_t memtable_upsert(memtable *mt, uint64_t tag, const void *key, uint64_t key_len, const void *value,
                        uint64_t value_len, memtable_node **node);

}  // namespace morva
