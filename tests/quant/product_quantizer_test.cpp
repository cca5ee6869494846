// Product quantizer: training must be reproducible to the bit (codes are
// stored by hosts), so it is compared with a plain reference k-means written
// here; plus sub-vector layout, degenerate training sets and the three
// distance kernels.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <vector>

#include "quant/pq_kernels.h"
#include "quant/quant_support.h"

namespace {

using morva::quant::KernelIsa;

// Straightforward k-means: centroid-major codebook, sequential sums, strict
// comparisons so ties go to the lower index.
std::vector<float> reference_codebook(const std::vector<float> &vectors, uint32_t n, uint32_t dim, uint32_t j,
                                      uint32_t s) {
    std::vector<float> work(size_t(n) * s);
    for (uint32_t r = 0; r < n; ++r)
        for (uint32_t d = 0; d < s; ++d) work[size_t(r) * s + d] = vectors[size_t(r) * dim + j * s + d];
    std::vector<float> book(256 * s);
    for (uint32_t c = 0; c < 256; ++c) {
        const float at = float(c) * (1.0f / 256.0f) * float(n);
        uint32_t r = uint32_t(at);
        if (r >= n) r = n - 1;
        for (uint32_t d = 0; d < s; ++d) book[c * s + d] = work[size_t(r) * s + d];
    }
    for (int it = 0; it < 20; ++it) {
        std::vector<uint32_t> assign(n);
        for (uint32_t r = 0; r < n; ++r) {
            uint32_t best = 0;
            float best_dist = 0;
            for (uint32_t c = 0; c < 256; ++c) {
                float dist = 0.0f;
                for (uint32_t d = 0; d < s; ++d) {
                    const float diff = work[size_t(r) * s + d] - book[c * s + d];
                    dist += diff * diff;
                }
                if (c == 0 || dist < best_dist) {
                    best = c;
                    best_dist = dist;
                }
            }
            assign[r] = best;
        }
        std::vector<float> sums(256 * s, 0.0f);
        std::vector<uint32_t> counts(256, 0);
        for (uint32_t r = 0; r < n; ++r) {
            ++counts[assign[r]];
            for (uint32_t d = 0; d < s; ++d) sums[assign[r] * s + d] += work[size_t(r) * s + d];
        }
        for (uint32_t c = 0; c < 256; ++c)
            if (counts[c] > 0)
                for (uint32_t d = 0; d < s; ++d) book[c * s + d] = sums[c * s + d] / float(counts[c]);
    }
    return book;
}

void expect_reference_training(uint32_t n, uint32_t dim, uint32_t m, const std::vector<float> &vectors) {
    QuantizerPtr q = make_quantizer(QUANT_TYPE_PRODUCT, int32_t(dim), int32_t(m));
    ASSERT_EQ(morvadb_quant_train(q.get(), vectors.data(), n), 0);
    const uint32_t s = dim / m;
    ASSERT_EQ(q->subvector_length, s);
    ASSERT_EQ(q->product_trained, 1u);
    for (uint32_t j = 0; j < m; ++j) {
        const std::vector<float> ref = reference_codebook(vectors, n, dim, j, s);
        EXPECT_EQ(std::memcmp(q->codebooks[j], ref.data(), ref.size() * sizeof(float)), 0)
            << "n " << n << " position " << j;
    }
}

TEST(ProductQuantizer, TrainingMatchesReferenceKMeans) {
    expect_reference_training(1000, 6, 2, random_vectors(1000 * 6, 1));
    expect_reference_training(300, 17, 1, random_vectors(300 * 17, 2));
    // Fewer rows than centroids: several centroids start equal and the ties
    // go to the lower index.
    expect_reference_training(37, 9, 3, random_vectors(37 * 9, 3));
    // Heavily duplicated values: many exact distance ties.
    std::vector<float> coarse = random_vectors(500 * 4, 4);
    for (float &v : coarse) v = float(int(v * 3.0f));
    expect_reference_training(500, 4, 2, coarse);
}

TEST(ProductQuantizer, TrailingDimensionsTakePartInNothing) {
    // dimension 8, m 3: s = 2, dimensions 6 and 7 are ignored.
    QuantizerPtr q = make_quantizer(QUANT_TYPE_PRODUCT, 8, 3);
    std::vector<float> train = random_vectors(400 * 8, 9);
    ASSERT_EQ(morvadb_quant_train(q.get(), train.data(), 400), 0);
    EXPECT_EQ(q->subvector_length, 2u);
    EXPECT_EQ(morvadb_quant_code_size(q.get()), 3u);

    std::vector<float> v(train.begin(), train.begin() + 8);
    uint8_t code[3], code_changed[3];
    uint64_t size = 0;
    ASSERT_EQ(morvadb_quant_encode(q.get(), v.data(), code, &size), 0);
    EXPECT_EQ(size, 3u);
    v[6] = 1e30f;
    v[7] = -1e30f;
    ASSERT_EQ(morvadb_quant_encode(q.get(), v.data(), code_changed, nullptr), 0);
    EXPECT_EQ(std::memcmp(code, code_changed, 3), 0);

    float out[8];
    std::fill(out, out + 8, 42.0f);
    ASSERT_EQ(morvadb_quant_decode(q.get(), code, 3, out), 0);
    EXPECT_EQ(out[6], 42.0f);
    EXPECT_EQ(out[7], 42.0f);
    for (uint32_t j = 0; j < 3; ++j) {
        EXPECT_EQ(out[2 * j], q->codebooks[j][code[j] * 2]);
        EXPECT_EQ(out[2 * j + 1], q->codebooks[j][code[j] * 2 + 1]);
    }
}

TEST(ProductQuantizer, DegenerateTrainingSets) {
    // More sub-vectors than dimensions.
    QuantizerPtr small = make_quantizer(QUANT_TYPE_PRODUCT, 4, 8);
    const float four[4] = {1, 2, 3, 4};
    EXPECT_EQ(morvadb_quant_train(small.get(), four, 1), -1);
    EXPECT_EQ(small->product_trained, 0u);

    // One training vector: every centroid is that vector's sub-vector, every
    // code is all zeros and every distance 0.
    QuantizerPtr one = make_quantizer(QUANT_TYPE_PRODUCT, 6, 3);
    const float v[6] = {0.5f, -1, 2, 3, -4, 5};
    ASSERT_EQ(morvadb_quant_train(one.get(), v, 1), 0);
    for (uint32_t j = 0; j < 3; ++j)
        for (uint32_t c = 0; c < 256; ++c) {
            EXPECT_EQ(one->codebooks[j][c * 2], v[2 * j]);
            EXPECT_EQ(one->codebooks[j][c * 2 + 1], v[2 * j + 1]);
        }
    const std::vector<float> others = random_vectors(10 * 6, 11, -100, 100);
    for (int i = 0; i < 10; ++i) {
        uint8_t code[3];
        ASSERT_EQ(morvadb_quant_encode(one.get(), &others[i * 6], code, nullptr), 0);
        EXPECT_EQ(code[0] | code[1] | code[2], 0);
    }
    const uint8_t a[3] = {0, 17, 255}, b[3] = {3, 4, 5};
    EXPECT_EQ(morvadb_quant_distance(one.get(), a, 3, b, 3), 0.0f);

    // 256 distinct vectors: centroid c starts as vector c and, each row
    // being nearest to its own centroid, stays there.
    QuantizerPtr distinct = make_quantizer(QUANT_TYPE_PRODUCT, 4, 2);
    std::vector<float> rows(256 * 4);
    for (int c = 0; c < 256; ++c)
        for (int d = 0; d < 4; ++d) rows[c * 4 + d] = float(c) + 0.25f * float(d);
    ASSERT_EQ(morvadb_quant_train(distinct.get(), rows.data(), 256), 0);
    for (int c = 0; c < 256; ++c) {
        EXPECT_EQ(distinct->codebooks[0][c * 2], rows[c * 4]);
        EXPECT_EQ(distinct->codebooks[1][c * 2 + 1], rows[c * 4 + 3]);
        uint8_t code[2];
        ASSERT_EQ(morvadb_quant_encode(distinct.get(), &rows[c * 4], code, nullptr), 0);
        EXPECT_EQ(code[0], c);
        EXPECT_EQ(code[1], c);
    }
}

TEST(ProductQuantizer, EncodePicksNearestCentroidAndRetrainReplaces) {
    QuantizerPtr q = make_quantizer(QUANT_TYPE_PRODUCT, 6, 2);
    std::vector<float> train = random_vectors(600 * 6, 21);
    ASSERT_EQ(morvadb_quant_train(q.get(), train.data(), 600), 0);
    const std::vector<float> probes = random_vectors(50 * 6, 22, -2, 2);
    for (int i = 0; i < 50; ++i) {
        uint8_t code[2];
        ASSERT_EQ(morvadb_quant_encode(q.get(), &probes[i * 6], code, nullptr), 0);
        for (uint32_t j = 0; j < 2; ++j) {
            uint32_t best = 0;
            float best_dist = 0;
            for (uint32_t c = 0; c < 256; ++c) {
                float dist = 0;
                for (uint32_t d = 0; d < 3; ++d) {
                    const float diff = probes[i * 6 + j * 3 + d] - q->codebooks[j][c * 3 + d];
                    dist += diff * diff;
                }
                if (c == 0 || dist < best_dist) best = c, best_dist = dist;
            }
            EXPECT_EQ(code[j], best);
        }
    }
    const float before = q->codebooks[0][0];
    std::vector<float> shifted = train;
    for (float &v : shifted) v += 10.0f;
    ASSERT_EQ(morvadb_quant_train(q.get(), shifted.data(), 600), 0);
    EXPECT_NE(q->codebooks[0][0], before);
    EXPECT_GT(q->codebooks[0][0], 8.0f);
}

// Reference symmetric distance in double precision.
double reference_distance(const quantizer *q, const uint8_t *a, const uint8_t *b) {
    double sum = 0;
    const uint32_t s = q->subvector_length;
    for (uint32_t j = 0; j < q->subquantizers; ++j)
        for (uint32_t d = 0; d < s; ++d) {
            const double diff = double(q->codebooks[j][a[j] * s + d]) - double(q->codebooks[j][b[j] * s + d]);
            sum += diff * diff;
        }
    return sum;
}

TEST(ProductQuantizerKernels, AllSupportedKernelsAgree) {
    std::vector<KernelIsa> isas;
    for (KernelIsa isa : {KernelIsa::Baseline, KernelIsa::Avx2, KernelIsa::Avx512})
        if (morva::quant::cpu_supports(isa)) isas.push_back(isa);
    std::mt19937 rng(77);
    for (uint32_t s : {1u, 3u, 8u, 15u, 16u, 17u}) {
        for (uint32_t m : {1u, 5u}) {
            const uint32_t dim = s * m;
            QuantizerPtr q = make_quantizer(QUANT_TYPE_PRODUCT, int32_t(dim), int32_t(m));
            const std::vector<float> train = random_vectors(size_t(300) * dim, s * 100 + m, -3, 3);
            ASSERT_EQ(morvadb_quant_train(q.get(), train.data(), 300), 0);
            for (int round = 0; round < 40; ++round) {
                std::vector<uint8_t> a(m), b(m);
                for (uint32_t j = 0; j < m; ++j) a[j] = uint8_t(rng()), b[j] = uint8_t(rng());
                const double expected = reference_distance(q.get(), a.data(), b.data());
                for (KernelIsa isa : isas) {
                    const float got =
                        morva::quant::symmetric_distance_kernel(isa)(q->codebooks, a.data(), b.data(), m, s);
                    EXPECT_NEAR(got, expected, 1e-5 * expected + 1e-30) << "s " << s << " m " << m;
                }
                EXPECT_NEAR(morvadb_quant_distance(q.get(), a.data(), m, b.data(), m), expected, 1e-5 * expected);
            }
            // Identical codes are at distance exactly 0 in every kernel.
            std::vector<uint8_t> same(m, 9);
            for (KernelIsa isa : isas)
                EXPECT_EQ(morva::quant::symmetric_distance_kernel(isa)(q->codebooks, same.data(), same.data(), m, s),
                          0.0f);
        }
    }
}

TEST(ProductQuantizerKernels, NearestCentroidIsIdenticalInEveryKernel) {
    std::vector<KernelIsa> isas;
    for (KernelIsa isa : {KernelIsa::Baseline, KernelIsa::Avx2, KernelIsa::Avx512})
        if (morva::quant::cpu_supports(isa)) isas.push_back(isa);
    std::mt19937 rng(3);
    for (uint32_t s : {1u, 3u, 8u, 17u}) {
        // Coarse values make many exact ties between centroids.
        std::vector<float> transposed(256 * s);
        for (float &v : transposed) v = float(int(rng() % 7) - 3);
        for (int round = 0; round < 200; ++round) {
            std::vector<float> x(s);
            for (float &v : x) v = float(int(rng() % 9) - 4) * 0.5f;
            uint32_t best = 0;
            float best_dist = 0;
            for (uint32_t c = 0; c < 256; ++c) {
                float dist = 0;
                for (uint32_t d = 0; d < s; ++d) {
                    const float diff = x[d] - transposed[d * 256 + c];
                    dist += diff * diff;
                }
                if (c == 0 || dist < best_dist) best = c, best_dist = dist;
            }
            for (KernelIsa isa : isas)
                EXPECT_EQ(morva::quant::nearest_centroid_kernel(isa)(x.data(), transposed.data(), s), best)
                    << "s " << s << " isa " << int(isa);
        }
    }
}

}  // namespace
