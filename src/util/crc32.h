// CRC-32 (reflected polynomial 0xEDB88320, the checksum of sorted table
// files). The lookup tables are filled by a load-time constructor before any
// library function can run and are read-only afterwards, so every call is
// safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva {

// CRC of (data, len); 0 for an empty range.
uint32_t crc32(const void *data, size_t len);

// Continues a CRC over more bytes: crc32_extend(crc32(a), b) equals the CRC
// of a followed by b, and crc32_extend(0, b) equals crc32(b). Lets a writer
// checksum a file it streams in pieces.
uint32_t crc32_extend(uint32_t crc, const void *data, size_t len);

// Entry i of the byte table: the CRC register update for byte value i.
uint32_t crc32_table_entry(uint8_t i);

}  // namespace morva
