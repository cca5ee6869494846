// Product quantizer: codebooks learned by k-means per sub-vector position,
// codes of one centroid index per position, and the symmetric distance.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "quant/pq_kernels.h"
#include "quant/quantizer.h"
#include "util/coding.h"

namespace morva::quant {
namespace {

constexpr int kIterations = QUANT_KMEANS_ITERATIONS;
constexpr float kInitialStep = 0.00390625f;  // 1/256

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

template <typename T>
T *allocate(uint64_t count) {
    uint64_t bytes = 0;
    if (mul_overflows(count, sizeof(T), &bytes) || bytes > SIZE_MAX) return nullptr;
    return static_cast<T *>(std::malloc(bytes == 0 ? 1 : static_cast<size_t>(bytes)));
}

// m arrays plus the array holding them; frees whatever is present.
void free_arrays(float **arrays, uint32_t m) {
    if (arrays == nullptr) return;
    for (uint32_t j = 0; j < m; ++j) std::free(arrays[j]);
    std::free(arrays);
}

// Refinement scratch shared by all positions: the assignment of every
// training row, and the per-centroid sums and counts of an iteration.
struct KMeansScratch {
    MallocPtr<uint8_t> assignment;
    MallocPtr<float> sums;
    MallocPtr<uint32_t> counts;

    bool allocate_for(uint32_t n, uint32_t s) {
        assignment.reset(allocate<uint8_t>(n));
        sums.reset(allocate<float>(static_cast<uint64_t>(kCentroids) * s));
        counts.reset(allocate<uint32_t>(kCentroids));
        return assignment && sums && counts;
    }
};

void transpose_codebook(const float *codebook, uint32_t s, float *transposed) {
    for (uint32_t c = 0; c < kCentroids; ++c)
        for (uint32_t d = 0; d < s; ++d) transposed[static_cast<size_t>(d) * kCentroids + c] = codebook[static_cast<size_t>(c) * s + d];
}

// One position: initial centroids spread over the training rows, then a
// fixed number of Lloyd iterations (no convergence test). work holds the n
// sub-vectors of this position, row after row.
void train_position(const float *work, uint32_t n, uint32_t s, KMeansScratch *scratch, float *codebook,
                    float *transposed) {
    for (uint32_t c = 0; c < kCentroids; ++c) {
        // Single precision, as c / 256 x n; with fewer than 256 rows several
        // centroids start from the same row.
        uint64_t r = static_cast<uint64_t>(static_cast<float>(c) * kInitialStep * static_cast<float>(n));
        if (r >= n) r = n - 1;
        std::memcpy(codebook + static_cast<size_t>(c) * s, work + r * s, sizeof(float) * s);
    }
    transpose_codebook(codebook, s, transposed);
    if (scratch == nullptr) return;

    const NearestCentroidFn nearest = chosen_nearest_centroid();
    uint8_t *assignment = scratch->assignment.get();
    float *sums = scratch->sums.get();
    uint32_t *counts = scratch->counts.get();
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        for (uint32_t r = 0; r < n; ++r)
            assignment[r] = static_cast<uint8_t>(nearest(work + static_cast<size_t>(r) * s, transposed, s));
        std::memset(sums, 0, sizeof(float) * kCentroids * s);
        std::memset(counts, 0, sizeof(uint32_t) * kCentroids);
        for (uint32_t r = 0; r < n; ++r) {
            const uint32_t c = assignment[r];
            ++counts[c];
            const float *row = work + static_cast<size_t>(r) * s;
            float *sum = sums + static_cast<size_t>(c) * s;
            for (uint32_t d = 0; d < s; ++d) sum[d] += row[d];
        }
        // A centroid without rows keeps its previous value.
        for (uint32_t c = 0; c < kCentroids; ++c) {
            if (counts[c] == 0) continue;
            const float count = static_cast<float>(counts[c]);
            const size_t at = static_cast<size_t>(c) * s;
            for (uint32_t d = 0; d < s; ++d) codebook[at + d] = sums[at + d] / count;
        }
        transpose_codebook(codebook, s, transposed);
    }
}

}  // namespace

int32_t product_train(QuantizerState &state, const float *vectors, uint32_t n) {
    quantizer &q = state.pub;
    const uint32_t m = q.subquantizers;
    if (m == 0 || q.dimension < m) return -1;
    const uint32_t s = q.dimension / m;
    const uint64_t per_book = static_cast<uint64_t>(kCentroids) * s;

    // New parameters are built aside and only replace the old ones once
    // complete, so a failure leaves a trained quantizer trained.
    auto **books = static_cast<float **>(std::calloc(m, sizeof(float *)));
    auto **transposed = static_cast<float **>(std::calloc(m, sizeof(float *)));
    MallocPtr<float> work(allocate<float>(static_cast<uint64_t>(n) * s));
    if (books == nullptr || transposed == nullptr || !work) {
        free_arrays(books, m);
        free_arrays(transposed, m);
        return -1;
    }
    // Without scratch the iterations are skipped and the initial centroids
    // stay: training still yields usable codebooks.
    KMeansScratch scratch;
    const bool refine = scratch.allocate_for(n, s);

    for (uint32_t j = 0; j < m; ++j) {
        books[j] = allocate<float>(per_book);
        transposed[j] = allocate<float>(per_book);
        if (books[j] == nullptr || transposed[j] == nullptr) {
            free_arrays(books, m);
            free_arrays(transposed, m);
            return -1;
        }
        for (uint32_t r = 0; r < n; ++r)
            std::memcpy(work.get() + static_cast<size_t>(r) * s,
                        vectors + static_cast<size_t>(r) * q.dimension + static_cast<size_t>(j) * s, sizeof(float) * s);
        train_position(work.get(), n, s, refine ? &scratch : nullptr, books[j], transposed[j]);
    }

    product_release(state);
    q.codebooks = books;
    state.transposed = transposed;
    q.subvector_length = s;
    q.product_trained = 1;
    return 0;
}

void product_encode(const QuantizerState &state, const float *vector, uint8_t *code) {
    const quantizer &q = state.pub;
    const uint32_t s = q.subvector_length;
    const NearestCentroidFn nearest = chosen_nearest_centroid();
    for (uint32_t j = 0; j < q.subquantizers; ++j)
        code[j] = static_cast<uint8_t>(nearest(vector + static_cast<size_t>(j) * s, state.transposed[j], s));
}

void product_decode(const quantizer &q, const uint8_t *code, float *vector) {
    const uint32_t s = q.subvector_length;
    for (uint32_t j = 0; j < q.subquantizers; ++j)
        std::memcpy(vector + static_cast<size_t>(j) * s, q.codebooks[j] + static_cast<size_t>(code[j]) * s,
                    sizeof(float) * s);
}

float product_distance(const quantizer &q, const uint8_t *code_a, const uint8_t *code_b) {
    return chosen_symmetric_distance()(q.codebooks, code_a, code_b, q.subquantizers, q.subvector_length);
}

void product_release(QuantizerState &state) {
    quantizer &q = state.pub;
    free_arrays(q.codebooks, q.subquantizers);
    free_arrays(state.transposed, q.subquantizers);
    q.codebooks = nullptr;
    state.transposed = nullptr;
    q.product_trained = 0;
}

}  // namespace morva::quant
