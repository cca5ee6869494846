// The three exported distance kernels. Each sum is accumulated in one
// single-precision accumulator in increasing index order, so results are
// reproducible bit for bit; the multi-vector kernels in distance_batch.cpp
// reproduce exactly these sums lane by lane.
#include "vector/distance.h"

#include <cmath>
#include <cstring>

extern "C" {

MORVADB_API float vec_l2_distance(const float *a, const float *b, uint32_t dim) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; i++) {
        float d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

MORVADB_API float vec_ip_distance(const float *a, const float *b, uint32_t dim) {
    float dot = 0.0f;
    for (uint32_t i = 0; i < dim; i++) dot += a[i] * b[i];
    return morva::flip_sign(dot);
}

MORVADB_API float vec_cosine_distance(const float *a, const float *b, uint32_t dim) {
    float dot = 0.0f, na = 0.0f, nb = 0.0f;
    for (uint32_t i = 0; i < dim; i++) {
        dot += a[i] * b[i];
        na += a[i] * a[i];
        nb += b[i] * b[i];
    }
    return morva::cosine_from_sums(dot, na, nb);
}

MORVADB_API vec_distance_fn vec_get_dist_func(vec_metric metric) {
    switch (metric) {
    case VEC_METRIC_COSINE: return vec_cosine_distance;
    case VEC_METRIC_IP: return vec_ip_distance;
    default: return vec_l2_distance;
    }
}

}  // extern "C"

namespace morva {

KernelKind kernel_kind(vec_distance_fn fn) {
    if (fn == vec_l2_distance) return KernelKind::L2;
    if (fn == vec_ip_distance) return KernelKind::InnerProduct;
    if (fn == vec_cosine_distance) return KernelKind::Cosine;
    return KernelKind::Custom;
}

}  // namespace morva
