// The morvadb_quant_ C interface: argument checks, the untrained and
// unknown-type failures, and dispatch to the scalar or product type.
#include "quant/quantizer.h"

#include <cfloat>
#include <new>

namespace morva::quant {
namespace {

bool trained(const quantizer &q) {
    switch (q.type) {
    case QUANT_TYPE_SCALAR: return q.scalar_trained == 1 && q.mins != nullptr && q.ranges != nullptr;
    case QUANT_TYPE_PRODUCT: return q.product_trained == 1 && q.codebooks != nullptr;
    default: return false;
    }
}

}  // namespace
}  // namespace morva::quant

using namespace morva::quant;

extern "C" MORVADB_API int32_t morvadb_quant_create(const quant_config *config, quantizer **out) {
    if (config == nullptr || out == nullptr) return -1;
    // Negative sizes would turn into huge unsigned ones in the record.
    if (config->dimension <= 0 || config->subquantizers < 0) return -1;
    if (config->type == QUANT_TYPE_PRODUCT && config->subquantizers == 0) return -1;
    auto *state = new (std::nothrow) QuantizerState{};
    if (state == nullptr) return -1;
    state->pub.type = config->type;
    state->pub.dimension = static_cast<uint32_t>(config->dimension);
    state->pub.subquantizers = static_cast<uint32_t>(config->subquantizers);
    *out = &state->pub;
    return 0;
}

extern "C" MORVADB_API void morvadb_quant_destroy(quantizer *q) {
    if (q == nullptr) return;
    QuantizerState &state = state_of(q);
    scalar_release(state.pub);
    product_release(state);
    delete &state;
}

extern "C" MORVADB_API int32_t morvadb_quant_train(quantizer *q, const float *vectors, uint32_t n) {
    if (q == nullptr || vectors == nullptr || n == 0) return -1;
    try {
        switch (q->type) {
        case QUANT_TYPE_SCALAR: return scalar_train(*q, vectors, n);
        case QUANT_TYPE_PRODUCT: return product_train(state_of(q), vectors, n);
        default: return -1;
        }
    } catch (...) {
        return -1;
    }
}

extern "C" MORVADB_API size_t morvadb_quant_code_size(const quantizer *q) {
    if (q == nullptr) return 0;
    switch (q->type) {
    case QUANT_TYPE_SCALAR: return q->dimension;
    case QUANT_TYPE_PRODUCT: return q->subquantizers;
    default: return 0;
    }
}

extern "C" MORVADB_API int32_t morvadb_quant_encode(const quantizer *q, const float *vector, uint8_t *code,
                                                    uint64_t *out_size) {
    if (out_size != nullptr) *out_size = morvadb_quant_code_size(q);
    if (q == nullptr || vector == nullptr || code == nullptr || !trained(*q)) return -1;
    if (q->type == QUANT_TYPE_SCALAR) scalar_encode(*q, vector, code);
    else product_encode(state_of(q), vector, code);
    return 0;
}

extern "C" MORVADB_API int32_t morvadb_quant_decode(const quantizer *q, const uint8_t *code, uint64_t code_size,
                                                    float *vector) {
    (void)code_size;
    // Without trained parameters there is nothing to reconstruct from.
    if (q == nullptr || code == nullptr || vector == nullptr || !trained(*q)) return -1;
    if (q->type == QUANT_TYPE_SCALAR) scalar_decode(*q, code, vector);
    else product_decode(*q, code, vector);
    return 0;
}

extern "C" MORVADB_API float morvadb_quant_distance(const quantizer *q, const uint8_t *code_a, uint64_t size_a,
                                                    const uint8_t *code_b, uint64_t size_b) {
    (void)size_a;
    (void)size_b;
    if (q == nullptr || code_a == nullptr || code_b == nullptr || !trained(*q)) return FLT_MAX;
    if (q->type == QUANT_TYPE_SCALAR) return scalar_distance(*q, code_a, code_b);
    return product_distance(*q, code_a, code_b);
}
