// Helpers shared by the quantizer tests.
#pragma once

#include <memory>
#include <random>
#include <vector>

#include "morvadb.h"

struct QuantizerDeleter {
    void operator()(quantizer *q) const { morvadb_quant_destroy(q); }
};
using QuantizerPtr = std::unique_ptr<quantizer, QuantizerDeleter>;

inline QuantizerPtr make_quantizer(int32_t type, int32_t dimension, int32_t subquantizers = 0) {
    const quant_config config{type, dimension, subquantizers};
    quantizer *q = nullptr;
    if (morvadb_quant_create(&config, &q) != 0) return nullptr;
    return QuantizerPtr(q);
}

inline std::vector<float> random_vectors(size_t count, uint32_t seed, float lo = -1.0f, float hi = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> out(count);
    for (float &v : out) v = dist(rng);
    return out;
}
