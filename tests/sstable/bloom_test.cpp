#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "morvadb.h"
#include "sstable/bloom.h"

namespace {

// Reference hash written lane by lane and byte by byte, independent of the
// library's word reads, so a mistake in either shows up as a mismatch.
uint64_t reference_lane(uint64_t h, const std::vector<uint8_t> &k) {
    auto mix = [](uint64_t v) {
        uint64_t x = v * 0x87C37B91114253D5ull;
        x ^= x >> 31;
        return x * 0x4CF5AD432745937Full;
    };
    size_t full = k.size() / 8;
    for (size_t w = 0; w < full; ++w) {
        uint64_t word = 0;
        for (int b = 7; b >= 0; --b) word = (word << 8) | k[w * 8 + b];
        h ^= mix(word);
        h = (h << 27) | (h >> 37);
        h = h * 5 + 0x52DCE729ull;
    }
    size_t r = k.size() % 8;
    if (r != 0) {
        uint64_t t = 0;
        for (size_t i = 0; i < r; ++i) t += static_cast<uint64_t>(k[k.size() - r + i]) << (8 * i);
        h ^= mix(t);
    }
    h ^= h >> 37;
    h *= 0x52DCE729ull;
    h ^= h >> 32;
    return h;
}

std::pair<uint64_t, uint64_t> reference_hash(const std::vector<uint8_t> &k) {
    uint64_t s = static_cast<uint64_t>(k.size()) * 0x9E3779B97F4A7C15ull;
    return {reference_lane(s ^ 0x5A4F9A3B1C6D8E2Full, k), reference_lane(s ^ 0xC8D3E1F4A5B6C7D8ull, k)};
}

std::vector<uint8_t> pattern_key(size_t n) {
    std::vector<uint8_t> k(n);
    for (size_t i = 0; i < n; ++i) k[i] = static_cast<uint8_t>(i * 31 + 7);
    return k;
}

std::set<uint64_t> set_bits(const bloom_filter *f) {
    std::set<uint64_t> bits;
    for (uint64_t i = 0; i < f->num_bits; ++i)
        if (f->bits[i / 8] & (1u << (i % 8))) bits.insert(i);
    return bits;
}

TEST(BloomHash, MatchesReferenceForEveryCodePath) {
    // Empty key (seeds only), tail only, one word, word plus tail, two words, long key.
    for (size_t len : {0u, 7u, 8u, 9u, 16u, 100u}) {
        std::vector<uint8_t> k = pattern_key(len);
        morva::BloomHash h = morva::bloom_hash(k.data(), k.size());
        auto ref = reference_hash(k);
        EXPECT_EQ(h.first, ref.first) << "len " << len;
        EXPECT_EQ(h.step, ref.second) << "len " << len;
    }
}

TEST(BloomHash, PinnedValuesOfTheStoredFormat) {
    // Worked out separately from the hash definition; a change here breaks
    // every filter already stored in table files.
    struct { size_t len; uint64_t first, step; } cases[] = {
        {0, 0xc592f5018adbe9afull, 0xe592cf1dbdfef472ull},
        {7, 0xb2adf1e68ed47072ull, 0x922321d0cc36e335ull},
        {8, 0xf2ce1f5bf995dcd3ull, 0x0822493cb207fea1ull},
        {9, 0xd0850274ed1dfd84ull, 0x142cba16d031fb71ull},
        {16, 0x72741345cdc510a3ull, 0x8b8784c81731cffdull},
        {100, 0x413853e79a3ca570ull, 0x8a920ceb2298b346ull},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> k = pattern_key(c.len);
        morva::BloomHash h = morva::bloom_hash(k.data(), k.size());
        EXPECT_EQ(h.first, c.first) << "len " << c.len;
        EXPECT_EQ(h.step, c.step) << "len " << c.len;
    }
}

TEST(BloomFilter, InsertSetsExactlyTheProbeBits) {
    for (size_t len : {0u, 7u, 8u, 9u, 16u, 100u}) {
        bloom_filter *f = morvadb_bloom_create(64, 10);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->num_bits, 640u);
        ASSERT_EQ(f->num_hashes, 7u);
        std::vector<uint8_t> k = pattern_key(len);
        static const uint8_t kEmpty = 0;  // a zero-length key still needs a non-null pointer
        morvadb_bloom_insert(f, k.empty() ? &kEmpty : k.data(), k.size());
        auto ref = reference_hash(k);
        std::set<uint64_t> want;
        for (uint64_t i = 0; i < 7; ++i) want.insert((ref.first + i * ref.second) % 640);
        EXPECT_EQ(set_bits(f), want) << "len " << len;
        if (len == 9) {
            EXPECT_EQ(want, (std::set<uint64_t>{42, 260, 343, 373, 456, 486, 569}));
        }
        morvadb_bloom_destroy(f);
    }
}

