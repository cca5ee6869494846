// Fixed-size blocks aligned to a cache line, carved from chunks that grow
// with the pool (the B-tree's nodes). A block costs exactly its size: no
// allocator header, no rounding beyond the block size the owner picks, and
// every block starts on a 64-byte boundary, so fields the owner places on
// a line boundary really share one cache line.
//
// Chunks double from a few blocks up to kMaxChunkBytes, so a small pool
// stays small. Chunks of a large pool are aligned to 2 MiB and the kernel is
// asked to back them with huge pages where it allows that on request: a
// lookup in a large tree touches a node or two per level scattered over
// hundreds of MiB, and with 4 KiB pages each of those accesses is also a
// page-table walk. Memory is only touched as blocks are handed out, so the
// resident size follows the blocks in use.
//
// A released block goes onto a free list and is reused; chunks return to
// the system only when the pool is destroyed. Not thread-safe: the owner
// serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morva {

class BlockPool {
public:
    static constexpr size_t kAlignment = 64;

    // block_size must be a nonzero multiple of kAlignment.
    explicit BlockPool(size_t block_size) : block_size_(block_size) {}
    ~BlockPool();
    BlockPool(const BlockPool &) = delete;
    BlockPool &operator=(const BlockPool &) = delete;

    // A zero-filled block, or null without memory.
    void *allocate();
    // Returns a block from allocate() for reuse. Null is ignored.
    void release(void *block);

private:
    static constexpr size_t kFirstChunkBlocks = 4;
    static constexpr size_t kHugePageBytes = 2u << 20;
    static constexpr size_t kMaxChunkBytes = kHugePageBytes;

    bool new_chunk();

    struct FreeBlock {
        FreeBlock *next;
    };

    size_t block_size_;
    size_t next_chunk_blocks_ = kFirstChunkBlocks;
    void **chunks_ = nullptr;  // every chunk, for the destructor
    size_t chunk_count_ = 0;
    size_t chunk_capacity_ = 0;
    FreeBlock *free_ = nullptr;
    uint8_t *bump_ = nullptr;  // unused rest of the newest chunk
    size_t bump_left_ = 0;     // in blocks
};

// Asks the kernel to back [p, p + bytes) with huge pages where it does so
// on request; the range should be aligned to 2 MiB. Does nothing elsewhere.
void advise_huge_pages(void *p, size_t bytes);

}  // namespace morva
