// Lookups in the built-in word dictionary (dict_pool / dict_offsets /
// dict_count): a sorted, duplicate-free array of UTF-8 words of 1 to 8 code
// points in unsigned byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva::embed {

// Longest word of the dictionary, in code points.
constexpr size_t kMaxWordCodePoints = 8;

// Length in code points of the longest dictionary word that equals
// cps[0 .. k-1] for some k <= max_len (max_len is at most 8), or 0 when no
// prefix of cps is a word. This is the outcome of searching every window
// from the longest down, but narrows one prefix range instead of running up
// to eight full binary searches.
size_t longest_word_at(const uint32_t *cps, size_t max_len);

// True when the bytes form exactly one word of the dictionary.
bool dictionary_contains(const uint8_t *word, size_t len);

// Writes the standard UTF-8 form of cp (up to 21 bits) into out and returns
// its length, 1 to 4 bytes.
size_t encode_utf8(uint32_t cp, uint8_t *out);

}  // namespace morva::embed