TEST(BloomFilter, Sizing) {
    EXPECT_EQ(morvadb_bloom_create(0, 10), nullptr);
    EXPECT_EQ(morvadb_bloom_create(100, 0), nullptr);

    bloom_filter *small = morvadb_bloom_create(3, 10);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(small->num_bits, 64u);
    EXPECT_EQ(small->num_hashes, 15u);
    EXPECT_EQ(small->expected_items, 3u);
    EXPECT_EQ(morvadb_bloom_serialized_size(small), 20u);
    morvadb_bloom_destroy(small);

    bloom_filter *table = morvadb_bloom_create(65536, 10);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->num_bits, 655360u);
    EXPECT_EQ(table->num_hashes, 7u);
    EXPECT_EQ(morvadb_bloom_serialized_size(table), 81932u);
    morvadb_bloom_destroy(table);

    // Not a multiple of 64: rounded up. Few bits per item: at least one probe.
    bloom_filter *odd = morvadb_bloom_create(13, 7);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->num_bits, 128u);
    EXPECT_EQ(odd->num_hashes, 7u);  // 128 / 13 * 0.69314718 + 0.5 = 7.32
    morvadb_bloom_destroy(odd);
    bloom_filter *sparse = morvadb_bloom_create(1000, 1);
    ASSERT_NE(sparse, nullptr);
    EXPECT_EQ(sparse->num_bits, 1024u);
    EXPECT_EQ(sparse->num_hashes, 1u);
    morvadb_bloom_destroy(sparse);
}

TEST(BloomFilter, OversizedProductIsRefusedNotWrapped) {
    // 2^31 items at 2 bits would wrap to 0 in 32 bits; it needs 2^32 bits.
    EXPECT_EQ(morvadb_bloom_create(0x80000000u, 2), nullptr);
    EXPECT_EQ(morvadb_bloom_create(0xFFFFFFFFu, 255), nullptr);
    // The largest count that still fits after rounding up to 64 bits.
    EXPECT_EQ(morvadb_bloom_create(0xFFFFFFC1u, 1), nullptr);
}

TEST(BloomFilter, InsertedKeysAnswerMaybeAndResetClears) {
    bloom_filter *f = morvadb_bloom_create(1000, 10);
    ASSERT_NE(f, nullptr);
    std::vector<std::string> keys;
    for (int i = 0; i < 1000; ++i) keys.push_back("key-" + std::to_string(i * 7919));
    for (const auto &k : keys) morvadb_bloom_insert(f, k.data(), k.size());
    morvadb_bloom_insert(f, "", 0);
    for (const auto &k : keys) ASSERT_EQ(morvadb_bloom_maybe(f, k.data(), k.size()), 1) << k;
    EXPECT_EQ(morvadb_bloom_maybe(f, "", 0), 1);

    int false_positives = 0;
    for (int i = 0; i < 10000; ++i) {
        std::string k = "absent-" + std::to_string(i);
        false_positives += morvadb_bloom_maybe(f, k.data(), k.size());
    }
    EXPECT_LT(false_positives, 300);  // about 1 % expected at 10 bits per key

    morvadb_bloom_reset(f);
    EXPECT_EQ(f->num_bits, 10048u);
    for (const auto &k : keys) ASSERT_EQ(morvadb_bloom_maybe(f, k.data(), k.size()), 0) << k;
    morvadb_bloom_destroy(f);
}

TEST(BloomFilter, NullArgumentsAreHarmless) {
    bloom_filter *f = morvadb_bloom_create(10, 10);
    morvadb_bloom_insert(nullptr, "a", 1);
    morvadb_bloom_insert(f, nullptr, 1);
    EXPECT_TRUE(set_bits(f).empty());
    EXPECT_EQ(morvadb_bloom_maybe(nullptr, "a", 1), 0);
    EXPECT_EQ(morvadb_bloom_maybe(f, nullptr, 0), 0);
    EXPECT_EQ(morvadb_bloom_serialized_size(nullptr), 0u);
    morvadb_bloom_serialize(nullptr, nullptr);
    morvadb_bloom_serialize(f, nullptr);
    morvadb_bloom_reset(nullptr);
    morvadb_bloom_destroy(nullptr);
    morvadb_bloom_unload(nullptr);
    morvadb_bloom_destroy(f);
}

