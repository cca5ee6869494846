// Bloom filter: sizing, the two-lane key hash, double-hashing probes and the
// serialized block (num_bits, num_hashes, expected_items as u32, then the
// bit array). Invalid arguments never raise an error code: constructors
// return null and mutators do nothing.
#include "sstable/bloom.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "util/coding.h"

namespace morva {
namespace {

constexpr uint64_t kLengthMix = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kSeedA = 0x5A4F9A3B1C6D8E2Full;
constexpr uint64_t kSeedB = 0xC8D3E1F4A5B6C7D8ull;
constexpr uint64_t kWordMul1 = 0x87C37B91114253D5ull;
constexpr uint64_t kWordMul2 = 0x4CF5AD432745937Full;
constexpr uint64_t kLaneAdd = 0x52DCE729ull;
constexpr uint64_t kMinBits = 64;
// Deliberately not the full-precision ln 2: the probe count of every stored
// filter was derived with this constant.
constexpr double kProbeFactor = 0.69314718;
// The most probes a loaded block may ask for. Sizing never derives more than
// 178 (one expected item at 255 bits each); a damaged or hostile block could
// otherwise ask for four billion probes on every lookup of its table.
constexpr uint32_t kMaxLoadedProbes = 1024;

inline uint64_t mix_word(uint64_t w) {
    uint64_t x = w * kWordMul1;
    x ^= x >> 31;
    return x * kWordMul2;
}

inline uint64_t rotl(uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }

inline uint64_t finalize(uint64_t h) {
    h ^= h >> 37;
    h *= kLaneAdd;
    return h ^ (h >> 32);
}

// Allocates a filter record with a zeroed bit array of `bytes` bytes.
bloom_filter *new_filter(uint32_t num_bits, uint32_t num_hashes, uint32_t expected_items) {
    uint64_t bytes = bloom_bit_bytes(num_bits);
    auto *f = static_cast<bloom_filter *>(std::calloc(1, sizeof(bloom_filter)));
    if (f == nullptr) return nullptr;
    // calloc(0) may return null; one spare byte keeps "null = failure" unambiguous.
    f->bits = static_cast<uint8_t *>(std::calloc(bytes == 0 ? 1 : bytes, 1));
    if (f->bits == nullptr) {
        std::free(f);
        return nullptr;
    }
    f->num_bits = num_bits;
    f->num_hashes = num_hashes;
    f->expected_items = expected_items;
    return f;
}

void free_filter(bloom_filter *f) {
    if (f == nullptr) return;
    std::free(f->bits);
    std::free(f);
}

}  // namespace

BloomHash bloom_hash(const void *key, size_t len) {
    const auto *p = static_cast<const uint8_t *>(key);
    uint64_t s = static_cast<uint64_t>(len) * kLengthMix;
    uint64_t a = s ^ kSeedA;
    uint64_t b = s ^ kSeedB;
    size_t words = len / 8;
    for (size_t i = 0; i < words; ++i) {
        uint64_t x = mix_word(get_u64(p + i * 8));
        a ^= x;
        a = rotl(a, 27) * 5 + kLaneAdd;
        b ^= x;
        b = rotl(b, 27) * 5 + kLaneAdd;
    }
    size_t tail = len % 8;
    if (tail != 0) {
        uint64_t t = 0;
        const uint8_t *q = p + words * 8;
        for (size_t i = 0; i < tail; ++i) t |= static_cast<uint64_t>(q[i]) << (8 * i);
        uint64_t x = mix_word(t);
        a ^= x;
        b ^= x;
    }
    return BloomHash{finalize(a), finalize(b)};
}

}  // namespace morva

using morva::bloom_bit_bytes;

