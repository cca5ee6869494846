/* Record layouts of the arena, page cache and file mapping families as
 * hosts see them on x86-64. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(offsetof(arena_block, next) == 0, "arena_block.next");
_Static_assert(offsetof(arena_block, capacity) == 8, "arena_block.capacity");
_Static_assert(offsetof(arena_block, used) == 16, "arena_block.used");
_Static_assert(sizeof(arena_block) == 24, "arena_block size");

_Static_assert(offsetof(arena, head) == 0, "arena.head");
_Static_assert(offsetof(arena, current) == 8, "arena.current");
_Static_assert(offsetof(arena, block_size) == 16, "arena.block_size");
_Static_assert(offsetof(arena, used) == 24, "arena.used");
_Static_assert(sizeof(arena) == 32, "arena size");

_Static_assert(offsetof(cached_page, page_no) == 0, "cached_page.page_no");
_Static_assert(offsetof(cached_page, data) == 8, "cached_page.data");
_Static_assert(offsetof(cached_page, ref_count) == 4104, "cached_page.ref_count");
_Static_assert(offsetof(cached_page, dirty) == 4108, "cached_page.dirty");
_Static_assert(offsetof(cached_page, chain_next) == 4112, "cached_page.chain_next");
_Static_assert(offsetof(cached_page, lru_prev) == 4120, "cached_page.lru_prev");
_Static_assert(offsetof(cached_page, lru_next) == 4128, "cached_page.lru_next");
_Static_assert(sizeof(cached_page) == 4136, "cached_page size");

_Static_assert(offsetof(page_cache, buckets) == 0, "page_cache.buckets");
_Static_assert(offsetof(page_cache, bucket_count) == 8, "page_cache.bucket_count");
_Static_assert(offsetof(page_cache, page_count) == 16, "page_cache.page_count");
_Static_assert(offsetof(page_cache, lru_head) == 24, "page_cache.lru_head");
_Static_assert(offsetof(page_cache, hits) == 24 + 4136, "page_cache.hits");
_Static_assert(offsetof(page_cache, misses) == 24 + 4136 + 8, "page_cache.misses");
_Static_assert(sizeof(page_cache) == 24 + 4136 + 16, "page_cache size");

_Static_assert(offsetof(mapped_file, map_base) == 0, "mapped_file.map_base");
_Static_assert(offsetof(mapped_file, map_addr) == 8, "mapped_file.map_addr");
_Static_assert(offsetof(mapped_file, map_size) == 16, "mapped_file.map_size");
_Static_assert(offsetof(mapped_file, fd) == 24, "mapped_file.fd");
_Static_assert(sizeof(mapped_file) == 32, "mapped_file size");
