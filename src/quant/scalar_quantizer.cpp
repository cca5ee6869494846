// Scalar quantizer: every dimension is mapped linearly onto 0..255 between
// its trained minimum and maximum.
#include <cstdlib>

#include "quant/quantizer.h"

namespace morva::quant {
namespace {

constexpr float kLevels = 255.0f;

inline float decode_one(const quantizer &q, uint32_t i, uint8_t code) {
    return static_cast<float>(code) / kLevels * q.ranges[i] + q.mins[i];
}

}  // namespace

int32_t scalar_train(quantizer &q, const float *vectors, uint32_t n) {
    const uint32_t dim = q.dimension;
    auto *mins = static_cast<float *>(std::calloc(dim, sizeof(float)));
    auto *ranges = static_cast<float *>(std::calloc(dim, sizeof(float)));
    if (mins == nullptr || ranges == nullptr) {
        std::free(mins);
        std::free(ranges);
        return -1;
    }
    if (n == 1) {
        for (uint32_t i = 0; i < dim; ++i) {
            mins[i] = vectors[i];
            ranges[i] = 1.0f;
        }
    } else {
        // Rows outer for memory order; each dimension still sees its values
        // in row order, and ranges temporarily holds the maxima.
        for (uint32_t i = 0; i < dim; ++i) mins[i] = ranges[i] = vectors[i];
        for (uint32_t r = 1; r < n; ++r) {
            const float *row = vectors + static_cast<size_t>(r) * dim;
            for (uint32_t i = 0; i < dim; ++i) {
                if (row[i] < mins[i]) mins[i] = row[i];
                if (row[i] > ranges[i]) ranges[i] = row[i];
            }
        }
        // A constant dimension gets range 1 so encoding never divides by 0.
        for (uint32_t i = 0; i < dim; ++i) ranges[i] = ranges[i] > mins[i] ? ranges[i] - mins[i] : 1.0f;
    }
    scalar_release(q);
    q.mins = mins;
    q.ranges = ranges;
    q.scalar_trained = 1;
    return 0;
}

void scalar_encode(const quantizer &q, const float *vector, uint8_t *code) {
    for (uint32_t i = 0; i < q.dimension; ++i) {
        const float t = (vector[i] - q.mins[i]) / q.ranges[i];
        // Out-of-range values clamp; a NaN (which compares false both ways)
        // encodes as 0 rather than reaching an undefined conversion.
        if (!(t >= 0.0f)) code[i] = 0;
        else if (t > 1.0f) code[i] = 255;
        else code[i] = static_cast<uint8_t>(t * kLevels + 0.5f);
    }
}

void scalar_decode(const quantizer &q, const uint8_t *code, float *vector) {
    for (uint32_t i = 0; i < q.dimension; ++i) vector[i] = decode_one(q, i, code[i]);
}

float scalar_distance(const quantizer &q, const uint8_t *code_a, const uint8_t *code_b) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < q.dimension; ++i) {
        const float d = decode_one(q, i, code_a[i]) - decode_one(q, i, code_b[i]);
        sum += d * d;
    }
    return sum;
}

void scalar_release(quantizer &q) {
    std::free(q.mins);
    std::free(q.ranges);
    q.mins = nullptr;
    q.ranges = nullptr;
    q.scalar_trained = 0;
}

}  // namespace morva::quant
