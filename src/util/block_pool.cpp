// Cache-line aligned fixed-size blocks; see block_pool.h.
#include "util/block_pool.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace morva {

void advise_huge_pages(void *p, size_t bytes) {
#ifdef MADV_HUGEPAGE
    // Only a hint: a kernel without transparent huge pages, or with them
    // switched off, refuses it and the range keeps ordinary pages.
    ::madvise(p, bytes, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

BlockPool::~BlockPool() {
    for (size_t i = 0; i < chunk_count_; i++) std::free(chunks_[i]);
    std::free(chunks_);
}

bool BlockPool::new_chunk() {
    if (chunk_count_ == chunk_capacity_) {
        size_t capacity = chunk_capacity_ == 0 ? 16 : chunk_capacity_ * 2;
        void *grown = std::realloc(chunks_, capacity * sizeof(void *));
        if (grown == nullptr) return false;
        chunks_ = static_cast<void **>(grown);
        chunk_capacity_ = capacity;
    }
    size_t blocks = next_chunk_blocks_;
    size_t bytes = blocks * block_size_;
    size_t alignment = kAlignment;
    if (bytes >= kMaxChunkBytes) {
        // Whole huge pages: the chunk is exactly one, aligned to its size.
        blocks = kMaxChunkBytes / block_size_;
        bytes = kHugePageBytes;
        alignment = kHugePageBytes;
    }
    void *chunk = std::aligned_alloc(alignment, bytes);
    if (chunk == nullptr) return false;
    if (alignment == kHugePageBytes) advise_huge_pages(chunk, bytes);
    chunks_[chunk_count_++] = chunk;
    bump_ = static_cast<uint8_t *>(chunk);
    bump_left_ = blocks;
    if (blocks * block_size_ < kMaxChunkBytes) next_chunk_blocks_ = blocks * 2;
    return true;
}

void *BlockPool::allocate() {
    void *block = nullptr;
    if (free_ != nullptr) {
        block = free_;
        free_ = free_->next;
    } else {
        if (bump_left_ == 0 && !new_chunk()) return nullptr;
        block = bump_;
        bump_ += block_size_;
        bump_left_--;
    }
    std::memset(block, 0, block_size_);
    return block;
}

void BlockPool::release(void *block) {
    if (block == nullptr) return;
    auto *b = static_cast<FreeBlock *>(block);
    b->next = free_;
    free_ = b;
}

}  // namespace morva
