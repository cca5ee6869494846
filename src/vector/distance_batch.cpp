// Lane-per-vector distance kernels. A sequential sum cannot be split across
// SIMD lanes of one vector without changing its rounding, so we vectorise
// across vectors instead: blocks of 8 (AVX2) or 16 (AVX-512) vectors are
// loaded eight floats at a time, transposed so that each register holds one
// dimension of every vector, and accumulated with separate multiplies and
// adds (never fused), which keeps each lane's sum in index order.
#include "vector/distance_batch.h"

// GCC 12 reports the deliberately undefined upper half of
// _mm512_castps256_ps512 as maybe-uninitialized; it is overwritten at once.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstring>

namespace morva {
namespace {

// ---- Portable path: four interleaved scalar sums hide the add latency. ----

template <KernelKind K>
void portable_block(const float *q, const float *const *v, size_t n, uint32_t dim, float qnorm, float *out) {
    size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const float *v0 = v[j], *v1 = v[j + 1], *v2 = v[j + 2], *v3 = v[j + 3];
        float s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        float n0 = 0, n1 = 0, n2 = 0, n3 = 0;
        for (uint32_t i = 0; i < dim; i++) {
            float a = q[i];
            if constexpr (K == KernelKind::L2) {
                float d0 = a - v0[i], d1 = a - v1[i], d2 = a - v2[i], d3 = a - v3[i];
                s0 += d0 * d0; s1 += d1 * d1; s2 += d2 * d2; s3 += d3 * d3;
            } else {
                s0 += a * v0[i]; s1 += a * v1[i]; s2 += a * v2[i]; s3 += a * v3[i];
                if constexpr (K == KernelKind::Cosine) {
                    n0 += v0[i] * v0[i]; n1 += v1[i] * v1[i]; n2 += v2[i] * v2[i]; n3 += v3[i] * v3[i];
                }
            }
        }
        float s[4] = {s0, s1, s2, s3}, nb[4] = {n0, n1, n2, n3};
        for (int l = 0; l < 4; l++) {
            if constexpr (K == KernelKind::L2) out[j + l] = s[l];
            else if constexpr (K == KernelKind::InnerProduct) out[j + l] = flip_sign(s[l]);
            else out[j + l] = cosine_from_sums(s[l], qnorm, nb[l]);
        }
    }
    for (; j < n; j++) {
        if constexpr (K == KernelKind::L2) out[j] = vec_l2_distance(q, v[j], dim);
        else if constexpr (K == KernelKind::InnerProduct) out[j] = vec_ip_distance(q, v[j], dim);
        else out[j] = vec_cosine_distance(q, v[j], dim);
    }
}

// ---- AVX2: 8 vectors per block. ----

__attribute__((target("avx2"))) inline void transpose8(__m256 r[8]) {
    __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20);
    r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20);
    r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31);
    r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31);
    r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

template <KernelKind K>
__attribute__((target("avx2"))) inline void avx2_step(__m256 a, __m256 b, __m256 &s, __m256 &nb) {
    if constexpr (K == KernelKind::L2) {
        __m256 d = _mm256_sub_ps(a, b);
        s = _mm256_add_ps(s, _mm256_mul_ps(d, d));
    } else {
        s = _mm256_add_ps(s, _mm256_mul_ps(a, b));
        if constexpr (K == KernelKind::Cosine) nb = _mm256_add_ps(nb, _mm256_mul_ps(b, b));
    }
}

template <KernelKind K>
__attribute__((target("avx2"))) void avx2_block(const float *q, const float *const *vin, size_t n, uint32_t dim,
                                                float qnorm, float *out) {
    for (size_t j = 0; j < n; j += 8) {
        const float *v[8];
        size_t lanes = n - j < 8 ? n - j : 8;
        for (size_t l = 0; l < 8; l++) v[l] = vin[j + (l < lanes ? l : 0)];
        const float *next[8];  // prefetched while this block is summed
        size_t next_lanes = j + 8 < n ? (n - j - 8 < 8 ? n - j - 8 : 8) : 0;
        for (size_t l = 0; l < 8; l++) next[l] = next_lanes ? vin[j + 8 + (l < next_lanes ? l : 0)] : v[l];
        __m256 s = _mm256_setzero_ps(), nb = _mm256_setzero_ps();
        uint32_t i = 0;
        for (; i + 8 <= dim; i += 8) {
            if (i % 16 == 0)
                for (int l = 0; l < 8; l++) _mm_prefetch(reinterpret_cast<const char *>(next[l] + i), _MM_HINT_T0);
            __m256 r[8];
            for (int l = 0; l < 8; l++) r[l] = _mm256_loadu_ps(v[l] + i);
            transpose8(r);
            for (int c = 0; c < 8; c++) avx2_step<K>(_mm256_set1_ps(q[i + c]), r[c], s, nb);
        }
        for (; i < dim; i++) {
            __m256 b = _mm256_setr_ps(v[0][i], v[1][i], v[2][i], v[3][i], v[4][i], v[5][i], v[6][i], v[7][i]);
            avx2_step<K>(_mm256_set1_ps(q[i]), b, s, nb);
        }
        __m256 res;
        if constexpr (K == KernelKind::L2) {
            res = s;
        } else if constexpr (K == KernelKind::InnerProduct) {
            res = _mm256_xor_ps(s, _mm256_set1_ps(-0.0f));
        } else {
            __m256 p = _mm256_mul_ps(nb, _mm256_set1_ps(qnorm));
            __m256 cos = _mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_div_ps(s, _mm256_sqrt_ps(p)));
            __m256 zero = _mm256_cmp_ps(p, _mm256_setzero_ps(), _CMP_EQ_OQ);
            res = _mm256_blendv_ps(cos, _mm256_set1_ps(1.0f), zero);
        }
        alignas(32) float tmp[8];
        _mm256_store_ps(tmp, res);
        std::memcpy(out + j, tmp, lanes * sizeof(float));
    }
}

