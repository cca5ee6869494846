// Size-classed pool of small byte blocks; see byte_pool.h.
#include "util/byte_pool.h"

#include <cstdlib>

namespace morva {

BytePool::~BytePool() {
    while (slabs_ != nullptr) {
        Slab *next = slabs_->next;
        std::free(slabs_);
        slabs_ = next;
    }
}

bool BytePool::new_slab() {
    auto *slab = static_cast<Slab *>(std::malloc(kSlabBytes));
    if (slab == nullptr) return false;
    slab->next = slabs_;
    slabs_ = slab;
    // The slab header takes one granule; blocks follow it, 8-byte aligned.
    bump_ = reinterpret_cast<uint8_t *>(slab) + kGranule;
    bump_left_ = kSlabBytes - kGranule;
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
