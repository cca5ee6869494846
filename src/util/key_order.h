// The key order shared by the memtable, the B-tree, sorted tables and
// compaction: unsigned bytes over the shorter length, then the shorter key
// first. Also the key hash of the memtable filters.
#pragma once

#include <cstdint>
#include <cstring>

namespace morva {

// Unaligned big-endian loads: comparing two such words as integers orders
// them exactly as memcmp orders their bytes.
inline uint64_t load_be64(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}
inline uint32_t load_be32(const uint8_t *p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

// memcmp of n bytes, inline for keys up to 16 bytes: most keys are short,
// and a call into the C library per comparison dominated point lookups.
// Two overlapping word loads cover any length in [4, 16]: when the first
// words are equal, the bytes they share with the second are equal too.
inline int compare_bytes(const uint8_t *a, const uint8_t *b, uint64_t n) {
    if (n >= 8 && n <= 16) {
        uint64_t x = load_be64(a), y = load_be64(b);
        if (x == y) {
            x = load_be64(a + n - 8);
            y = load_be64(b + n - 8);
        }
        return x == y ? 0 : (x < y ? -1 : 1);
    }
    if (n >= 4 && n < 8) {
        uint64_t x = (uint64_t{load_be32(a)} << 32) | load_be32(a + n - 4);
        uint64_t y = (uint64_t{load_be32(b)} << 32) | load_be32(b + n - 4);
        return x == y ? 0 : (x < y ? -1 : 1);
    }
    if (n < 4) {
        for (uint64_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        }
        return 0;
    }
    return std::memcmp(a, b, static_cast<size_t>(n));
}

// Negative, zero or positive as a sorts before, equal to or after b.
inline int compare_keys(const void *a, uint64_t a_len, const void *b, uint64_t b_len) {
    uint64_t n = a_len < b_len ? a_len : b_len;
    if (n != 0) {
        int c = compare_bytes(static_cast<const uint8_t *>(a), static_cast<const uint8_t *>(b), n);
        if (c != 0) return c;
    }
    return a_len < b_len ? -1 : (a_len > b_len ? 1 : 0);
}

// A 64-bit hash of a key for in-memory filters (never stored on disk).
// Eight bytes at a time through a multiply-xorshift mix.
inline uint64_t hash_key(const void *key, uint64_t len) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    const auto *p = static_cast<const uint8_t *>(key);
    uint64_t h = len * kMul ^ 0xD6E8FEB86659FD93ull;
    auto mix = [](uint64_t v) {
        v ^= v >> 32;
        v *= 0xD6E8FEB86659FD93ull;
        v ^= v >> 32;
        return v;
    };
    uint64_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        h = mix(h ^ w) * kMul;
    }
    if (i < len) {
        uint64_t w = 0;
        std::memcpy(&w, p + i, static_cast<size_t>(len - i));
        h = mix(h ^ w ^ (uint64_t{0xFF} << 56)) * kMul;
    }
    return mix(h);
}

}  // namespace morva
