// Page cache: hash chains for lookup, a circular recency list through the
// sentinel `lru_head` (its lru_next is the least, its lru_prev the most
// recently used page) and reference counts. A page's count is 1 while only
// the cache holds it; eviction takes only such pages. The host serializes
// every call on one cache. A destroyed cache (bucket_count 0) answers every
// call with null or nothing.
#include <cstdlib>

#include "morvadb.h"

namespace {

bool usable(const page_cache *c) { return c != nullptr && c->bucket_count != 0 && c->buckets != nullptr; }

cached_page **bucket_of(page_cache *c, uint64_t page_no) { return &c->buckets[page_no % c->bucket_count]; }

void lru_unlink(cached_page *p) {
    p->lru_prev->lru_next = p->lru_next;
    p->lru_next->lru_prev = p->lru_prev;
}

// Links p at the most recently used end, just before the sentinel.
void lru_push_recent(page_cache *c, cached_page *p) {
    cached_page *s = &c->lru_head;
    p->lru_prev = s->lru_prev;
    p->lru_next = s;
    s->lru_prev->lru_next = p;
    s->lru_prev = p;
}

void touch(page_cache *c, cached_page *p) {
    lru_unlink(p);
    lru_push_recent(c, p);
    ++p->ref_count;
}

cached_page *find(page_cache *c, uint64_t page_no) {
    for (cached_page *p = *bucket_of(c, page_no); p != nullptr; p = p->chain_next)
        if (p->page_no == page_no) return p;
    return nullptr;
}

void chain_unlink(page_cache *c, cached_page *victim) {
    for (cached_page **link = bucket_of(c, victim->page_no); *link != nullptr; link = &(*link)->chain_next) {
        if (*link == victim) {
            *link = victim->chain_next;
            return;
        }
    }
}

// Drops the least recently used page that nobody but the cache holds.
bool evict_one(page_cache *c) {
    for (cached_page *p = c->lru_head.lru_next; p != &c->lru_head; p = p->lru_next) {
        if (p->ref_count <= 1) {
            lru_unlink(p);
            chain_unlink(c, p);
            std::free(p);
            --c->page_count;
            return true;
        }
    }
    return false;
}

void reset_sentinel(page_cache *c) {
    c->lru_head.lru_next = &c->lru_head;
    c->lru_head.lru_prev = &c->lru_head;
}

}  // namespace

extern "C" MORVADB_API int32_t page_cache_init(page_cache *cache, uint64_t capacity) {
    if (cache == nullptr || capacity == 0) return DB_ERR_INVALID;
    if (capacity > SIZE_MAX / sizeof(cached_page *)) return DB_ERR_NOMEM;
    auto **buckets = static_cast<cached_page **>(std::calloc(static_cast<size_t>(capacity), sizeof(cached_page *)));
    if (buckets == nullptr) return DB_ERR_NOMEM;
    cache->buckets = buckets;
    cache->bucket_count = capacity;
    cache->page_count = 0;
    cache->lru_head = cached_page{};
    reset_sentinel(cache);
    cache->hits = 0;
    cache->misses = 0;
    return DB_OK;
}

extern "C" MORVADB_API cached_page *page_cache_get(page_cache *cache, uint64_t page_no) {
    if (!usable(cache)) return nullptr;
    cached_page *p = find(cache, page_no);
    if (p == nullptr) {
        ++cache->misses;
        return nullptr;
    }
    touch(cache, p);
    ++cache->hits;
    return p;
}

extern "C" MORVADB_API cached_page *page_cache_alloc(page_cache *cache, uint64_t page_no) {
    if (!usable(cache)) return nullptr;
    if (cached_page *p = find(cache, page_no)) {
        touch(cache, p);
        return p;
    }
    if (cache->page_count >= cache->bucket_count && !evict_one(cache)) return nullptr;
    auto *p = static_cast<cached_page *>(std::calloc(1, sizeof(cached_page)));
    if (p == nullptr) return nullptr;
    p->page_no = page_no;
    p->ref_count = 1;
    p->dirty = 0;
    cached_page **bucket = bucket_of(cache, page_no);
    p->chain_next = *bucket;
    *bucket = p;
    lru_push_recent(cache, p);
    ++cache->page_count;
    return p;
}

extern "C" MORVADB_API void page_cache_release(page_cache * /*cache*/, cached_page *page) {
    // The cache's own reference is never given up, so a surplus release
    // cannot wrap the count and pin the page forever.
    if (page != nullptr && page->ref_count > 1) --page->ref_count;
}

extern "C" MORVADB_API void page_cache_mark_dirty(page_cache * /*cache*/, cached_page *page) {
    if (page != nullptr) page->dirty = 1;
}

extern "C" MORVADB_API void page_cache_flush(page_cache *cache, page_cache_write_fn write_fn, void *user) {
    if (!usable(cache) || write_fn == nullptr) return;
    for (uint64_t i = 0; i < cache->bucket_count; ++i) {
        for (cached_page *p = cache->buckets[i]; p != nullptr; p = p->chain_next) {
            if (!p->dirty) continue;
            (void)write_fn(user, p->page_no, p->data);
            p->dirty = 0;
        }
    }
}

extern "C" MORVADB_API void page_cache_destroy(page_cache *cache) {
    if (cache == nullptr) return;
    if (cache->buckets != nullptr) {
        for (uint64_t i = 0; i < cache->bucket_count; ++i) {
            cached_page *p = cache->buckets[i];
            while (p != nullptr) {
                cached_page *next = p->chain_next;
                std::free(p);
                p = next;
            }
        }
        std::free(cache->buckets);
    }
    cache->buckets = nullptr;
    cache->bucket_count = 0;
    cache->page_count = 0;
    reset_sentinel(cache);
}
