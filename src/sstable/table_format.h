// Sorted table file layout shared by the writer, the reader and the merge.
//
//   [0, 56)            header: magic u32, version u32, entry count u64,
//                      data size u64, index offset u64, bloom offset u64,
//                      sequence u64, creation time u64
//   [56, index)        entries: u32 K | key | u8 flags | u32 V | value
//   [index, bloom)     index: u32 count, then per point u32 K | key | u64 offset
//   [bloom, size - 4)  serialized bloom filter (only when bloom offset != 0)
//   [size - 4, size)   CRC-32 of every byte from 56 up to the CRC itself
#pragma once

#include <cstdint>
#include <cstring>

#include "morvadb.h"
#include "util/coding.h"
#include "util/key_order.h"

namespace morva {

constexpr uint32_t kTableMagic = SSTABLE_MAGIC;
constexpr uint32_t kTableVersion = SSTABLE_VERSION;
constexpr uint64_t kTableHeaderSize = SSTABLE_HEADER_SIZE;
constexpr uint64_t kTableIndexInterval = SSTABLE_INDEX_INTERVAL;
constexpr uint64_t kTableMaxKeyLen = SSTABLE_MAX_KEY_LEN;
constexpr uint64_t kTableMaxValueLen = SSTABLE_MAX_VALUE_LEN;
constexpr uint64_t kTableEntryOverhead = SSTABLE_ENTRY_OVERHEAD;
constexpr uint64_t kTableCrcSize = 4;
constexpr uint64_t kIndexPointOverhead = 12;  // u32 key length + u64 offset
// A lookup examines the block of the index point before the key and the
// first entry of the next block: two index intervals at most.
constexpr uint64_t kLookupStretch = 2 * kTableIndexInterval;
constexpr uint8_t kFlagValue = SSTABLE_FLAG_VALUE;
constexpr uint8_t kFlagTombstone = SSTABLE_FLAG_TOMBSTONE;

inline bool is_tombstone(uint8_t flags) { return (flags & kFlagTombstone) != 0; }

// One entry decoded in place; key and value point into the table's bytes.
struct TableEntry {
    const uint8_t *key = nullptr;
    uint64_t key_len = 0;
    const uint8_t *value = nullptr;
    uint64_t value_len = 0;
    uint8_t flags = 0;
};

// Decodes the entry at offset of (base, end): every field, the key and the
// value must lie below end. Returns the offset of the next entry, or 0 when
// the entry does not fit (0 is never a valid entry offset).
inline uint64_t decode_entry(const uint8_t *base, uint64_t end, uint64_t offset, TableEntry *out) {
    if (offset < kTableHeaderSize || offset > end) return 0;
    ByteReader in(base + offset, end - offset);
    uint32_t key_len = in.u32();
    const uint8_t *key = in.bytes(key_len);
    uint8_t flags = in.u8();
    uint32_t value_len = in.u32();
    const uint8_t *value = in.bytes(value_len);
    if (!in.ok()) return 0;
    out->key = key;
    out->key_len = key_len;
    out->flags = flags;
    out->value = value;
    out->value_len = value_len;
    return offset + in.pos();
}

}  // namespace morva
