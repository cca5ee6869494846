// Zero-filled anonymous mappings for arrays indexed by node slot. The
// kernel commits a page only when it is first written, so an array sized
// for a graph's full capacity costs memory in proportion to the slots
// actually used, and its address never changes as the graph fills.
#pragma once

#include <sys/mman.h>

#include <cstddef>

namespace morva {

inline void *map_zeroed(size_t bytes) {
    if (bytes == 0) bytes = 1;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

inline void unmap_zeroed(void *p, size_t bytes) {
    if (!p) return;
    munmap(p, bytes == 0 ? 1 : bytes);
}

}  // namespace morva
