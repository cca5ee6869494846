// Size-classed pool of small byte blocks; see byte_pool.h.
#include "util/byte_pool.h"

#include <cstdlib>

#include "util/block_pool.h"

namespace morva {

BytePool::~BytePool() {
    while (slabs_ != nullptr) {
        Slab *next = slabs_->next;
        std::free(slabs_);
        slabs_ = next;
    }
}

bool BytePool::new_slab() {
    // A pool that already holds many slabs continues in huge-page slabs.
    const bool huge = slab_count_ >= kSmallSlabs;
    const uint64_t bytes = huge ? kHugeSlabBytes : kSlabBytes;
    void *memory = huge ? std::aligned_alloc(kHugeSlabBytes, kHugeSlabBytes) : std::malloc(kSlabBytes);
    auto *slab = static_cast<Slab *>(memory);
    if (slab == nullptr) return false;
    if (huge) advise_huge_pages(slab, bytes);
    slab->next = slabs_;
    slabs_ = slab;
    slab_count_++;
    // The slab header takes one granule; blocks follow it, 8-byte aligned.
    bump_ = reinterpret_cast<uint8_t *>(slab) + kGranule;
    bump_left_ = bytes - kGranule;
    static_assert(sizeof(Slab) <= kGranule, "slab header fits one granule");
    return true;
}

uint8_t *BytePool::allocate(uint64_t n) {
    if (!pooled(n)) return static_cast<uint8_t *>(std::malloc(n));
    uint64_t c = class_of(n);
    if (FreeBlock *block = free_lists_[c]) {
        free_lists_[c] = block->next;
        return reinterpret_cast<uint8_t *>(block);
    }
    uint64_t bytes = c * kGranule;
    if (bump_left_ < bytes && !new_slab()) return nullptr;
    uint8_t *p = bump_;
    bump_ += bytes;
    bump_left_ -= bytes;
    return p;
}

void BytePool::release(uint8_t *p, uint64_t n) {
    if (p == nullptr) return;
    if (!pooled(n)) {
        std::free(p);
        return;
    }
    uint64_t c = class_of(n);
    auto *block = reinterpret_cast<FreeBlock *>(p);
    block->next = free_lists_[c];
    free_lists_[c] = block;
}

}  // namespace morva
