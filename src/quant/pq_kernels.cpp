// Product quantizer kernels: baseline (SSE2, part of every x86-64
// processor), AVX2 with FMA, and AVX-512F. Each wide variant is compiled for
// its instruction set through a target attribute, so the rest of the library
// keeps the baseline instruction set and the wide code only runs once the
// processor has been checked.
#include "quant/pq_kernels.h"

#include <immintrin.h>

#include <atomic>
#include <cmath>

namespace morva::quant {
namespace {

// ---- Symmetric distance ----------------------------------------------------

// Four running sums over the four-aligned part of each sub-vector, and a
// scalar sum of the rest.
float symmetric_baseline(const float *const *codebooks, const uint8_t *code_a, const uint8_t *code_b, uint32_t m,
                         uint32_t s) {
    float sum0 = 0.0f, sum1 = 0.0f, sum2 = 0.0f, sum3 = 0.0f, tail = 0.0f;
    const uint32_t wide = s & ~3u;
    for (uint32_t j = 0; j < m; ++j) {
        const float *a = codebooks[j] + static_cast<size_t>(code_a[j]) * s;
        const float *b = codebooks[j] + static_cast<size_t>(code_b[j]) * s;
        uint32_t i = 0;
        for (; i < wide; i += 4) {
            const float d0 = a[i] - b[i], d1 = a[i + 1] - b[i + 1];
            const float d2 = a[i + 2] - b[i + 2], d3 = a[i + 3] - b[i + 3];
            sum0 += d0 * d0;
            sum1 += d1 * d1;
            sum2 += d2 * d2;
            sum3 += d3 * d3;
        }
        for (; i < s; ++i) {
            const float d = a[i] - b[i];
            tail += d * d;
        }
    }
    return ((sum0 + sum1) + (sum2 + sum3)) + tail;
}

__attribute__((target("avx2,fma"))) float symmetric_avx2(const float *const *codebooks, const uint8_t *code_a,
                                                          const uint8_t *code_b, uint32_t m, uint32_t s) {
    __m256 acc = _mm256_setzero_ps();
    float tail = 0.0f;
    const uint32_t wide = s & ~7u;
    for (uint32_t j = 0; j < m; ++j) {
        const float *a = codebooks[j] + static_cast<size_t>(code_a[j]) * s;
        const float *b = codebooks[j] + static_cast<size_t>(code_b[j]) * s;
        uint32_t i = 0;
        for (; i < wide; i += 8) {
            const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
            acc = _mm256_fmadd_ps(d, d, acc);
        }
        for (; i < s; ++i) {
            const float d = a[i] - b[i];
            tail += d * d;
        }
    }
    __m128 half = _mm_add_ps(_mm256_castps256_ps128(acc), _mm256_extractf128_ps(acc, 1));
    half = _mm_add_ps(half, _mm_movehl_ps(half, half));
    half = _mm_add_ss(half, _mm_movehdup_ps(half));
    return _mm_cvtss_f32(half) + tail;
}

__attribute__((target("avx512f"))) float symmetric_avx512(const float *const *codebooks, const uint8_t *code_a,
                                                           const uint8_t *code_b, uint32_t m, uint32_t s) {
    __m512 acc = _mm512_setzero_ps();
    float tail = 0.0f;
    const uint32_t wide = s & ~15u;
    for (uint32_t j = 0; j < m; ++j) {
        const float *a = codebooks[j] + static_cast<size_t>(code_a[j]) * s;
        const float *b = codebooks[j] + static_cast<size_t>(code_b[j]) * s;
        uint32_t i = 0;
        for (; i < wide; i += 16) {
            const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
            acc = _mm512_fmadd_ps(d, d, acc);
        }
        for (; i < s; ++i) {
            const float d = a[i] - b[i];
            tail += d * d;
        }
    }
    // Pairwise sum of the lanes (written out: the compiler's reduction
    // helper trips its own uninitialized-value warnings).
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, acc);
    for (int width = 8; width >= 1; width /= 2)
        for (int i = 0; i < width; ++i) lanes[i] += lanes[i + width];
    return lanes[0] + tail;
}

// ---- Nearest centroid ------------------------------------------------------
// Each variant fills dist[256] with one lane per centroid, keeping eight
// vector accumulators in flight so the additions do not wait on each other,
// then finds the first index of the smallest distance. A NaN distance is
// never strictly smaller than anything, so it is skipped, and when
// centroid 0's own distance is NaN nothing can replace it.

constexpr uint32_t kAccumulators = 8;

__attribute__((target("sse2"))) uint32_t nearest_baseline(const float *x, const float *transposed, uint32_t s) {
    alignas(64) float dist[kCentroids];
    constexpr uint32_t kGroup = 4 * kAccumulators;
    for (uint32_t g = 0; g < kCentroids; g += kGroup) {
        __m128 acc[kAccumulators];
        for (uint32_t k = 0; k < kAccumulators; ++k) acc[k] = _mm_setzero_ps();
        for (uint32_t d = 0; d < s; ++d) {
            const __m128 xv = _mm_set1_ps(x[d]);
            const float *row = transposed + static_cast<size_t>(d) * kCentroids + g;
            for (uint32_t k = 0; k < kAccumulators; ++k) {
                const __m128 diff = _mm_sub_ps(xv, _mm_loadu_ps(row + 4 * k));
                acc[k] = _mm_add_ps(acc[k], _mm_mul_ps(diff, diff));
            }
        }
        for (uint32_t k = 0; k < kAccumulators; ++k) _mm_store_ps(dist + g + 4 * k, acc[k]);
    }
    if (std::isnan(dist[0])) return 0;
    // min_ps(v, m) yields m when v is NaN.
    __m128 best = _mm_set1_ps(dist[0]);
    for (uint32_t c = 0; c < kCentroids; c += 4) best = _mm_min_ps(_mm_load_ps(dist + c), best);
    best = _mm_min_ps(best, _mm_shuffle_ps(best, best, _MM_SHUFFLE(1, 0, 3, 2)));
    best = _mm_min_ps(best, _mm_shuffle_ps(best, best, _MM_SHUFFLE(2, 3, 0, 1)));
    for (uint32_t c = 0; c < kCentroids; c += 4) {
        const int mask = _mm_movemask_ps(_mm_cmpeq_ps(_mm_load_ps(dist + c), best));
        if (mask != 0) return c + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    return 0;
}

__attribute__((target("avx2"))) uint32_t nearest_avx2(const float *x, const float *transposed, uint32_t s) {
    alignas(64) float dist[kCentroids];
    constexpr uint32_t kGroup = 8 * kAccumulators;
    for (uint32_t g = 0; g < kCentroids; g += kGroup) {
        __m256 acc[kAccumulators];
        for (uint32_t k = 0; k < kAccumulators; ++k) acc[k] = _mm256_setzero_ps();
        for (uint32_t d = 0; d < s; ++d) {
            const __m256 xv = _mm256_set1_ps(x[d]);
            const float *row = transposed + static_cast<size_t>(d) * kCentroids + g;
            for (uint32_t k = 0; k < kAccumulators; ++k) {
                const __m256 diff = _mm256_sub_ps(xv, _mm256_loadu_ps(row + 8 * k));
                acc[k] = _mm256_add_ps(acc[k], _mm256_mul_ps(diff, diff));
            }
        }
        for (uint32_t k = 0; k < kAccumulators; ++k) _mm256_store_ps(dist + g + 8 * k, acc[k]);
    }
    if (std::isnan(dist[0])) return 0;
    __m256 best = _mm256_set1_ps(dist[0]);
    for (uint32_t c = 0; c < kCentroids; c += 8) best = _mm256_min_ps(_mm256_load_ps(dist + c), best);
    best = _mm256_min_ps(best, _mm256_permute2f128_ps(best, best, 1));
    best = _mm256_min_ps(best, _mm256_shuffle_ps(best, best, _MM_SHUFFLE(1, 0, 3, 2)));
    best = _mm256_min_ps(best, _mm256_shuffle_ps(best, best, _MM_SHUFFLE(2, 3, 0, 1)));
    for (uint32_t c = 0; c < kCentroids; c += 8) {
        const int mask = _mm256_movemask_ps(_mm256_cmp_ps(_mm256_load_ps(dist + c), best, _CMP_EQ_OQ));
        if (mask != 0) return c + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    return 0;
}

__attribute__((target("avx512f"))) uint32_t nearest_avx512(const float *x, const float *transposed, uint32_t s) {
    alignas(64) float dist[kCentroids];
    constexpr uint32_t kGroup = 16 * kAccumulators;
    for (uint32_t g = 0; g < kCentroids; g += kGroup) {
        __m512 acc[kAccumulators];
        for (uint32_t k = 0; k < kAccumulators; ++k) acc[k] = _mm512_setzero_ps();
        for (uint32_t d = 0; d < s; ++d) {
            const __m512 xv = _mm512_set1_ps(x[d]);
            const float *row = transposed + static_cast<size_t>(d) * kCentroids + g;
            for (uint32_t k = 0; k < kAccumulators; ++k) {
                const __m512 diff = _mm512_sub_ps(xv, _mm512_loadu_ps(row + 16 * k));
                acc[k] = _mm512_add_ps(acc[k], _mm512_mul_ps(diff, diff));
            }
        }
        for (uint32_t k = 0; k < kAccumulators; ++k) _mm512_store_ps(dist + g + 16 * k, acc[k]);
    }
    if (std::isnan(dist[0])) return 0;
    __m512 best = _mm512_set1_ps(dist[0]);
    // The masked form with a full mask is the plain minimum; the unmasked
    // intrinsic draws a false uninitialized-value warning from the compiler.
    for (uint32_t c = 0; c < kCentroids; c += 16)
        best = _mm512_mask_min_ps(best, static_cast<__mmask16>(0xFFFF), _mm512_load_ps(dist + c), best);
    alignas(64) float lanes[16];
    _mm512_store_ps(lanes, best);
    float smallest = lanes[0];
    for (int i = 1; i < 16; ++i) smallest = lanes[i] < smallest ? lanes[i] : smallest;
    const __m512 lowest = _mm512_set1_ps(smallest);
    for (uint32_t c = 0; c < kCentroids; c += 16) {
        const __mmask16 mask = _mm512_cmp_ps_mask(_mm512_load_ps(dist + c), lowest, _CMP_EQ_OQ);
        if (mask != 0) return c + static_cast<uint32_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    return 0;
}

// The process-wide choices. Concurrent first calls compute the same value,
// so a relaxed store and load are enough.
std::atomic<SymmetricDistanceFn> g_symmetric{nullptr};
std::atomic<NearestCentroidFn> g_nearest{nullptr};

}  // namespace

bool cpu_supports(KernelIsa isa) {
    // The compiler's feature query (filled by its runtime at load) reports
    // AVX2 and AVX-512F only when the operating system also saves the
    // corresponding register state (XCR0), which is what running them needs.
    switch (isa) {
    case KernelIsa::Baseline: return true;
    case KernelIsa::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KernelIsa::Avx512: return __builtin_cpu_supports("avx512f");
    }
    return false;
}

KernelIsa best_supported_isa() {
    if (cpu_supports(KernelIsa::Avx512)) return KernelIsa::Avx512;
    if (cpu_supports(KernelIsa::Avx2)) return KernelIsa::Avx2;
    return KernelIsa::Baseline;
}

SymmetricDistanceFn symmetric_distance_kernel(KernelIsa isa) {
    switch (isa) {
    case KernelIsa::Avx512: return symmetric_avx512;
    case KernelIsa::Avx2: return symmetric_avx2;
    case KernelIsa::Baseline: break;
    }
    return symmetric_baseline;
}

SymmetricDistanceFn chosen_symmetric_distance() {
    SymmetricDistanceFn fn = g_symmetric.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = symmetric_distance_kernel(best_supported_isa());
        g_symmetric.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

NearestCentroidFn nearest_centroid_kernel(KernelIsa isa) {
    switch (isa) {
    case KernelIsa::Avx512: return nearest_avx512;
    case KernelIsa::Avx2: return nearest_avx2;
    case KernelIsa::Baseline: break;
    }
    return nearest_baseline;
}

NearestCentroidFn chosen_nearest_centroid() {
    NearestCentroidFn fn = g_nearest.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = nearest_centroid_kernel(best_supported_isa());
        g_nearest.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

}  // namespace morva::quant