// ---- AVX-512: 16 vectors per block; rows r and r + 8 share a register and
// the 8x8 transpose runs in both 256-bit halves at once. ----

template <KernelKind K>
__attribute__((target("avx512f"))) inline void avx512_step(__m512 a, __m512 b, __m512 &s, __m512 &nb) {
    if constexpr (K == KernelKind::L2) {
        __m512 d = _mm512_sub_ps(a, b);
        s = _mm512_add_ps(s, _mm512_mul_ps(d, d));
    } else {
        s = _mm512_add_ps(s, _mm512_mul_ps(a, b));
        if constexpr (K == KernelKind::Cosine) nb = _mm512_add_ps(nb, _mm512_mul_ps(b, b));
    }
}

template <KernelKind K>
__attribute__((target("avx512f"))) void avx512_block(const float *q, const float *const *vin, size_t n,
                                                     uint32_t dim, float qnorm, float *out) {
    const __m512i lo = _mm512_setr_epi32(0, 1, 2, 3, 16, 17, 18, 19, 8, 9, 10, 11, 24, 25, 26, 27);
    const __m512i hi = _mm512_setr_epi32(4, 5, 6, 7, 20, 21, 22, 23, 12, 13, 14, 15, 28, 29, 30, 31);
    for (size_t j = 0; j < n; j += 16) {
        // Eight vectors or fewer (the graph's usual batch, or a scan's last
        // block) cost less in 256-bit registers: the sixteen-lane transpose
        // would run for lanes that hold nothing.
        if (n - j <= 8) {
            avx2_block<K>(q, vin + j, n - j, dim, qnorm, out + j);
            return;
        }
        const float *v[16];
        size_t lanes = n - j < 16 ? n - j : 16;
        for (size_t l = 0; l < 16; l++) v[l] = vin[j + (l < lanes ? l : 0)];
        // Sixteen interleaved streams defeat the hardware prefetcher, so the
        // next block's lines are requested while this block is summed.
        const float *next[16];
        size_t next_lanes = j + 16 < n ? (n - j - 16 < 16 ? n - j - 16 : 16) : 0;
        for (size_t l = 0; l < 16; l++) next[l] = next_lanes ? vin[j + 16 + (l < next_lanes ? l : 0)] : v[l];
        __m512 s = _mm512_setzero_ps(), nb = _mm512_setzero_ps();
        uint32_t i = 0;
        for (; i + 8 <= dim; i += 8) {
            if (i % 16 == 0)
                for (int l = 0; l < 16; l++) _mm_prefetch(reinterpret_cast<const char *>(next[l] + i), _MM_HINT_T0);
            __m512 r[8];
            for (int l = 0; l < 8; l++) {
                __m512 low = _mm512_castps256_ps512(_mm256_loadu_ps(v[l] + i));
                __m256 high = _mm256_loadu_ps(v[l + 8] + i);
                r[l] = _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(low), _mm256_castps_pd(high), 1));
            }
            __m512 t0 = _mm512_unpacklo_ps(r[0], r[1]), t1 = _mm512_unpackhi_ps(r[0], r[1]);
            __m512 t2 = _mm512_unpacklo_ps(r[2], r[3]), t3 = _mm512_unpackhi_ps(r[2], r[3]);
            __m512 t4 = _mm512_unpacklo_ps(r[4], r[5]), t5 = _mm512_unpackhi_ps(r[4], r[5]);
            __m512 t6 = _mm512_unpacklo_ps(r[6], r[7]), t7 = _mm512_unpackhi_ps(r[6], r[7]);
            __m512 s0 = _mm512_shuffle_ps(t0, t2, 0x44), s1 = _mm512_shuffle_ps(t0, t2, 0xEE);
            __m512 s2 = _mm512_shuffle_ps(t1, t3, 0x44), s3 = _mm512_shuffle_ps(t1, t3, 0xEE);
            __m512 s4 = _mm512_shuffle_ps(t4, t6, 0x44), s5 = _mm512_shuffle_ps(t4, t6, 0xEE);
            __m512 s6 = _mm512_shuffle_ps(t5, t7, 0x44), s7 = _mm512_shuffle_ps(t5, t7, 0xEE);
            __m512 c[8] = {
                _mm512_permutex2var_ps(s0, lo, s4), _mm512_permutex2var_ps(s1, lo, s5),
                _mm512_permutex2var_ps(s2, lo, s6), _mm512_permutex2var_ps(s3, lo, s7),
                _mm512_permutex2var_ps(s0, hi, s4), _mm512_permutex2var_ps(s1, hi, s5),
                _mm512_permutex2var_ps(s2, hi, s6), _mm512_permutex2var_ps(s3, hi, s7),
            };
            for (int col = 0; col < 8; col++) avx512_step<K>(_mm512_set1_ps(q[i + col]), c[col], s, nb);
        }
        for (; i < dim; i++) {
            __m512 b = _mm512_setr_ps(v[0][i], v[1][i], v[2][i], v[3][i], v[4][i], v[5][i], v[6][i], v[7][i],
                                      v[8][i], v[9][i], v[10][i], v[11][i], v[12][i], v[13][i], v[14][i], v[15][i]);
            avx512_step<K>(_mm512_set1_ps(q[i]), b, s, nb);
        }
        __m512 res;
        if constexpr (K == KernelKind::L2) {
            res = s;
        } else if constexpr (K == KernelKind::InnerProduct) {
            res = _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(s), _mm512_set1_epi32(INT32_MIN)));
        } else {
            __m512 p = _mm512_mul_ps(nb, _mm512_set1_ps(qnorm));
            __m512 cos = _mm512_sub_ps(_mm512_set1_ps(1.0f), _mm512_div_ps(s, _mm512_sqrt_ps(p)));
            __mmask16 zero = _mm512_cmp_ps_mask(p, _mm512_setzero_ps(), _CMP_EQ_OQ);
            res = _mm512_mask_blend_ps(zero, cos, _mm512_set1_ps(1.0f));
        }
        alignas(64) float tmp[16];
        _mm512_store_ps(tmp, res);
        std::memcpy(out + j, tmp, lanes * sizeof(float));
    }
}

