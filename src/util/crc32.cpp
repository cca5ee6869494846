#include "util/crc32.h"

#include <cstring>

namespace morva {
namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

// tables[0] is the classic byte table. tables[1..7] extend it so that eight
// bytes are folded per step (slicing by 8); the result is identical to the
// byte-at-a-time rule, only faster on long ranges such as whole table files.
uint32_t tables[8][256];

// Priority 101 runs ahead of every default-priority constructor and C++
// static initializer, so nothing can see an unfilled table.
__attribute__((constructor(101))) void fill_crc_tables() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int round = 0; round < 8; ++round) c = (c & 1u) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
        tables[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (int t = 1; t < 8; ++t) {
            uint32_t prev = tables[t - 1][i];
            tables[t][i] = (prev >> 8) ^ tables[0][prev & 0xFFu];
        }
    }
}

uint32_t update_register(uint32_t reg, const uint8_t *p, size_t len) {
    while (len >= 8) {
        uint32_t lo;
        uint32_t hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= reg;
        reg = tables[7][lo & 0xFFu] ^ tables[6][(lo >> 8) & 0xFFu] ^ tables[5][(lo >> 16) & 0xFFu] ^
              tables[4][lo >> 24] ^ tables[3][hi & 0xFFu] ^ tables[2][(hi >> 8) & 0xFFu] ^
              tables[1][(hi >> 16) & 0xFFu] ^ tables[0][hi >> 24];
        p += 8;
        len -= 8;
    }
    while (len-- > 0) reg = (reg >> 8) ^ tables[0][(reg ^ *p++) & 0xFFu];
    return reg;
}

}  // namespace

uint32_t crc32_extend(uint32_t crc, const void *data, size_t len) {
    if (len == 0 || data == nullptr) return crc;
    return update_register(crc ^ 0xFFFFFFFFu, static_cast<const uint8_t *>(data), len) ^ 0xFFFFFFFFu;
}

uint32_t crc32(const void *data, size_t len) { return crc32_extend(0, data, len); }

uint32_t crc32_table_entry(uint8_t i) { return tables[0][i]; }

}  // namespace morva
