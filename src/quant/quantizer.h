// The quantizer object behind the morvadb_quant_ functions.
//
// The host-visible record comes first; private state follows it in the same
// allocation. Invariants: a scalar quantizer has mins and ranges (dimension
// floats each, ranges never 0) exactly when scalar_trained is 1; a product
// quantizer has codebooks (subquantizers arrays of 256 x subvector_length
// floats) and their dimension-major copies exactly when product_trained is
// 1. Training builds new parameters completely before replacing the old
// ones, so a failed training leaves the previous parameters usable.
// No locks: training needs exclusive access, the rest only reads.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva::quant {

struct QuantizerState {
    quantizer pub;
    // Product type: per position, the codebook laid out dimension-major
    // (centroid c's value for dimension d at d x 256 + c), which lets the
    // nearest-centroid search measure many centroids per instruction.
    float **transposed;
};

inline QuantizerState &state_of(quantizer *q) { return *reinterpret_cast<QuantizerState *>(q); }
inline const QuantizerState &state_of(const quantizer *q) { return *reinterpret_cast<const QuantizerState *>(q); }

// Scalar type: one byte per dimension between the trained minimum and maximum.
int32_t scalar_train(quantizer &q, const float *vectors, uint32_t n);
void scalar_encode(const quantizer &q, const float *vector, uint8_t *code);
void scalar_decode(const quantizer &q, const uint8_t *code, float *vector);
float scalar_distance(const quantizer &q, const uint8_t *code_a, const uint8_t *code_b);
void scalar_release(quantizer &q);

// Product type: one byte per sub-vector, the index of its nearest centroid.
int32_t product_train(QuantizerState &q, const float *vectors, uint32_t n);
void product_encode(const QuantizerState &q, const float *vector, uint8_t *code);
void product_decode(const quantizer &q, const uint8_t *code, float *vector);
float product_distance(const quantizer &q, const uint8_t *code_a, const uint8_t *code_b);
void product_release(QuantizerState &q);

}  // namespace morva::quant
