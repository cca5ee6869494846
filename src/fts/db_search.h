// Full-text search on a database handle: the text side shared by
// db_fts_search and db_hybrid_search.
#pragma once

#include <cstdint>
#include <vector>

#include "morvadb.h"

namespace morva {

// Room for parsed query items, for ids of one fuzzy lookup, and for the
// ids one search collects.
constexpr int32_t kSearchQueryItems = 64;
constexpr int32_t kFuzzyIdsPerTerm = 256;
constexpr size_t kMaxSearchHits = 1024;

// Parses query and looks its plain and fuzzy terms up in idx, appending each
// new document id in discovery order (at most kMaxSearchHits). Returns
// false when the query has no items. Throws std::bad_alloc. The caller holds
// the handle's catalog_lock, which guards the index.
bool collect_text_hits(fts_index *idx, const char *query, std::vector<uint64_t> *ids);

}  // namespace morva
