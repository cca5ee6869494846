// Result sets: the rows of a query or the hits of a full-text search, read
// by the host through a forward cursor or by row number. Result sets are
// plain records without locks; one thread at a time reads a given one. The
// record and every array it owns come from malloc, so that rs_close can also
// release a zero-filled result_set a host allocated itself.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

// Growable arrays start at this many slots and double.
constexpr int32_t kInitialRowSlots = 64;

// A new, empty query result (cursor -1, no columns, no rows); null when out
// of memory.
result_set *result_set_create();

// A new search result with the "doc_id" and "score" columns over count ids
// and scores, copied in; null when out of memory.
result_set *result_set_create_search(const int64_t *ids, const double *scores, int32_t count);

// Takes ownership of an already allocated row (malloc'd) of len bytes,
// appending it without a copy. Returns false (and frees nothing) when the
// arrays cannot grow.
bool result_set_adopt_row(result_set *rs, uint8_t *row, uint64_t len);

}  // namespace morva