// Squared norm of the query, summed exactly as the cosine kernel sums it.
float query_norm(const float *q, uint32_t dim) {
    float na = 0.0f;
    for (uint32_t i = 0; i < dim; i++) na += q[i] * q[i];
    return na;
}

template <KernelKind K>
void run(SimdLevel level, const float *q, const float *const *v, size_t n, uint32_t dim, float *out) {
    float qnorm = K == KernelKind::Cosine ? query_norm(q, dim) : 0.0f;
    switch (level) {
    case SimdLevel::Avx512: avx512_block<K>(q, v, n, dim, qnorm, out); break;
    case SimdLevel::Avx2: avx2_block<K>(q, v, n, dim, qnorm, out); break;
    default: portable_block<K>(q, v, n, dim, qnorm, out); break;
    }
}

SimdLevel probe() {
    __builtin_cpu_init();
    // The AVX-512 path hands short blocks to the AVX2 one, so it needs both.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2")) return SimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
    return SimdLevel::Portable;
}

}  // namespace

SimdLevel detected_simd_level() {
    static const SimdLevel level = probe();
    return level;
}

void batch_distances_at(SimdLevel level, KernelKind kind, const float *query, const float *const *vectors, size_t n,
                        uint32_t dim, float *out) {
    if (n == 0) return;
    SimdLevel best = detected_simd_level();
    if (static_cast<int>(level) > static_cast<int>(best)) level = best;
    switch (kind) {
    case KernelKind::L2: run<KernelKind::L2>(level, query, vectors, n, dim, out); break;
    case KernelKind::InnerProduct: run<KernelKind::InnerProduct>(level, query, vectors, n, dim, out); break;
    case KernelKind::Cosine: run<KernelKind::Cosine>(level, query, vectors, n, dim, out); break;
    case KernelKind::Custom: break;
    }
}

void batch_distances(vec_distance_fn fn, const float *query, const float *const *vectors, size_t n, uint32_t dim,
                     float *out) {
    KernelKind kind = kernel_kind(fn);
    if (kind == KernelKind::Custom) {
        for (size_t j = 0; j < n; j++) out[j] = fn(query, vectors[j], dim);
        return;
    }
    batch_distances_at(detected_simd_level(), kind, query, vectors, n, dim, out);
}

}  // namespace morva
