// Ranking of the quantized index's search.
//
// The quantized search ranks its hits by a partial selection sort: for each
// output position p in turn, the smallest distance among positions p..n-1
// (the first such position on ties) is swapped into p. Quantized distances
// tie often (identical codes, repeated ids), and among ties the swaps decide
// the order, so callers see that exact order. select_nearest produces it
// without the k passes over all n hits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morvadb.h"

namespace morva {

// Writes min(n, k) hits (ids[i], distances[i]) into out in the order the
// partial selection sort over entries 0..n-1 gives, and returns their
// number. Costs O(n log k) plus O(c log c) for the c entries at or below
// the k-th smallest distance. Throws std::bad_alloc when out of memory.
size_t select_nearest(const float *distances, const uint64_t *ids, size_t n, size_t k, vec_result *out);

// The selection sort itself, k passes over all n hits; select_nearest
// falls back to it when a distance is NaN, which has no consistent order.
size_t selection_sort_nearest(const float *distances, const uint64_t *ids, size_t n, size_t k, vec_result *out);

}  // namespace morva
