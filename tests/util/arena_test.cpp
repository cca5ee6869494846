#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>

#include "morvadb.h"

namespace {

int chain_length(const arena *a) {
    int n = 0;
    for (const arena_block *b = a->head; b != nullptr; b = b->next) ++n;
    return n;
}

uintptr_t addr(const void *p) { return reinterpret_cast<uintptr_t>(p); }

TEST(Arena, CreationAndTrivialRequests) {
    arena *a = arena_create(0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->block_size, 8192u);
    EXPECT_EQ(a->head, a->current);
    EXPECT_EQ(a->head->capacity, 8192u);
    EXPECT_EQ(arena_alloc(a, 0), nullptr);
    EXPECT_EQ(arena_alloc(nullptr, 8), nullptr);
    EXPECT_EQ(arena_used(a), 0u);
    EXPECT_EQ(arena_used(nullptr), 0u);
    arena_reset(nullptr);
    arena_destroy(nullptr);
    arena_destroy(a);
}

TEST(Arena, RoundsToEightAndPacksAllocations) {
    arena *a = arena_create(0);
    void *p = arena_alloc(a, 1);
    void *q = arena_alloc(a, 1);
    EXPECT_EQ(addr(q) - addr(p), 8u);
    EXPECT_EQ(addr(p) % 8, 0u);
    EXPECT_EQ(arena_used(a), 16u);
    EXPECT_EQ(a->head->used, 16u);
    arena_destroy(a);
}

TEST(Arena, GrowsByBlocksAndGivesLargeRequestsTheirOwnSize) {
    arena *a = arena_create(64);
    void *p = arena_alloc(a, 40);
    void *q = arena_alloc(a, 40);
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(chain_length(a), 2);
    EXPECT_EQ(a->current->capacity, 64u);

    void *big = arena_alloc(a, 1000);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(a->current->capacity, 1000u);
    EXPECT_EQ(a->current->used, 1000u);
    EXPECT_EQ(chain_length(a), 3);
    EXPECT_EQ(arena_used(a), 40u + 40 + 1000);
    std::memset(big, 0xAB, 1000);  // the whole request is usable
    arena_destroy(a);
}

TEST(Arena, ResetReusesEveryBlockInOrder) {
    arena *a = arena_create(64);
    std::set<uintptr_t> first_round;
    for (int i = 0; i < 5; ++i) first_round.insert(addr(arena_alloc(a, 64)));
    ASSERT_EQ(chain_length(a), 5);
    void *head_payload = a->head + 1;

    arena_reset(a);
    EXPECT_EQ(arena_used(a), 0u);
    EXPECT_EQ(a->current, a->head);
    EXPECT_EQ(arena_alloc(a, 8), head_payload);

    // The following blocks are taken again rather than lost or duplicated.
    arena_reset(a);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(first_round.count(addr(arena_alloc(a, 64)))) << i;
    EXPECT_EQ(chain_length(a), 5);

    // A request too large for the next block gets a new block inserted in
    // front of it; the rest of the chain stays linked.
    arena_reset(a);
    arena_alloc(a, 64);
    void *big = arena_alloc(a, 200);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(chain_length(a), 6);
    EXPECT_TRUE(first_round.count(addr(arena_alloc(a, 64))));
    arena_destroy(a);
}

TEST(Arena, ZeroedAllocationAfterReset) {
    arena *a = arena_create(128);
    auto *p = static_cast<uint8_t *>(arena_alloc(a, 100));
    std::memset(p, 0xFF, 100);
    arena_reset(a);
    auto *z = static_cast<uint8_t *>(arena_alloc_zero(a, 100));
    ASSERT_EQ(z, p);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(z[i], 0) << i;
    EXPECT_EQ(arena_alloc_zero(a, 0), nullptr);
    arena_destroy(a);
}

TEST(Arena, RequestsThatWouldWrapFailWithoutChangingTheArena) {
    arena *a = arena_create(64);
    arena_alloc(a, 24);
    arena_block *cur = a->current;
    uint64_t used = arena_used(a);
    // Rounding up to 8 would wrap.
    EXPECT_EQ(arena_alloc(a, UINT64_MAX - 3), nullptr);
    // Rounds fine, but header plus payload of the new block would wrap.
    EXPECT_EQ(arena_alloc(a, UINT64_MAX - 16), nullptr);
    EXPECT_EQ(arena_alloc_zero(a, UINT64_MAX - 16), nullptr);
    EXPECT_EQ(arena_used(a), used);
    EXPECT_EQ(a->current, cur);
    EXPECT_EQ(cur->used, 24u);
    EXPECT_EQ(chain_length(a), 1);
    EXPECT_NE(arena_alloc(a, 40), nullptr);  // still usable
    arena_destroy(a);

    EXPECT_EQ(arena_create(UINT64_MAX - 8), nullptr);
}

}  // namespace
