/* Record layouts of the memtable and memtable pair as hosts see them on
 * x86-64. */
#include <stddef.h>
#include "morvadb.h"

/* A node's fixed part is 32 bytes; its forward pointers follow directly. */
_Static_assert(offsetof(memtable_node, tag) == 0, "memtable_node.tag");
_Static_assert(offsetof(memtable_node, key_len) == 8, "memtable_node.key_len");
_Static_assert(offsetof(memtable_node, value_len) == 16, "memtable_node.value_len");
_Static_assert(offsetof(memtable_node, tombstone) == 24, "memtable_node.tombstone");
_Static_assert(offsetof(memtable_node, top_level) == 28, "memtable_node.top_level");
_Static_assert(offsetof(memtable_node, forward) == MEMTABLE_NODE_OVERHEAD, "memtable_node.forward");

_Static_assert(offsetof(memtable, head) == 0, "memtable.head");
_Static_assert(offsetof(memtable, limit) == 8, "memtable.limit");
_Static_assert(offsetof(memtable, size) == 16, "memtable.size");
_Static_assert(offsetof(memtable, top_level) == 24, "memtable.top_level");

_Static_assert(offsetof(memtable_entry, tag) == 0, "memtable_entry.tag");
_Static_assert(offsetof(memtable_entry, key) == 8, "memtable_entry.key");
_Static_assert(offsetof(memtable_entry, key_len) == 16, "memtable_entry.key_len");
_Static_assert(offsetof(memtable_entry, value) == 24, "memtable_entry.value");
_Static_assert(offsetof(memtable_entry, value_len) == 32, "memtable_entry.value_len");
_Static_assert(offsetof(memtable_entry, tombstone) == 40, "memtable_entry.tombstone");
_Static_assert(sizeof(memtable_entry) == 48, "memtable_entry size");

_Static_assert(offsetof(lsm, path) == 0, "lsm.path");
_Static_assert(offsetof(lsm, memtable_limit) == 8, "lsm.memtable_limit");
_Static_assert(offsetof(lsm, active) == 16, "lsm.active");
_Static_assert(offsetof(lsm, flushing) == 24, "lsm.flushing");
_Static_assert(offsetof(lsm, next_seq) == 32, "lsm.next_seq");
