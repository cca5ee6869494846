// The built-in word dictionary: its size, order and word lengths are what
// the segmenter's binary search relies on.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "embed/dictionary.h"
#include "morvadb.h"

namespace {

size_t code_points(const char *s) {
    size_t n = 0;
    for (; *s; ++s)
        if ((static_cast<unsigned char>(*s) & 0xC0) != 0x80) ++n;
    return n;
}

TEST(Dictionary, CountsAndPoolSize) {
    ASSERT_EQ(dict_count, DICT_WORD_COUNT);
    EXPECT_EQ(dict_offsets[0], 0u);
    const uint32_t last = dict_offsets[dict_count - 1];
    EXPECT_EQ(last + std::strlen(dict_pool + last) + 1, DICT_POOL_SIZE);
}

TEST(Dictionary, WordsAreStrictlyAscendingContiguousAndShort) {
    std::map<size_t, uint32_t> by_length;
    uint32_t ascii_words = 0;
    for (uint32_t i = 0; i < dict_count; ++i) {
        const char *word = dict_pool + dict_offsets[i];
        const size_t len = std::strlen(word);
        ASSERT_GT(len, 0u) << i;
        if (i + 1 < dict_count) {
            // Words are laid end to end, each followed by exactly one NUL.
            ASSERT_EQ(dict_offsets[i + 1], dict_offsets[i] + len + 1) << i;
            // strcmp compares as unsigned char, the order of the lookups.
            ASSERT_LT(std::strcmp(word, dict_pool + dict_offsets[i + 1]), 0) << i;
        }
        ++by_length[code_points(word)];
        bool ascii = true;
        for (size_t k = 0; k < len; ++k) ascii = ascii && static_cast<unsigned char>(word[k]) < 0x80;
        ascii_words += ascii;
    }
    const std::map<size_t, uint32_t> expected = {{1, 11580}, {2, 114173}, {3, 131343}, {4, 84899},
                                                 {5, 3566},  {6, 1641},   {7, 920},    {8, 385}};
    EXPECT_EQ(by_length, expected);
    EXPECT_EQ(ascii_words, 5u);
}

TEST(Dictionary, LookupsFindEveryWordAndOnlyWords) {
    for (uint32_t i = 0; i < dict_count; i += 97) {
        const char *word = dict_pool + dict_offsets[i];
        EXPECT_TRUE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(word), std::strlen(word)));
    }
    const char *first = dict_pool;
    // Every word is the longest match of its own code points (this goes
    // through the first-code-point index and the prefix narrowing).
    for (uint32_t i = 0; i < dict_count; i += 13) {
        const char *word = dict_pool + dict_offsets[i];
        uint32_t cps[8];
        size_t n = 0;
        for (const auto *p = reinterpret_cast<const unsigned char *>(word); *p; ++n) {
            const size_t width = *p < 0x80 ? 1 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : 4;
            uint32_t cp = width == 1 ? *p : width == 2 ? (*p & 0x1F) : width == 3 ? (*p & 0x0F) : (*p & 0x07);
            for (size_t k = 1; k < width; ++k) cp = (cp << 6) | (p[k] & 0x3F);
            cps[n] = cp;
            p += width;
        }
        ASSERT_EQ(morva::embed::longest_word_at(cps, n), n) << i;
    }
    const char *last = dict_pool + dict_offsets[dict_count - 1];
    EXPECT_TRUE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(first), std::strlen(first)));
    EXPECT_TRUE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(last), std::strlen(last)));
    // A word with a byte appended, a NUL appended, or cut short is not a word
    // unless the dictionary holds that string too.
    const std::string zhong = "\xE4\xB8\xAD";  // U+4E2D
    EXPECT_TRUE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(zhong.data()), zhong.size()));
    const std::string with_nul = zhong + std::string(1, '\0');
    EXPECT_FALSE(
        morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(with_nul.data()), with_nul.size()));
    EXPECT_FALSE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>(zhong.data()), 2));
    EXPECT_FALSE(morva::embed::dictionary_contains(reinterpret_cast<const uint8_t *>("zzzzzz"), 6));
}

}  // namespace
