// Bump allocator over a chain of blocks. Invariants: every block after
// `current` is empty (used 0) until allocation reaches it; the chain is only
// ever extended, never cut, so destroy frees every block ever allocated.
#include <cstdlib>
#include <cstring>

#include "morvadb.h"
#include "util/coding.h"

namespace {

uint8_t *payload(arena_block *b) { return reinterpret_cast<uint8_t *>(b + 1); }

arena_block *new_block(uint64_t capacity) {
    uint64_t bytes;
    if (morva::add_overflows(sizeof(arena_block), capacity, &bytes)) return nullptr;
    auto *b = static_cast<arena_block *>(std::malloc(static_cast<size_t>(bytes)));
    if (b == nullptr) return nullptr;
    b->next = nullptr;
    b->capacity = capacity;
    b->used = 0;
    return b;
}

bool has_room(const arena_block *b, uint64_t n) { return n <= b->capacity - b->used; }

// Hands out n bytes (already rounded) from block b.
void *take(arena *a, arena_block *b, uint64_t n) {
    void *p = payload(b) + b->used;
    b->used += n;
    a->used += n;
    return p;
}

}  // namespace

extern "C" MORVADB_API arena *arena_create(uint64_t block_size) {
    if (block_size == 0) block_size = ARENA_DEFAULT_BLOCK_SIZE;
    auto *a = static_cast<arena *>(std::malloc(sizeof(arena)));
    if (a == nullptr) return nullptr;
    arena_block *first = new_block(block_size);
    if (first == nullptr) {
        std::free(a);
        return nullptr;
    }
    a->head = first;
    a->current = first;
    a->block_size = block_size;
    a->used = 0;
    return a;
}

extern "C" MORVADB_API void *arena_alloc(arena *a, uint64_t size) {
    if (a == nullptr || size == 0) return nullptr;
    // Rounding and every sum below are checked: a request that cannot be
    // represented fails and leaves the arena unchanged.
    uint64_t rounded;
    if (morva::add_overflows(size, ARENA_ALIGNMENT - 1, &rounded)) return nullptr;
    rounded &= ~uint64_t{ARENA_ALIGNMENT - 1};
    uint64_t total;
    if (morva::add_overflows(a->used, rounded, &total)) return nullptr;

    arena_block *cur = a->current;
    if (has_room(cur, rounded)) return take(a, cur, rounded);
    // After a reset the blocks behind the current one are empty: reuse the
    // next one in order when it is large enough.
    if (cur->next != nullptr && has_room(cur->next, rounded)) {
        a->current = cur->next;
        return take(a, a->current, rounded);
    }
    // Otherwise insert a fresh block right behind the current one; the rest
    // of the chain stays linked after it for later reuse.
    arena_block *b = new_block(rounded > a->block_size ? rounded : a->block_size);
    if (b == nullptr) return nullptr;
    b->next = cur->next;
    cur->next = b;
    a->current = b;
    return take(a, b, rounded);
}

extern "C" MORVADB_API void *arena_alloc_zero(arena *a, uint64_t size) {
    void *p = arena_alloc(a, size);
    if (p != nullptr) std::memset(p, 0, static_cast<size_t>(size));
    return p;
}

extern "C" MORVADB_API void arena_reset(arena *a) {
    if (a == nullptr) return;
    for (arena_block *b = a->head; b != nullptr; b = b->next) b->used = 0;
    a->current = a->head;
    a->used = 0;
}

extern "C" MORVADB_API uint64_t arena_used(const arena *a) { return a != nullptr ? a->used : 0; }

extern "C" MORVADB_API void arena_destroy(arena *a) {
    if (a == nullptr) return;
    arena_block *b = a->head;
    while (b != nullptr) {
        arena_block *next = b->next;
        std::free(b);
        b = next;
    }
    std::free(a);
}
