/* Record layouts of the B-tree family that hosts read directly (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(btree_node, is_leaf) == 0, "btree_node.is_leaf");
_Static_assert(offsetof(btree_node, num_keys) == 4, "btree_node.num_keys");
_Static_assert(offsetof(btree_node, keys) == 8, "btree_node.keys");
_Static_assert(offsetof(btree_node, key_lens) == 264, "btree_node.key_lens");
_Static_assert(offsetof(btree_node, values) == 520, "btree_node.values");
_Static_assert(offsetof(btree_node, value_lens) == 776, "btree_node.value_lens");
_Static_assert(offsetof(btree_node, children) == 1032, "btree_node.children");
_Static_assert(offsetof(btree_node, next) == 1296, "btree_node.next");
_Static_assert(sizeof(btree_node) == 1304, "btree_node size");

_Static_assert(offsetof(btree, root) == 0, "btree.root");

_Static_assert(offsetof(btree_entry, key) == 0, "btree_entry.key");
_Static_assert(offsetof(btree_entry, key_len) == 8, "btree_entry.key_len");
_Static_assert(offsetof(btree_entry, value) == 16, "btree_entry.value");
_Static_assert(offsetof(btree_entry, value_len) == 24, "btree_entry.value_len");
_Static_assert(sizeof(btree_entry) == 32, "btree_entry size");

_Static_assert(offsetof(btree_cursor, entries) == 0, "btree_cursor.entries");
_Static_assert(offsetof(btree_cursor, entry_count) == 8, "btree_cursor.entry_count");
_Static_assert(offsetof(btree_cursor, position) == 12, "btree_cursor.position");
