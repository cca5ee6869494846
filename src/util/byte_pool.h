// Size-classed allocation of many small byte strings that are freed one at
// a time and all together at the end (the B-tree's key, value and separator
// copies). Requests up to kMaxPooledBytes are rounded up to a multiple of 8
// and carved from 64 KiB slabs; a freed block goes onto the free list of its
// class and is handed out again for the next request of that class. Larger
// requests go to malloc. Compared with one malloc per copy this saves the
// allocator's per-block header and rounding (a 16-byte key costs 16 bytes
// instead of 32) and keeps the copies of one tree packed together.
//
// Slabs return to the system only when the pool is destroyed. Callers pass
// the size of a block back when freeing it. Not thread-safe: the owner
// serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva {

class BytePool {
public:
    static constexpr uint64_t kGranule = 8;
    static constexpr uint64_t kMaxPooledBytes = 512;

    BytePool() = default;
    ~BytePool();
    BytePool(const BytePool &) = delete;
    BytePool &operator=(const BytePool &) = delete;

    // A block of at least n bytes (n may be 0: the block is then still a
    // distinct non-null pointer), or null without memory.
    uint8_t *allocate(uint64_t n);
    // Returns a block from allocate(n) with the same n. Null is ignored.
    void release(uint8_t *p, uint64_t n);

    // True when blocks of n bytes come from the slabs (and so need no
    // release when the whole pool goes away).
    static bool pooled(uint64_t n) { return n <= kMaxPooledBytes; }

private:
    static constexpr uint64_t kClasses = kMaxPooledBytes / kGranule + 1;
    static constexpr uint64_t kSlabBytes = 64 * 1024;
    // After kSmallSlabs slabs (a few MiB of copies), slabs are huge pages.
    static constexpr uint64_t kSmallSlabs = 64;
    static constexpr uint64_t kHugeSlabBytes = 2u << 20;

    static uint64_t class_of(uint64_t n) { return n == 0 ? 1 : (n + kGranule - 1) / kGranule; }
    bool new_slab();

    struct FreeBlock {
        FreeBlock *next;
    };
    struct Slab {
        Slab *next;
    };

    FreeBlock *free_lists_[kClasses] = {};
    Slab *slabs_ = nullptr;
    uint64_t slab_count_ = 0;
    uint8_t *bump_ = nullptr;  // unused rest of the newest slab
    uint64_t bump_left_ = 0;
};

}  // namespace morva