extern "C" MORVADB_API bloom_filter *morvadb_bloom_create(uint32_t expected_items, uint8_t bits_per_item) {
    if (expected_items == 0 || bits_per_item == 0) return nullptr;
    // Sized in 64 bits: a product that does not fit the 32-bit bit count is
    // refused rather than wrapped into a tiny filter that rejects nothing.
    uint64_t m = static_cast<uint64_t>(expected_items) * bits_per_item;
    if (m < morva::kMinBits) m = morva::kMinBits;
    m = (m + 63) & ~uint64_t{63};
    if (m > std::numeric_limits<uint32_t>::max()) return nullptr;
    double k = static_cast<double>(m) / static_cast<double>(expected_items) * morva::kProbeFactor + 0.5;
    auto num_hashes = static_cast<uint32_t>(k);
    if (num_hashes == 0) num_hashes = 1;
    return morva::new_filter(static_cast<uint32_t>(m), num_hashes, expected_items);
}

extern "C" MORVADB_API bloom_filter *morvadb_bloom_load(const void *data, size_t size) {
    if (data == nullptr || size < BLOOM_HEADER_SIZE) return nullptr;
    morva::ByteReader in(data, size);
    uint32_t num_bits = in.u32();
    uint32_t num_hashes = in.u32();
    uint32_t expected_items = in.u32();
    uint64_t bytes = bloom_bit_bytes(num_bits);
    const uint8_t *bits = in.bytes(bytes);
    if (bits == nullptr) return nullptr;
    // Probing takes positions modulo num_bits: an empty bit array with probes
    // to make cannot be consulted.
    if (num_bits == 0 && num_hashes != 0) return nullptr;
    if (num_hashes > morva::kMaxLoadedProbes) return nullptr;
    bloom_filter *f = morva::new_filter(num_bits, num_hashes, expected_items);
    if (f == nullptr) return nullptr;
    if (bytes != 0) std::memcpy(f->bits, bits, bytes);
    return f;
}

extern "C" MORVADB_API void morvadb_bloom_destroy(bloom_filter *filter) { morva::free_filter(filter); }

extern "C" MORVADB_API void morvadb_bloom_unload(bloom_filter *filter) { morva::free_filter(filter); }

extern "C" MORVADB_API void morvadb_bloom_insert(bloom_filter *filter, const void *key, size_t len) {
    if (filter == nullptr || key == nullptr || filter->num_bits == 0) return;
    morva::BloomHash h = morva::bloom_hash(key, len);
    uint64_t pos = h.first;
    for (uint32_t i = 0; i < filter->num_hashes; ++i, pos += h.step) {
        uint64_t bit = pos % filter->num_bits;
        filter->bits[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
}

extern "C" MORVADB_API int morvadb_bloom_maybe(const bloom_filter *filter, const void *key, size_t len) {
    if (filter == nullptr || key == nullptr) return 0;
    if (filter->num_hashes == 0 || filter->num_bits == 0) return 1;
    morva::BloomHash h = morva::bloom_hash(key, len);
    uint64_t pos = h.first;
    for (uint32_t i = 0; i < filter->num_hashes; ++i, pos += h.step) {
        uint64_t bit = pos % filter->num_bits;
        if ((filter->bits[bit / 8] & (1u << (bit % 8))) == 0) return 0;
    }
    return 1;
}

extern "C" MORVADB_API void morvadb_bloom_reset(bloom_filter *filter) {
    if (filter == nullptr) return;
    uint64_t bytes = bloom_bit_bytes(filter->num_bits);
    if (bytes != 0) std::memset(filter->bits, 0, bytes);
}

extern "C" MORVADB_API size_t morvadb_bloom_serialized_size(const bloom_filter *filter) {
    if (filter == nullptr) return 0;
    return BLOOM_HEADER_SIZE + bloom_bit_bytes(filter->num_bits);
}

extern "C" MORVADB_API void morvadb_bloom_serialize(const bloom_filter *filter, void *out) {
    if (filter == nullptr || out == nullptr) return;
    auto *p = static_cast<uint8_t *>(out);
    morva::put_u32(p, filter->num_bits);
    morva::put_u32(p + 4, filter->num_hashes);
    morva::put_u32(p + 8, filter->expected_items);
    uint64_t bytes = bloom_bit_bytes(filter->num_bits);
    if (bytes != 0) std::memcpy(p + BLOOM_HEADER_SIZE, filter->bits, bytes);
}
