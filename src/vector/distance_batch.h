// Distances from one query to many vectors at once. Each vector gets its
// own SIMD lane whose accumulator adds the terms in increasing index order,
// so every result is bit-identical to the exported single-vector kernel of
// the same metric. Used by the flat scans and the HNSW neighbour expansion.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morvadb.h"
#include "vector/distance.h"

namespace morva {

enum class SimdLevel { Portable, Avx2, Avx512 };

// The best level this processor and operating system support (probed once).
SimdLevel detected_simd_level();

// out[j] = fn(query, vectors[j], dim) for j < n. Known kernels run lane-wise
// at the detected level; any other function is called once per vector.
void batch_distances(vec_distance_fn fn, const float *query, const float *const *vectors, size_t n,
                     uint32_t dim, float *out);

// Same, forcing a level (tests compare every level with the scalar kernels).
// A level the processor lacks falls back to the portable path.
void batch_distances_at(SimdLevel level, KernelKind kind, const float *query, const float *const *vectors,
                        size_t n, uint32_t dim, float *out);

}  // namespace morva
