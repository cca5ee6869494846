#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "vector/distance_batch.h"
#include "vector/vector_support.h"

using vtest::float_bits;

namespace {

// The reference: one accumulator, increasing index order.
float ref_l2(const float *a, const float *b, uint32_t n) {
    float s = 0;
    for (uint32_t i = 0; i < n; i++) s = s + (a[i] - b[i]) * (a[i] - b[i]);
    return s;
}
float ref_ip(const float *a, const float *b, uint32_t n) {
    float s = 0;
    for (uint32_t i = 0; i < n; i++) s = s + a[i] * b[i];
    return -s;
}
float ref_cos(const float *a, const float *b, uint32_t n) {
    float d = 0, na = 0, nb = 0;
    for (uint32_t i = 0; i < n; i++) {
        d = d + a[i] * b[i];
        na = na + a[i] * a[i];
        nb = nb + b[i] * b[i];
    }
    float p = nb * na;
    if (p == 0.0f) return 1.0f;
    return 1.0f - d / std::sqrt(p);
}

const uint32_t kDims[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 31, 32, 33, 128, 1536};

TEST(DistanceKernels, ExportedKernelsMatchSequentialSumBitForBit) {
    for (uint32_t dim : kDims) {
        // Values of mixed magnitude make reassociation visible.
        auto a = vtest::random_vectors(8, dim, 11 + dim, -1000.0f, 1000.0f);
        auto b = vtest::random_vectors(8, dim, 97 + dim, -0.001f, 0.001f);
        for (int r = 0; r < 8; r++) {
            const float *x = a.data() + r * dim, *y = b.data() + r * dim;
            ASSERT_EQ(float_bits(vec_l2_distance(x, y, dim)), float_bits(ref_l2(x, y, dim))) << dim;
            ASSERT_EQ(float_bits(vec_ip_distance(x, y, dim)), float_bits(ref_ip(x, y, dim))) << dim;
            ASSERT_EQ(float_bits(vec_cosine_distance(x, y, dim)), float_bits(ref_cos(x, y, dim))) << dim;
        }
    }
}

TEST(DistanceKernels, BatchKernelsMatchAtEverySimdLevel) {
    using morva::KernelKind;
    using morva::SimdLevel;
    const KernelKind kinds[] = {KernelKind::L2, KernelKind::InnerProduct, KernelKind::Cosine};
    const SimdLevel levels[] = {SimdLevel::Portable, SimdLevel::Avx2, SimdLevel::Avx512};
    for (uint32_t dim : kDims) {
        const size_t n = 37;  // not a multiple of any lane count
        auto data = vtest::random_vectors(n, dim, 5 + dim, -50.0f, 50.0f);
        auto q = vtest::random_vectors(1, dim, 99 + dim, -3.0f, 3.0f);
        if (dim > 0) data[3 * dim] = 0.0f;  // a partly zero vector
        std::vector<const float *> ptrs;
        for (size_t j = 0; j < n; j++) ptrs.push_back(data.data() + j * dim);
        for (KernelKind kind : kinds) {
            vec_distance_fn fn = kind == KernelKind::L2 ? vec_l2_distance
                                 : kind == KernelKind::InnerProduct ? vec_ip_distance
                                                                    : vec_cosine_distance;
            for (SimdLevel level : levels) {
                for (size_t count : {size_t{1}, size_t{7}, size_t{16}, n}) {
                    std::vector<float> out(count, -7.0f);
                    morva::batch_distances_at(level, kind, q.data(), ptrs.data(), count, dim, out.data());
                    for (size_t j = 0; j < count; j++)
                        ASSERT_EQ(float_bits(out[j]), float_bits(fn(q.data(), ptrs[j], dim)))
                            << "dim " << dim << " level " << int(level) << " kind " << int(kind) << " j " << j;
                }
            }
        }
    }
}

TEST(DistanceKernels, SpecialValues) {
    const float x[] = {1, 0}, y[] = {0, 1}, minus_x[] = {-1, 0}, zero[] = {0, 0};
    EXPECT_EQ(vec_l2_distance(x, x, 2), 0.0f);
    EXPECT_EQ(vec_cosine_distance(x, minus_x, 2), 2.0f);
    EXPECT_EQ(vec_ip_distance(x, minus_x, 2), 1.0f);
    EXPECT_EQ(vec_cosine_distance(x, y, 2), 1.0f);
    // An inner product of +0 comes back as -0 (sign flip, not 0 - dot).
    EXPECT_EQ(float_bits(vec_ip_distance(x, y, 2)), float_bits(-0.0f));
    EXPECT_EQ(vec_cosine_distance(zero, x, 2), 1.0f);
    EXPECT_EQ(vec_cosine_distance(zero, zero, 2), 1.0f);
    // Dimension 0.
    EXPECT_EQ(float_bits(vec_l2_distance(x, y, 0)), float_bits(0.0f));
    EXPECT_EQ(float_bits(vec_ip_distance(x, y, 0)), float_bits(-0.0f));
    EXPECT_EQ(vec_cosine_distance(x, y, 0), 1.0f);
    // A NaN norm product is not zero: it flows through.
    const float nan[] = {std::numeric_limits<float>::quiet_NaN(), 0};
    EXPECT_TRUE(std::isnan(vec_cosine_distance(nan, x, 2)));

    EXPECT_EQ(vec_get_dist_func(VEC_METRIC_L2), vec_l2_distance);
    EXPECT_EQ(vec_get_dist_func(VEC_METRIC_COSINE), vec_cosine_distance);
    EXPECT_EQ(vec_get_dist_func(VEC_METRIC_IP), vec_ip_distance);
    EXPECT_EQ(vec_get_dist_func(3), vec_l2_distance);
    EXPECT_EQ(vec_get_dist_func(static_cast<vec_metric>(-1)), vec_l2_distance);
}

TEST(DistanceKernels, BatchWithCustomKernelCallsItPerVector) {
    auto custom = [](const float *a, const float *, uint32_t) -> float { return a[0] + 1.0f; };
    const float q[] = {2.0f}, v[] = {0.0f};
    const float *ptrs[] = {v, v, v};
    float out[3];
    morva::batch_distances(custom, q, ptrs, 3, 1, out);
    for (float d : out) EXPECT_EQ(d, 3.0f);
}

}  // namespace
