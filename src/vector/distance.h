// Distance kernels shared by the vector store, the HNSW graph and the
// filtered searches. Smaller is nearer for every metric.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "morvadb.h"

namespace morva {

// Flips the sign bit, so +0.0 becomes -0.0 (a plain negation of a sum).
inline float flip_sign(float x) {
    uint32_t bits;
    std::memcpy(&bits, &x, 4);
    bits ^= 0x80000000u;
    std::memcpy(&x, &bits, 4);
    return x;
}

// 1 - dot / sqrt(nb * na); exactly 1.0 when the product of the squared
// norms is zero, so a zero vector is at distance 1 from everything. A NaN
// product is not zero and flows through.
inline float cosine_from_sums(float dot, float na, float nb) {
    float p = nb * na;
    if (p == 0.0f) return 1.0f;
    return 1.0f - dot / sqrtf(p);
}

// Which exported kernel a distance pointer is; Custom for anything else, in
// which case callers invoke the pointer itself.
enum class KernelKind { L2, InnerProduct, Cosine, Custom };
KernelKind kernel_kind(vec_distance_fn fn);

}  // namespace morva
