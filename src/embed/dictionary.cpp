// Word lookups over the built-in dictionary. All searches compare with an
// explicit length, so a text holding a NUL code point can never match a word
// by a truncated comparison.
#include "embed/dictionary.h"

#include <cstring>

#include "morvadb.h"

// Built with the dictionary: entry c is the index of the first word whose
// first code point is >= c, for c = 0 .. 0x10000.
extern "C" __attribute__((visibility("hidden"))) const uint32_t morvadb_dict_first_index[];

namespace morva::embed {
namespace {

constexpr uint32_t kIndexedCodePoints = 0x10000;

struct WordView {
    const uint8_t *bytes;
    size_t len;
};

WordView word_at(uint32_t index) {
    const uint32_t start = dict_offsets[index];
    const auto *bytes = reinterpret_cast<const uint8_t *>(dict_pool) + start;
    // Every word is followed by its NUL, so the next word's offset bounds it;
    // the last word has no successor and is measured directly.
    const size_t len = index + 1 < dict_count ? dict_offsets[index + 1] - start - 1
                                              : std::strlen(reinterpret_cast<const char *>(bytes));
    return {bytes, len};
}

// Unsigned byte order over the shorter length; on an equal prefix the
// shorter string sorts first.
int compare_bytes(const uint8_t *a, size_t a_len, const uint8_t *b, size_t b_len) {
    const size_t common = a_len < b_len ? a_len : b_len;
    if (common != 0) {
        const int c = std::memcmp(a, b, common);
        if (c != 0) return c;
    }
    return a_len < b_len ? -1 : a_len > b_len ? 1 : 0;
}

// Within [lo, hi), whose words are all >= prefix, the words that start with
// prefix come first; returns the end of that run.
uint32_t end_of_prefix_run(uint32_t lo, uint32_t hi, const uint8_t *prefix, size_t len) {
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const WordView w = word_at(mid);
        if (w.len >= len && std::memcmp(w.bytes, prefix, len) == 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

// First index in [lo, hi) whose word is not below key.
uint32_t lower_bound(uint32_t lo, uint32_t hi, const uint8_t *key, size_t len) {
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const WordView w = word_at(mid);
        if (compare_bytes(w.bytes, w.len, key, len) < 0) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

}  // namespace

size_t encode_utf8(uint32_t cp, uint8_t *out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | ((cp >> 18) & 0x07));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

bool dictionary_contains(const uint8_t *word, size_t len) {
    const uint32_t at = lower_bound(0, dict_count, word, len);
    if (at == dict_count) return false;
    const WordView w = word_at(at);
    return compare_bytes(w.bytes, w.len, word, len) == 0;
}

size_t longest_word_at(const uint32_t *cps, size_t max_len) {
    // prefix holds the UTF-8 of cps[0 .. k-1]; [lo, hi) is the run of words
    // starting with it. A word equal to a longer window starts with every
    // shorter window, so once the run is empty no longer window can match.
    uint8_t prefix[kMaxWordCodePoints * 4];
    size_t prefix_len = 0;
    uint32_t lo = 0, hi = dict_count;
    size_t longest = 0;
    for (size_t k = 1; k <= max_len && k <= kMaxWordCodePoints; ++k) {
        prefix_len += encode_utf8(cps[k - 1], prefix + prefix_len);
        if (k == 1 && cps[0] < kIndexedCodePoints) {
            // UTF-8 byte order is code point order, so the words starting
            // with one code point form the run the index records.
            lo = morvadb_dict_first_index[cps[0]];
            hi = morvadb_dict_first_index[cps[0] + 1];
        } else {
            lo = lower_bound(lo, hi, prefix, prefix_len);
            hi = end_of_prefix_run(lo, hi, prefix, prefix_len);
        }
        if (lo == hi) break;
        // The smallest word of the run equals the prefix exactly when the
        // prefix itself is a word.
        if (word_at(lo).len == prefix_len) longest = k;
    }
    return longest;
}

}  // namespace morva::embed
