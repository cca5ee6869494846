/* Record layouts of the term dictionary and inverted index (x86-64). */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(fst_node, children) == 0, "fst_node.children");
_Static_assert(offsetof(fst_node, value) == 2048, "fst_node.value");
_Static_assert(offsetof(fst_node, is_final) == 2056, "fst_node.is_final");
_Static_assert(sizeof(fst_node) == 2064, "fst_node size");

_Static_assert(offsetof(fst, root) == 0, "fst.root");
_Static_assert(offsetof(fst, term_count) == 8, "fst.term_count");
_Static_assert(offsetof(fst, node_count) == 16, "fst.node_count");
_Static_assert(sizeof(fst) == 24, "fst size");

_Static_assert(offsetof(fts_index, terms) == 0, "fts_index.terms");
_Static_assert(offsetof(fts_index, next_doc_id) == 8, "fts_index.next_doc_id");
_Static_assert(offsetof(fts_index, doc_count) == 16, "fts_index.doc_count");
_Static_assert(offsetof(fts_index, posting_count) == 20, "fts_index.posting_count");
_Static_assert(sizeof(fts_index) == 24, "fts_index size");
