#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "util/crc32.h"

namespace {

// Bit-at-a-time reference, independent of the library's tables.
uint32_t reference_crc(const uint8_t *p, size_t n) {
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        reg ^= p[i];
        for (int b = 0; b < 8; ++b) reg = (reg & 1u) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg ^ 0xFFFFFFFFu;
}

TEST(Crc32, CheckValueAndEmptyRange) {
    EXPECT_EQ(morva::crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(morva::crc32("", 0), 0u);
    EXPECT_EQ(morva::crc32(nullptr, 0), 0u);
}

TEST(Crc32, TableFilledBeforeMain) {
    EXPECT_EQ(morva::crc32_table_entry(0), 0u);
    EXPECT_EQ(morva::crc32_table_entry(1), 0x77073096u);
    EXPECT_EQ(morva::crc32_table_entry(255), 0x2D02EF8Du);
}

TEST(Crc32, MatchesReferenceAtEveryLengthAndAlignment) {
    std::vector<uint8_t> data(300);
    uint32_t x = 12345;
    for (auto &b : data) { x = x * 1103515245u + 12345u; b = static_cast<uint8_t>(x >> 16); }
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t len = 0; len + offset <= data.size(); len += 7) {
            ASSERT_EQ(morva::crc32(data.data() + offset, len), reference_crc(data.data() + offset, len))
                << "offset " << offset << " len " << len;
        }
    }
}

TEST(Crc32, ExtendEqualsOneShot) {
    const char text[] = "the quick brown fox jumps over the lazy dog";
    size_t n = sizeof(text) - 1;
    for (size_t split = 0; split <= n; ++split) {
        uint32_t part = morva::crc32(text, split);
        EXPECT_EQ(morva::crc32_extend(part, text + split, n - split), morva::crc32(text, n));
    }
}

}  // namespace
