// The key order shared by the memtable, the B-tree, sorted tables and
// compaction: unsigned bytes over the shorter length, then the shorter key
// first.
#pragma once

#include <cstdint>
#include <cstring>

namespace morva {

// Negative, zero or positive as a sorts before, equal to or after b.
inline int compare_keys(const void *a, uint64_t a_len, const void *b, uint64_t b_len) {
    uint64_t n = a_len < b_len ? a_len : b_len;
    if (n != 0) {
        int c = std::memcmp(a, b, static_cast<size_t>(n));
        if (c != 0) return c;
    }
    return a_len < b_len ? -1 : (a_len > b_len ? 1 : 0);
}

}  // namespace morva
