// Bloom filter internals shared by the sorted table writer and reader and
// by the tests: the key hash and the probe rule. Both are part of the file
// format; a filter stored in a table is only usable by a reader that
// computes exactly these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "morvadb.h"

namespace morva {

// The two 64-bit lanes of a key: the first probe position and the step of
// the double-hashing probe sequence.
struct BloomHash {
    uint64_t first;
    uint64_t step;
};

BloomHash bloom_hash(const void *key, size_t len);

// Bytes of a bit array of num_bits bits (rounded up), without wrapping.
inline uint64_t bloom_bit_bytes(uint32_t num_bits) { return (static_cast<uint64_t>(num_bits) + 7) / 8; }

}  // namespace morva
