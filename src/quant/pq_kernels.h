// Kernels of the product quantizer, in three instruction-set variants.
//
// Symmetric distance: the sum over positions j of the squared distance
// between centroid a[j] and centroid b[j] of codebook j. The variants sum the
// same squared differences in different orders (and the wide ones use fused
// multiply-add), so their results may differ in the last bits; one variant
// is chosen per process, by the processor's features, at the first call.
//
// Nearest centroid: the index of the centroid closest to a sub-vector, ties
// to the lower index. Every variant computes each centroid's distance with
// the same sequential single-precision sum over the dimensions (separate
// multiply and add), one centroid per vector lane, so all variants return
// bit-identical distances and the same index on every machine. Training and
// encoding both use it, so codes never depend on the processor.
#pragma once

#include <cstdint>

namespace morva::quant {

constexpr uint32_t kCentroids = 256;

enum class KernelIsa { Baseline, Avx2, Avx512 };

// True when this processor (and its operating system, for the register
// state) can run the variant.
bool cpu_supports(KernelIsa isa);
// The widest variant the processor supports.
KernelIsa best_supported_isa();

// codebooks[j] holds 256 centroids of s floats, centroid c at c x s.
using SymmetricDistanceFn = float (*)(const float *const *codebooks, const uint8_t *code_a, const uint8_t *code_b,
                                      uint32_t m, uint32_t s);
SymmetricDistanceFn symmetric_distance_kernel(KernelIsa isa);
// The process-wide choice, made at the first call and kept.
SymmetricDistanceFn chosen_symmetric_distance();

// transposed holds one codebook dimension-major: centroid c's value for
// dimension d at d x 256 + c.
using NearestCentroidFn = uint32_t (*)(const float *x, const float *transposed, uint32_t s);
NearestCentroidFn nearest_centroid_kernel(KernelIsa isa);
NearestCentroidFn chosen_nearest_centroid();

}  // namespace morva::quant
