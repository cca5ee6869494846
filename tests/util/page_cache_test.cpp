#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "morvadb.h"

namespace {

// The record is large (it embeds a whole page as its list sentinel), so
// tests keep it on the heap like a host would.
struct Cache {
    explicit Cache(uint64_t capacity) : c(new page_cache{}) { init = page_cache_init(c.get(), capacity); }
    ~Cache() { page_cache_destroy(c.get()); }
    page_cache *operator->() { return c.get(); }
    page_cache *get() { return c.get(); }
    std::unique_ptr<page_cache> c;
    int32_t init;
};

TEST(PageCache, InitAndNewPages) {
    Cache bad(0);
    EXPECT_EQ(bad.init, DB_ERR_INVALID);
    EXPECT_EQ(page_cache_init(nullptr, 4), DB_ERR_INVALID);

    Cache c(4);
    ASSERT_EQ(c.init, DB_OK);
    EXPECT_EQ(c->bucket_count, 4u);
    EXPECT_EQ(c->lru_head.lru_next, &c->lru_head);
    cached_page *p = page_cache_alloc(c.get(), 9);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->page_no, 9u);
    EXPECT_EQ(p->ref_count, 1u);
    EXPECT_EQ(p->dirty, 0u);
    for (uint8_t b : p->data) ASSERT_EQ(b, 0);
    EXPECT_EQ(c->page_count, 1u);

    // A second alloc of a cached page is a hit without the hit count.
    EXPECT_EQ(page_cache_alloc(c.get(), 9), p);
    EXPECT_EQ(p->ref_count, 2u);
    EXPECT_EQ(c->hits, 0u);
    EXPECT_EQ(page_cache_get(c.get(), 9), p);
    EXPECT_EQ(page_cache_get(c.get(), 10), nullptr);
    EXPECT_EQ(c->hits, 1u);
    EXPECT_EQ(c->misses, 1u);
}

TEST(PageCache, EvictsLeastRecentUnheldPage) {
    Cache c(2);
    page_cache_alloc(c.get(), 1);
    page_cache_alloc(c.get(), 2);
    ASSERT_NE(page_cache_alloc(c.get(), 3), nullptr);
    EXPECT_EQ(page_cache_get(c.get(), 1), nullptr);
    EXPECT_EQ(c->page_count, 2u);

    Cache held(2);
    page_cache_alloc(held.get(), 1);
    cached_page *one = page_cache_get(held.get(), 1);  // ref_count 2
    page_cache_alloc(held.get(), 2);
    ASSERT_NE(page_cache_alloc(held.get(), 3), nullptr);
    EXPECT_EQ(page_cache_get(held.get(), 2), nullptr) << "page 2 goes, the held page 1 stays";
    EXPECT_EQ(page_cache_get(held.get(), 1), one);

    // Recency, not insertion order: touching page 1 makes page 2 the victim.
    Cache recent(2);
    page_cache_alloc(recent.get(), 1);
    page_cache_alloc(recent.get(), 2);
    page_cache_release(recent.get(), page_cache_get(recent.get(), 1));
    page_cache_alloc(recent.get(), 3);
    EXPECT_EQ(page_cache_get(recent.get(), 2), nullptr);
    EXPECT_NE(page_cache_get(recent.get(), 1), nullptr);
}

TEST(PageCache, FullOfHeldPagesRefusesAndReleaseFreesUp) {
    Cache c(1);
    cached_page *p = page_cache_alloc(c.get(), 1);
    page_cache_get(c.get(), 1);
    EXPECT_EQ(page_cache_alloc(c.get(), 2), nullptr);
    page_cache_release(c.get(), p);
    EXPECT_EQ(p->ref_count, 1u);
    ASSERT_NE(page_cache_alloc(c.get(), 2), nullptr);
    EXPECT_EQ(page_cache_get(c.get(), 1), nullptr);
}

TEST(PageCache, SurplusReleaseKeepsTheCachesReference) {
    Cache c(1);
    cached_page *p = page_cache_alloc(c.get(), 1);
    page_cache_release(c.get(), p);
    page_cache_release(c.get(), p);
    EXPECT_EQ(p->ref_count, 1u);
    // Still evictable: a wrapped count would pin it forever.
    EXPECT_NE(page_cache_alloc(c.get(), 2), nullptr);
    page_cache_release(c.get(), nullptr);
    page_cache_mark_dirty(c.get(), nullptr);
}

struct Written {
    std::vector<uint64_t> pages;
    std::vector<uint8_t> first_bytes;
};

int record_write(void *user, uint64_t page_no, const uint8_t *data) {
    auto *w = static_cast<Written *>(user);
    w->pages.push_back(page_no);
    w->first_bytes.push_back(data[0]);
    return -1;  // ignored
}

TEST(PageCache, FlushWritesDirtyPagesOnceInBucketOrder) {
    Cache c(4);
    cached_page *a = page_cache_alloc(c.get(), 6);  // bucket 2
    cached_page *b = page_cache_alloc(c.get(), 1);  // bucket 1
    page_cache_alloc(c.get(), 3);                   // clean
    a->data[0] = 'a';
    b->data[0] = 'b';
    page_cache_mark_dirty(c.get(), a);
    page_cache_mark_dirty(c.get(), b);
    Written w;
    page_cache_flush(c.get(), record_write, &w);
    EXPECT_EQ(w.pages, (std::vector<uint64_t>{1, 6}));
    EXPECT_EQ(w.first_bytes, (std::vector<uint8_t>{'b', 'a'}));
    EXPECT_EQ(a->dirty, 0u);
    Written again;
    page_cache_flush(c.get(), record_write, &again);
    EXPECT_TRUE(again.pages.empty());
    page_cache_flush(c.get(), nullptr, nullptr);
}

TEST(PageCache, KeysSharingABucketAreBothFound) {
    Cache c(4);
    cached_page *five = page_cache_alloc(c.get(), 5);
    cached_page *nine = page_cache_alloc(c.get(), 9);
    EXPECT_EQ(c->buckets[1], nine) << "new pages go to the front of their chain";
    EXPECT_EQ(page_cache_get(c.get(), 5), five);
    EXPECT_EQ(page_cache_get(c.get(), 9), nine);
}

TEST(PageCache, DestroyedCacheIsInertAndCanBeReinitialised) {
    Cache c(2);
    page_cache_mark_dirty(c.get(), page_cache_alloc(c.get(), 1));
    page_cache_destroy(c.get());
    EXPECT_EQ(c->buckets, nullptr);
    EXPECT_EQ(c->bucket_count, 0u);
    EXPECT_EQ(c->page_count, 0u);
    EXPECT_EQ(page_cache_get(c.get(), 1), nullptr);
    EXPECT_EQ(page_cache_alloc(c.get(), 1), nullptr);
    Written w;
    page_cache_flush(c.get(), record_write, &w);
    EXPECT_TRUE(w.pages.empty());
    page_cache_destroy(c.get());
    page_cache_destroy(nullptr);

    ASSERT_EQ(page_cache_init(c.get(), 3), DB_OK);
    EXPECT_NE(page_cache_alloc(c.get(), 1), nullptr);
}

}  // namespace