TEST(BloomBlock, RoundTripAnswersLikeTheOriginal) {
    bloom_filter *f = morvadb_bloom_create(200, 8);
    for (int i = 0; i < 200; i += 2) {
        std::string k = std::to_string(i);
        morvadb_bloom_insert(f, k.data(), k.size());
    }
    std::vector<uint8_t> block(morvadb_bloom_serialized_size(f));
    morvadb_bloom_serialize(f, block.data());
    uint32_t header[3];
    std::memcpy(header, block.data(), 12);
    EXPECT_EQ(header[0], f->num_bits);
    EXPECT_EQ(header[1], f->num_hashes);
    EXPECT_EQ(header[2], 200u);
    EXPECT_EQ(std::memcmp(block.data() + 12, f->bits, f->num_bits / 8), 0);

    bloom_filter *g = morvadb_bloom_load(block.data(), block.size());
    ASSERT_NE(g, nullptr);
    block.assign(block.size(), 0xEE);  // the loaded filter owns a copy
    EXPECT_EQ(g->num_bits, f->num_bits);
    EXPECT_EQ(g->num_hashes, f->num_hashes);
    EXPECT_EQ(g->expected_items, 200u);
    for (int i = 0; i < 2000; ++i) {
        std::string k = std::to_string(i);
        ASSERT_EQ(morvadb_bloom_maybe(g, k.data(), k.size()), morvadb_bloom_maybe(f, k.data(), k.size())) << k;
    }
    morvadb_bloom_unload(g);
    morvadb_bloom_destroy(f);
}

std::vector<uint8_t> block_with(uint32_t num_bits, uint32_t num_hashes, size_t bit_bytes) {
    std::vector<uint8_t> b(12 + bit_bytes, 0);
    uint32_t header[3] = {num_bits, num_hashes, 1};
    std::memcpy(b.data(), header, 12);
    return b;
}

TEST(BloomBlock, ShortOrInconsistentBlocksAreRefused) {
    std::vector<uint8_t> ok = block_with(64, 3, 8);
    EXPECT_EQ(morvadb_bloom_load(nullptr, 20), nullptr);
    EXPECT_EQ(morvadb_bloom_load(ok.data(), 11), nullptr);
    EXPECT_EQ(morvadb_bloom_load(ok.data(), ok.size() - 1), nullptr);
    bloom_filter *f = morvadb_bloom_load(ok.data(), ok.size());
    EXPECT_NE(f, nullptr);
    morvadb_bloom_unload(f);

    // A bit count that is not a multiple of 8 needs its partial byte.
    std::vector<uint8_t> odd = block_with(65, 1, 9);
    EXPECT_EQ(morvadb_bloom_load(odd.data(), odd.size() - 1), nullptr);
    f = morvadb_bloom_load(odd.data(), odd.size());
    ASSERT_NE(f, nullptr);
    morvadb_bloom_insert(f, "x", 1);
    EXPECT_EQ(morvadb_bloom_maybe(f, "x", 1), 1);
    morvadb_bloom_unload(f);

    // The largest bit count must not wrap the byte count to something tiny.
    std::vector<uint8_t> huge = block_with(0xFFFFFFFFu, 1, 16);
    EXPECT_EQ(morvadb_bloom_load(huge.data(), huge.size()), nullptr);

    // No bits but probes to make: would divide by zero on every lookup.
    std::vector<uint8_t> empty_bits = block_with(0, 2, 0);
    EXPECT_EQ(morvadb_bloom_load(empty_bits.data(), empty_bits.size()), nullptr);
}

TEST(BloomBlock, ProbeCountsNoFilterCanHaveAreRefused) {
    // The largest count sizing gives, and far more than that, still load...
    bloom_filter *made = morvadb_bloom_create(1, 255);
    ASSERT_NE(made, nullptr);
    std::vector<uint8_t> b = block_with(64, made->num_hashes, 8);
    morvadb_bloom_destroy(made);
    bloom_filter *f = morvadb_bloom_load(b.data(), b.size());
    EXPECT_NE(f, nullptr);
    morvadb_bloom_unload(f);
    b = block_with(64, 1024, 8);
    f = morvadb_bloom_load(b.data(), b.size());
    EXPECT_NE(f, nullptr);
    morvadb_bloom_unload(f);
    // ...but a damaged count in the billions would stall every lookup.
    b = block_with(64, 0xFFFF002Cu, 8);
    EXPECT_EQ(morvadb_bloom_load(b.data(), b.size()), nullptr);
}

TEST(BloomBlock, ZeroProbesAnswersMaybeForEveryKey) {
    std::vector<uint8_t> b = block_with(64, 0, 8);
    bloom_filter *f = morvadb_bloom_load(b.data(), b.size());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(morvadb_bloom_maybe(f, "anything", 8), 1);
    EXPECT_EQ(morvadb_bloom_maybe(f, "", 0), 1);
    morvadb_bloom_unload(f);

    std::vector<uint8_t> nothing = block_with(0, 0, 0);
    f = morvadb_bloom_load(nothing.data(), nothing.size());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(morvadb_bloom_serialized_size(f), 12u);
    morvadb_bloom_insert(f, "k", 1);
    EXPECT_EQ(morvadb_bloom_maybe(f, "k", 1), 1);
    morvadb_bloom_unload(f);
}

}  // namespace
