/*
 * morvadb.h - the public C interface of libmorvadb_shared.
 *
 * An embedded database engine: a durable log-structured key/value store,
 * named tables with typed rows and a query builder, full-text search,
 * vector search, a text embedder, quantizers and read-only followers.
 * Every building block is also usable on its own.
 *
 * Conventions:
 *  - Objects come from a _create or _open function and are released by the
 *    matching _destroy or _close, which accepts NULL.
 *  - Failures are reported by status codes or NULL results; nothing is
 *    thrown, printed or logged.
 *  - Pointers handed out by lookups point into the library's own storage;
 *    callers copy what they keep.
 *  - All file formats are little-endian with fields packed without gaps.
 *  - Records laid out here are read and, where noted, allocated by hosts:
 *    their field order and types are part of the interface.
 */
#ifndef MORVADB_H
#define MORVADB_H

/* Several records embed POSIX lock types, which strict ISO C modes
 * (-std=c11) hide. Ask for them when this header is included first; hosts
 * that include system headers earlier in such a mode define
 * _POSIX_C_SOURCE themselves. */
#if !defined(_POSIX_C_SOURCE) && !defined(_XOPEN_SOURCE) && !defined(_GNU_SOURCE) && !defined(_DEFAULT_SOURCE)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stddef.h>
#include <stdint.h>
#include <pthread.h>

#if defined(MORVADB_BUILDING)
#define MORVADB_API __attribute__((visibility("default")))
#else
#define MORVADB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Status codes of the database-level calls (db_*, qb_*, ...) ---- */
#define DB_OK 0
#define DB_ERR_NOMEM (-1)
#define DB_ERR_NOT_FOUND (-2)
#define DB_ERR_EXISTS (-3)
#define DB_ERR_CORRUPT (-4)
#define DB_ERR_IO (-5)
#define DB_ERR_INVALID (-6)
#define DB_ERR_BUSY (-7)

/* ---- Records, declared up front so any section can point at any other ---- */
typedef struct db_handle db_handle;
typedef struct db_options db_options;
typedef struct table_schema table_schema;
typedef struct memtable memtable;
typedef struct lsm lsm;
typedef struct btree btree;
typedef struct btree_node btree_node;
typedef struct btree_cursor btree_cursor;
typedef struct wal wal;
typedef struct wal_mmap wal_mmap;
typedef struct mapped_file mapped_file;
typedef struct shared_meta shared_meta;
typedef struct sstable_writer sstable_writer;
typedef struct sstable_reader sstable_reader;
typedef struct bloom_filter bloom_filter;
typedef struct compaction_level compaction_level;
typedef struct condition condition;
typedef struct query_builder query_builder;
typedef struct result_set result_set;
typedef struct row_schema row_schema;
typedef struct tokenizer tokenizer;
typedef struct token token;
typedef struct fst fst;
typedef struct fst_node fst_node;
typedef struct fts_index fts_index;
typedef struct query_term query_term;
typedef struct hybrid_options hybrid_options;
typedef struct hybrid_result hybrid_result;
typedef struct vec_config vec_config;
typedef struct vec_store vec_store;
typedef struct vec_result vec_result;
typedef struct vec_stats vec_stats;
typedef struct hnsw_node hnsw_node;
typedef struct hnsw_index hnsw_index;
typedef struct db_vec_options db_vec_options;
typedef struct embedder embedder;
typedef struct quant_config quant_config;
typedef struct quantizer quantizer;
typedef struct arena arena;
typedef struct cached_page cached_page;
typedef struct page_cache page_cache;

/* ======================================================================
 * Support utilities: arena allocator, page cache, file mapping, atomics (arena_, page_cache_, morvadb_mmap_, morvadb_file_size, morvadb_atomic_)
 * ==================================================================== */
/* BEGIN SECTION UTIL */

/* ---- Arena allocator (arena_) ----
 * A bump allocator over a chain of blocks. Allocations are released all at
 * once by arena_reset (memory kept for reuse) or arena_destroy. One thread
 * at a time; no locking. */

/* Size of new blocks when arena_create is given 0. */
#define ARENA_DEFAULT_BLOCK_SIZE 8192u
/* Every allocation is rounded up to a multiple of this and aligned to it. */
#define ARENA_ALIGNMENT 8u

typedef struct arena_block arena_block;

/* One block: this header, then `capacity` payload bytes in the same
 * allocation. */
struct arena_block {
    arena_block *next;          /* following block of the chain, NULL for the last */
    uint64_t capacity;          /* payload bytes */
    uint64_t used;              /* payload bytes handed out since creation or the last reset */
};

/* Allocated by arena_create. */
struct arena {
    arena_block *head;          /* first block */
    arena_block *current;       /* block that allocations are taken from */
    uint64_t block_size;        /* size of new blocks (8192 when created with 0) */
    uint64_t used;              /* bytes handed out since creation or the last reset, after rounding */
};

/* A new arena with one block of block_size bytes (0 selects 8192); NULL on failure. */
MORVADB_API arena *arena_create(uint64_t block_size);
/* size bytes, 8-byte aligned and uninitialised; NULL for a NULL arena, size 0, or no memory. */
MORVADB_API void *arena_alloc(arena *a, uint64_t size);
/* As arena_alloc, with the size bytes zeroed. */
MORVADB_API void *arena_alloc_zero(arena *a, uint64_t size);
/* Makes all memory reusable: every block empty, the head block current, used 0. */
MORVADB_API void arena_reset(arena *a);
/* Bytes handed out since creation or the last reset (0 for NULL). */
MORVADB_API uint64_t arena_used(const arena *a);
/* Frees every block and the arena; NULL is ignored. */
MORVADB_API void arena_destroy(arena *a);

/* ---- Page cache (page_cache_) ----
 * A fixed-capacity cache of 4096-byte pages with hash lookup, least-recently
 * used replacement that skips held pages, reference counts, dirty marks and
 * write-back through a host callback. The host provides the page_cache
 * storage and serialises all calls on one cache. */

/* Bytes of data in every cached page. */
#define PAGE_CACHE_PAGE_SIZE 4096u

/* One cached page; allocated by the cache. */
struct cached_page {
    uint64_t page_no;                      /* the key */
    uint8_t data[PAGE_CACHE_PAGE_SIZE];    /* page contents, zero-filled when created */
    uint32_t ref_count;                    /* 1 = only the cache's own reference; +1 per lookup hit, -1 per release */
    uint32_t dirty;                        /* 1 after page_cache_mark_dirty, 0 after the page is flushed */
    cached_page *chain_next;               /* next page in the same hash bucket */
    cached_page *lru_prev;                 /* recency-list neighbour on the less recently used side */
    cached_page *lru_next;                 /* recency-list neighbour on the more recently used side */
};

/* Storage provided by the host, set up by page_cache_init. */
struct page_cache {
    cached_page **buckets;      /* bucket_count hash chains; a page lives in bucket page_no % bucket_count */
    uint64_t bucket_count;      /* capacity given to init; also the most pages cached at once; 0 after destroy */
    uint64_t page_count;        /* pages currently cached */
    cached_page lru_head;       /* sentinel of the circular recency list: lru_next is the least,
                                   lru_prev the most recently used page */
    uint64_t hits;              /* lookups that found their page */
    uint64_t misses;            /* lookups that did not */
};

/* Write-back callback of page_cache_flush: called with the host's user
 * pointer, the page number and the page's PAGE_CACHE_PAGE_SIZE data bytes.
 * Its result is ignored. */
typedef int (*page_cache_write_fn)(void *user, uint64_t page_no, const uint8_t *data);

/* Sets up an empty cache of capacity pages: DB_OK, DB_ERR_INVALID (capacity 0 or NULL cache) or DB_ERR_NOMEM. */
MORVADB_API int32_t page_cache_init(page_cache *cache, uint64_t capacity);
/* The cached page (made most recent, ref_count + 1, a hit counted), or NULL on a miss. */
MORVADB_API cached_page *page_cache_get(page_cache *cache, uint64_t page_no);
/* The cached page as by a get (no hit counted), or a new zeroed page; evicts the least recent
 * unheld page when full; NULL when every page is held or memory runs out. */
MORVADB_API cached_page *page_cache_alloc(page_cache *cache, uint64_t page_no);
/* Drops one reference taken by get or alloc; the cache's own reference is never dropped. */
MORVADB_API void page_cache_release(page_cache *cache, cached_page *page);
/* Marks the page as modified. */
MORVADB_API void page_cache_mark_dirty(page_cache *cache, cached_page *page);
/* Calls write_fn for every dirty page (bucket order, then chain order) and clears its mark. */
MORVADB_API void page_cache_flush(page_cache *cache, page_cache_write_fn write_fn, void *user);
/* Frees every page (dirty pages are not written) and the buckets; the record may be initialised again. */
MORVADB_API void page_cache_destroy(page_cache *cache);

/* ---- File mapping, file size and atomics (morvadb_mmap_, morvadb_file_size, morvadb_atomic_) ---- */

/* A shared memory mapping of a file; the record is owned by the caller. */
struct mapped_file {
    void *map_base;             /* start of the mapping; all bits set (MAP_FAILED) when nothing is mapped */
    void *map_addr;             /* same address as map_base; the field sync and close use */
    uint64_t map_size;          /* length of the mapping in bytes; 0 when closed */
    int32_t fd;                 /* open descriptor, -1 when closed */
};

/* Maps size bytes of an existing file (size 0: its whole current size) shared, read-only
 * (writable 0) or read-write (writable 1). 0, or -1 with errno set; out is then closed. */
MORVADB_API int morvadb_mmap_open(const char *path, int writable, uint64_t size, mapped_file *out);
/* Flushes the whole mapping to its file synchronously: 0, or -1 with errno (EINVAL when not mapped). */
MORVADB_API int morvadb_mmap_sync(mapped_file *m);
/* Unmaps, closes the descriptor and marks the record closed; NULL and repeated calls are harmless. */
MORVADB_API void morvadb_mmap_close(mapped_file *m);
/* Stores the size in bytes of the file at path: 0, or -1 with errno set. */
MORVADB_API int morvadb_file_size(const char *path, uint64_t *out);
/* Sequentially consistent store of a naturally aligned word (usually in a shared mapping). */
MORVADB_API void morvadb_atomic_store_u64(uint64_t *p, uint64_t value);
/* Sequentially consistent store of a naturally aligned 32-bit word. */
MORVADB_API void morvadb_atomic_store_u32(uint32_t *p, uint32_t value);
/* Acquire load of a naturally aligned word: sees every byte stored before the matching store. */
MORVADB_API uint64_t morvadb_atomic_load_u64(const uint64_t *p);
/* Acquire load of a naturally aligned 32-bit word. */
MORVADB_API uint32_t morvadb_atomic_load_u32(const uint32_t *p);

/* END SECTION UTIL */

/* ======================================================================
 * Memtable and memtable pair (memtable_, lsm_)
 * ==================================================================== */
/* BEGIN SECTION MEMTABLE */

/* ---- Memtable (memtable_) ----
 * An ordered in-memory map of byte-string keys to values with tombstones,
 * kept as a skip list. Keys compare as unsigned bytes over the shorter
 * length; on an equal prefix the shorter key sorts first. No locking: the
 * owner serialises writers and keeps readers out during writes. */

/* Most levels of the skip list; node levels are 0 .. MEMTABLE_MAX_LEVEL - 1. */
#define MEMTABLE_MAX_LEVEL 12
/* Bytes charged per entry besides its key, value and forward pointers. */
#define MEMTABLE_NODE_OVERHEAD 32u

typedef struct memtable_node memtable_node;
typedef struct memtable_entry memtable_entry;

/* One entry: a single allocation holding this header, top_level + 1
 * forward pointers, then the key bytes, then the value bytes. */
struct memtable_node {
    uint64_t tag;               /* opaque value stored with the entry */
    uint64_t key_len;           /* key bytes */
    uint64_t value_len;         /* value bytes */
    int32_t tombstone;          /* 1 when the key is deleted */
    uint16_t top_level;         /* highest level the node is linked on, 0..11 */
#if defined(__cplusplus)
    /* ISO C++ has no flexible array members; g++ and clang++ accept one
     * marked as an extension, with the same layout as in C. */
    __extension__ memtable_node *forward[];   /* next node on levels 0..top_level */
#else
    memtable_node *forward[];   /* next node on levels 0..top_level */
#endif
};

/* Allocated by memtable_create. */
struct memtable {
    memtable_node *head;        /* node with MEMTABLE_MAX_LEVEL forward pointers, no key or value */
    uint64_t limit;             /* byte budget given at creation */
    uint64_t size;              /* bytes accounted: 40 + 8 * level + key + value per entry */
    int32_t top_level;          /* highest level in use, starting at 0 */
};

/* One node as seen by memtable_iterate; pointers refer into the node. */
struct memtable_entry {
    uint64_t tag;               /* the node's tag */
    const uint8_t *key;         /* key bytes */
    uint64_t key_len;           /* key length */
    const uint8_t *value;       /* value bytes */
    uint64_t value_len;         /* value length (0 for a tombstone) */
    int32_t tombstone;          /* 1 for a deleted key */
};

/* Iteration callback: a nonzero result stops the walk and is returned by it. */
typedef int32_t (*memtable_iter_fn)(const memtable_entry *entry, void *context);

/* A new empty memtable with the given byte budget; NULL without memory. */
MORVADB_API memtable *memtable_create(uint64_t limit);
/* Frees every node and the memtable; NULL is ignored. */
MORVADB_API void memtable_destroy(memtable *mt);
/* Inserts or overwrites a key (clearing a tombstone): DB_OK, DB_ERR_NOMEM or DB_ERR_INVALID. */
MORVADB_API int32_t memtable_put(memtable *mt, uint64_t tag, const void *key, uint64_t key_len,
                                 const void *value, uint64_t value_len);
/* Stores the key as a tombstone with an empty value: DB_OK or a failure status. */
MORVADB_API int32_t memtable_delete(memtable *mt, uint64_t tag, const void *key, uint64_t key_len);
/* DB_OK for a live key, DB_ERR_NOT_FOUND for an absent or deleted one; a present key (live or
 * tombstone) fills each non-NULL out with its value pointer, value length and tombstone flag. */
MORVADB_API int32_t memtable_get(const memtable *mt, const void *key, uint64_t key_len,
                                 const uint8_t **value, uint64_t *value_len, int32_t *tombstone);
/* 1 when size >= limit, else 0. */
MORVADB_API int memtable_is_full(const memtable *mt);
/* Bytes accounted so far. */
MORVADB_API uint64_t memtable_size(const memtable *mt);
/* Visits every node in ascending key order, tombstones included: DB_OK, or the first nonzero
 * callback result. */
MORVADB_API int32_t memtable_iterate(const memtable *mt, memtable_iter_fn callback, void *context);

/* ---- Memtable pair (lsm_) ----
 * The active memtable that takes every write and at most one flushing
 * memtable waiting to be written out. No locking of its own. */

/* Allocated by lsm_create. */
struct lsm {
    char *path;                 /* owned copy of the database path prefix */
    uint64_t memtable_limit;    /* limit of every memtable the pair creates */
    memtable *active;           /* takes every write; NULL only after a failed rotation */
    memtable *flushing;         /* previous active memtable awaiting its flush, or NULL */
    uint64_t next_seq;          /* next number of lsm_next_seq; 0 at creation, not persisted */
};

/* A pair with a fresh active memtable and no flushing one; NULL without memory. */
MORVADB_API lsm *lsm_create(const char *path, uint64_t memtable_limit);
/* Destroys both memtables, the path copy and the pair; NULL is ignored. */
MORVADB_API void lsm_destroy(lsm *l);
/* Rotates a full active memtable first, then puts into the active one (tag 0). */
MORVADB_API int32_t lsm_put(lsm *l, uint64_t table_id, const void *key, uint64_t key_len,
                            const void *value, uint64_t value_len);
/* Rotates a full active memtable first, then stores a tombstone in the active one. */
MORVADB_API int32_t lsm_delete(lsm *l, uint64_t table_id, const void *key, uint64_t key_len);
/* Active memtable, then flushing: DB_OK with the outs set for a live key; DB_ERR_NOT_FOUND for an
 * absent key or a tombstone in the first memtable that holds it. */
MORVADB_API int32_t lsm_get(lsm *l, uint64_t table_id, const void *key, uint64_t key_len,
                            const uint8_t **value, uint64_t *value_len);
/* Rotation: destroys the flushing memtable, moves the active one there and creates a new active
 * one: DB_OK, or DB_ERR_NOMEM with the active slot empty. */
MORVADB_API int32_t lsm_flush(lsm *l);
/* memtable_is_full of the active memtable (0 for NULL). */
MORVADB_API int lsm_is_full(const lsm *l);
/* 1 when the active memtable holds any bytes, else 0. */
MORVADB_API int lsm_has_data(const lsm *l);
/* Returns the next sequence number (0, 1, 2, ... per pair) and advances it; 0 for NULL. */
MORVADB_API uint64_t lsm_next_seq(lsm *l);
/* memtable_iterate over the flushing memtable; DB_ERR_INVALID when it, the pair or the callback is NULL. */
MORVADB_API int32_t lsm_iterate_flushing(lsm *l, memtable_iter_fn callback, void *context);
/* The active memtable (NULL for NULL). */
MORVADB_API memtable *lsm_get_active(lsm *l);
/* The flushing memtable, or NULL. */
MORVADB_API memtable *lsm_get_flushing(lsm *l);
/* Destroys the flushing memtable and empties its slot; NULL is ignored. */
MORVADB_API void lsm_destroy_flushing(lsm *l);

/* END SECTION MEMTABLE */

/* ======================================================================
 * B-tree of the merged sorted tables (btree_)
 * ==================================================================== */
/* BEGIN SECTION BTREE */

/*
 * An in-memory ordered map from byte-string keys to byte-string values,
 * kept as a B+ tree: entries live in leaves chained left to right; internal
 * nodes hold separator copies that only route lookups. Keys compare as
 * unsigned bytes over the shorter length, the shorter key first on an equal
 * prefix. The tree owns copies of every key and value. It takes no locks:
 * the owner serialises writers against readers.
 */

/* Most entries a node holds; the arrays of a node have room for twice as
 * many (and one more child). */
#define BTREE_MAX_KEYS 16
#define BTREE_ARRAY_SLOTS 32

/* One node. A leaf holds entries in ascending key order; an internal node
 * with n separators has n + 1 children, child i holding the keys at least
 * separator i - 1 and below separator i (a key equal to a separator lies to
 * its right). */
struct btree_node {
    int32_t is_leaf;                                /* 1 for a leaf, 0 for an internal node */
    int32_t num_keys;                               /* entries (leaf) or separators (internal), 0..16 */
    uint8_t *keys[BTREE_ARRAY_SLOTS];               /* key copies (leaf) or separator copies (internal) */
    uint64_t key_lens[BTREE_ARRAY_SLOTS];           /* byte length of each key */
    uint8_t *values[BTREE_ARRAY_SLOTS];             /* value copies, leaves only; NULL where stored as NULL */
    uint64_t value_lens[BTREE_ARRAY_SLOTS];         /* byte length of each value, leaves only */
    btree_node *children[BTREE_ARRAY_SLOTS + 1];    /* internal nodes only: num_keys + 1 children */
    btree_node *next;                               /* leaves only: next leaf to the right, NULL at the last */
};

/* The tree, allocated by btree_create. */
struct btree {
    btree_node *root;       /* root node; an empty leaf after creation, replaced when the root splits */
    uint64_t entry_count;   /* read-only for hosts: entries currently stored */
};

/* One entry as handed to btree_build_sorted and as returned by a cursor. */
typedef struct btree_entry {
    const uint8_t *key;     /* key bytes */
    uint64_t key_len;       /* key length */
    const uint8_t *value;   /* value bytes; may be NULL (a value stored as NULL) */
    uint64_t value_len;     /* value length */
} btree_entry;

/* A snapshot of every entry of a tree, in key order, independent of the
 * tree once created (it survives later changes and the tree's destruction). */
struct btree_cursor {
    btree_entry *entries;   /* entry_count entries; keys and values are the cursor's own copies */
    int32_t entry_count;    /* entries in the snapshot */
    int32_t position;       /* index of the entry btree_cursor_next returns next */
    void *storage;          /* private: the block holding the copied bytes */
};

/* A new tree whose root is an empty leaf, or NULL when memory runs out. */
MORVADB_API btree *btree_create(void);
/* Frees every node, key and value and the tree; NULL is ignored. */
MORVADB_API void btree_destroy(btree *tree);
/* Inserts copies of key and value, or replaces the value of an existing key.
 * A NULL value is stored as NULL with the given length. DB_OK,
 * DB_ERR_INVALID (NULL tree or key) or DB_ERR_NOMEM (the tree stays valid). */
MORVADB_API int32_t btree_put(btree *tree, const void *key, uint64_t key_len, const void *value, uint64_t value_len);
/* Looks key up: DB_OK with *value (the tree's own copy, valid until the next
 * change) and *value_len set when non-NULL, DB_ERR_NOT_FOUND or DB_ERR_INVALID. */
MORVADB_API int32_t btree_get(btree *tree, const void *key, uint64_t key_len, const uint8_t **value, uint64_t *value_len);
/* Removes key: DB_OK, DB_ERR_NOT_FOUND or DB_ERR_INVALID. Nodes are never
 * merged; a leaf may become empty. */
MORVADB_API int32_t btree_delete(btree *tree, const void *key, uint64_t key_len);
/* Puts count entries in array order; returns the first failing status.
 * NULL entries give DB_OK for count <= 0 and DB_ERR_INVALID otherwise. */
MORVADB_API int32_t btree_build_sorted(btree *tree, const btree_entry *entries, int32_t count);
/* A cursor over a copy of every entry, positioned at the first; NULL for a
 * NULL tree or when memory runs out. */
MORVADB_API btree_cursor *btree_cursor_create(btree *tree);
/* Positions the cursor at the first entry whose key is not smaller than key
 * (at the first entry for a NULL key; at the end when every key is smaller).
 * DB_OK, or DB_ERR_INVALID for a NULL cursor. */
MORVADB_API int32_t btree_cursor_seek(btree_cursor *cursor, const void *key, uint64_t key_len);
/* Copies the entry at the position into *out (pointers into the cursor) and
 * advances: DB_OK, DB_ERR_NOT_FOUND at the end, DB_ERR_INVALID for NULL. */
MORVADB_API int32_t btree_cursor_next(btree_cursor *cursor, btree_entry *out);
/* Frees the cursor and its copies; NULL is ignored. */
MORVADB_API void btree_cursor_destroy(btree_cursor *cursor);

/* END SECTION BTREE */

/* ======================================================================
 * Write-ahead log (wal_)
 * ==================================================================== */
/* BEGIN SECTION WAL */
#include <stdio.h>

/* Log file: a 20-byte header (magic, version, base sequence) followed by
 * records of a 33-byte fixed part, the key and, for puts, the value. */
#define WAL_MAGIC 0x56454C444953ULL /* bytes "SIDLEV\0\0" on disk */
#define WAL_VERSION 1u
#define WAL_HEADER_SIZE 20
#define WAL_RECORD_HEADER_SIZE 33
#define WAL_BUFFER_SIZE 65536        /* a record never exceeds the buffer */
#define WAL_FLUSH_THRESHOLD 32767    /* modes 0 and 1 write out above this */
#define WAL_SYNC_BATCH_APPENDS 1000  /* mode 1 restarts its append count every 1,000 appends */
#define WAL_MAX_FIELD_LEN 1048576    /* replay refuses longer keys or values */

/* Record operations (op byte; a reader treats any nonzero op as a delete). */
#define WAL_OP_PUT 0
#define WAL_OP_DELETE 1

/* sync_mode values. */
#define WAL_SYNC_NONE 0   /* push to the OS only when the buffer fills */
#define WAL_SYNC_BATCH 1  /* as 0: records reach the OS whenever the buffer is written out */
#define WAL_SYNC_ALWAYS 2 /* write every record out before its append returns */

/* The write-ahead log of P.wal. Allocated by wal_create, released by
 * wal_destroy; no locking inside (callers serialize appends). */
struct wal {
    char *path;                 /* owned copy of the file path */
    int32_t fd;                 /* descriptor the records are written through; -1 when closed */
    int32_t sync_mode;          /* 0, 1 or 2 (WAL_SYNC_*) */
    uint64_t last_seq;          /* sequence of the last record appended or replayed */
    uint64_t file_bytes;        /* 20 plus every byte written out since the header */
    int32_t appends_since_flush; /* appends since the log was last pushed out (modes 1, 2, wal_sync) */
    uint8_t *buffer;            /* record buffer of WAL_BUFFER_SIZE bytes */
    uint64_t buffered;          /* bytes waiting in buffer */
    FILE *stream;               /* "a+b" stream of the file, read by replay; NULL when closed */
};

/* Receives each replayed record: is_delete 0 or 1, the table id, the key,
 * and the value (NULL for deletes and empty values). Nonzero stops the replay
 * and becomes its result. */
typedef int (*wal_replay_fn)(int is_delete, uint64_t table_id, const void *key, uint64_t key_len,
                             const void *value, uint64_t value_len, void *ctx);

/* Opens or creates the log at path; NULL when it cannot or its header is wrong. */
MORVADB_API wal *wal_create(const char *path, int32_t sync_mode);
/* Appends a put (op != 1) or delete (op 1) record; DB_OK, DB_ERR_INVALID or DB_ERR_IO. */
MORVADB_API int32_t wal_append(wal *w, int32_t op, uint64_t table_id, const void *key, uint64_t key_len,
                               const void *value, uint64_t value_len);
/* Writes the buffered records out to the operating system; DB_ERR_IO when they cannot be. */
MORVADB_API int32_t wal_sync(wal *w);
/* Feeds every whole record numbered above the header's base sequence to callback (may be NULL)
 * and continues the numbering after the last. DB_ERR_IO when the file cannot be read (nothing is
 * cut then); a torn or damaged tail is cut back to the last whole record. */
MORVADB_API int32_t wal_replay(wal *w, wal_replay_fn callback, void *ctx);
/* Sequence number of the last record; 0 for NULL. */
MORVADB_API uint64_t wal_last_seq(const wal *w);
/* Empties the log, keeping the numbering in the new header's base sequence. The header is
 * rewritten in place first: its base retires the records even if the file cannot be cut. */
MORVADB_API int32_t wal_truncate(wal *w);
/* Writes out the buffer, closes the file and frees the log; NULL is ignored. */
MORVADB_API void wal_destroy(wal *w);
/* END SECTION WAL */

/* ======================================================================
 * Memory-mapped log and shared metadata (wal_mmap_, morvadb_shared_meta_)
 * ==================================================================== */
/* BEGIN SECTION MAPPED_LOG */

/*
 * Memory-mapped log: the file P.wal.mmap through which a writer in shared
 * mode publishes every put and delete to read-only followers.
 *
 * File layout (little-endian, 64-byte header, then entries back to back):
 *   0  u64 magic (bytes 53 49 44 4C 45 56 00 00, the write-ahead log's magic)
 *   8  u32 version 1
 *  12  u32 zero
 *  16  u64 write position: absolute offset of the end of the last entry
 *          (64 for an empty log); stored atomically after the entry bytes
 *  24  u64 data capacity: file size minus 64
 *  32  32 zero bytes
 *  64  entries in the write-ahead log's record layout: u64 sequence, u8 op
 *      (0 put, nonzero delete), u64 table id, u64 key length, u64 value
 *      length, key bytes, value bytes (puts with a value only)
 * The file size is the requested data size plus 64 rounded up to 4,096.
 */
#define WAL_MMAP_HEADER_SIZE 64
#define WAL_MMAP_ENTRY_HEADER_SIZE 33
#define WAL_MMAP_DEFAULT_DATA_SIZE 67108864ULL

/* One mapping of a mapped log. Allocated by the caller (the database handle
 * embeds it); wal_mmap_open fills it and wal_mmap_close empties it. */
struct wal_mmap {
    mapped_file file;   /* the mapping: base, address, size, descriptor */
    uint8_t *header;    /* start of the mapping (the 64-byte header) */
    uint8_t *data;      /* start of the mapping + 64: the first entry */
    uint64_t capacity;  /* bytes available for entries: mapping size - 64 */
    uint64_t cursor;    /* data-area offset of the next entry to read; in the
                           writer, the offset after its last appended entry */
};

/* The shared metadata record, also the whole 24-byte content of P.shared. */
struct shared_meta {
    uint64_t magic;        /* 0x4D4F525641444200 (file bytes 00 42 44 41 56 52 4F 4D) */
    uint64_t reserved;     /* zero */
    uint32_t version;      /* 1 */
    uint32_t reader_count; /* followers that joined and have not left */
};
#define SHARED_META_MAGIC 0x4D4F525641444200ULL
#define SHARED_META_VERSION 1u

/* Maps the log at path (file size: data_size + 64 rounded up to 4,096; 0 maps
 * the existing file whole). writable 1 creates or extends the file and
 * formats it unless it already carries the magic. 0 on success, -1 on failure. */
MORVADB_API int32_t wal_mmap_open(const char *path, int32_t writable, uint64_t data_size, wal_mmap *out);
/* Appends one entry (op 1 = delete, anything else = put) and publishes the new
 * write position. Returns the bytes appended, or -1 when it does not fit. */
MORVADB_API int64_t wal_mmap_append(wal_mmap *log, uint64_t sequence, int32_t op, uint64_t table_id,
                                    const void *key, uint64_t key_len, const void *value, uint64_t value_len);
/* Reads the entry at the cursor and advances past it: 0 with one entry, -1
 * when no complete entry is published. Key and value point into the mapping;
 * the value pointer is NULL (length 0) for deletes and empty values. */
MORVADB_API int32_t wal_mmap_read_entry(wal_mmap *log, uint64_t *sequence, int32_t *is_delete, uint64_t *table_id,
                                        const uint8_t **key, uint64_t *key_len, const uint8_t **value,
                                        uint64_t *value_len);
/* The published write position (absolute offset; minus 64 gives the bytes used). */
MORVADB_API uint64_t wal_mmap_get_write_pos(wal_mmap *log);
/* Synchronously writes the mapping back to its file: 0 or -1. */
MORVADB_API int32_t wal_mmap_sync(wal_mmap *log);
/* Unmaps and closes the log; a closed or never-opened record is left alone. */
MORVADB_API void wal_mmap_close(wal_mmap *log);
/* Replaces the file at path with a fresh, empty log of the same capacity
 * (built as path".new" and renamed over path) and maps it into log: 0 or -1. */
MORVADB_API int32_t wal_mmap_switch_file(const char *path, wal_mmap *log);

/* Writes record as P.shared (through P.shared.tmp and a rename): 0 or -1. */
MORVADB_API int32_t morvadb_shared_meta_write(const char *path, const shared_meta *meta);
/* Reads P.shared into out; a missing or invalid file is replaced by a fresh
 * record with reader count 0. 0 or -1. */
MORVADB_API int32_t morvadb_shared_meta_open(const char *path, shared_meta *out);
/* Adds one to the reader count of P.shared; meta receives the record written. */
MORVADB_API int32_t morvadb_shared_meta_reader_join(const char *path, shared_meta *meta);
/* Subtracts one from the reader count (never below 0); meta receives the record written. */
MORVADB_API int32_t morvadb_shared_meta_reader_leave(const char *path, shared_meta *meta);

/* END SECTION MAPPED_LOG */

/* ======================================================================
 * Bloom filter (morvadb_bloom_)
 * ==================================================================== */
/* BEGIN SECTION BLOOM */

/* ---- Bloom filter (morvadb_bloom_) ----
 * A bit-array filter over byte-string keys: a lookup answers "certainly
 * absent" or "maybe present". Its hash, probe sequence and serialized block
 * are part of the sorted table file format. No locking: concurrent lookups
 * are safe, inserts and resets need exclusive access.
 *
 * Serialized block (little-endian, no gaps): num_bits u32, num_hashes u32,
 * expected_items u32, then ceil(num_bits / 8) bytes of bits. */

/* Bytes of the serialized block before the bit array. */
#define BLOOM_HEADER_SIZE 12u

/* Allocated by morvadb_bloom_create or morvadb_bloom_load. */
struct bloom_filter {
    uint8_t *bits;              /* ceil(num_bits / 8) bytes; bit i is (bits[i / 8] >> (i % 8)) & 1 */
    uint32_t num_bits;          /* bits m; a multiple of 64 and at least 64 for a created filter */
    uint32_t num_hashes;        /* probes k per key */
    uint32_t expected_items;    /* item count the filter was sized for; kept for serialization */
};

/* An empty filter sized for expected_items keys at bits_per_item bits each; NULL when either is 0,
 * when the bit count does not fit in 32 bits, or without memory. */
MORVADB_API bloom_filter *morvadb_bloom_create(uint32_t expected_items, uint8_t bits_per_item);
/* A filter copied from a serialized block of size bytes; NULL for a short, truncated or
 * inconsistent block. */
MORVADB_API bloom_filter *morvadb_bloom_load(const void *data, size_t size);
/* Frees a created filter; NULL is ignored. */
MORVADB_API void morvadb_bloom_destroy(bloom_filter *filter);
/* Frees a loaded filter; NULL is ignored. */
MORVADB_API void morvadb_bloom_unload(bloom_filter *filter);
/* Sets the probe bits of a key (len may be 0; key must not be NULL). */
MORVADB_API void morvadb_bloom_insert(bloom_filter *filter, const void *key, size_t len);
/* 1 when every probe bit of the key is set (maybe present), 0 when one is clear or an argument is NULL. */
MORVADB_API int morvadb_bloom_maybe(const bloom_filter *filter, const void *key, size_t len);
/* Clears every bit; the sizes stay. */
MORVADB_API void morvadb_bloom_reset(bloom_filter *filter);
/* 12 + ceil(num_bits / 8); 0 for NULL. */
MORVADB_API size_t morvadb_bloom_serialized_size(const bloom_filter *filter);
/* Writes the serialized block into out, which holds morvadb_bloom_serialized_size bytes. */
MORVADB_API void morvadb_bloom_serialize(const bloom_filter *filter, void *out);

/* END SECTION BLOOM */

/* ======================================================================
 * Sorted tables and level compaction (sstable_, compaction_, compactor_)
 * ==================================================================== */
/* BEGIN SECTION SSTABLE */
#include <stdio.h>

/* Sorted table file: 56-byte header, entries in ascending key order, a sparse
 * index (one point per SSTABLE_INDEX_INTERVAL entries), an optional bloom
 * block and a CRC-32 of everything after the header in the last 4 bytes. */
#define SSTABLE_MAGIC 0x4D534E54u   /* bytes 54 4E 53 4D on disk */
#define SSTABLE_VERSION 2u          /* written; readers accept 0, 1 and 2 */
#define SSTABLE_HEADER_SIZE 56
#define SSTABLE_INDEX_INTERVAL 32
#define SSTABLE_MAX_KEY_LEN 1048576
#define SSTABLE_MAX_VALUE_LEN 1048576
#define SSTABLE_ENTRY_OVERHEAD 9    /* key length, flags, value length */
#define SSTABLE_BLOOM_ITEMS 65536   /* every table's filter is sized for this */
#define SSTABLE_BLOOM_BITS_PER_ITEM 10

/* Entry flags; bit value 2 is the tombstone test. */
#define SSTABLE_FLAG_VALUE 1
#define SSTABLE_FLAG_TOMBSTONE 2

/* Writes one table through a temporary name. Allocated by
 * sstable_writer_create; used by one thread. */
struct sstable_writer {
    FILE *stream;               /* the temporary file; NULL once closed */
    char *temp_path;            /* owned */
    char *final_path;           /* owned */
    uint64_t sequence;          /* stored in the header */
    uint64_t num_entries;       /* entries added */
    uint64_t data_bytes;        /* entry bytes added (key + value + 9 each) */
    uint32_t since_index;       /* entries since the last index point, 0 to 31 */
    uint8_t *index_buf;         /* index points being built (without the count) */
    uint64_t index_cap;         /* capacity of index_buf, from 4,096 doubling */
    uint64_t index_len;         /* used bytes of index_buf */
    bloom_filter *filter;       /* filter over the added keys, or NULL */
    int32_t filter_created;     /* 1 once the filter exists */
    /* Private state follows in the library's allocation. */
};

/* One sparse index point of an open table. */
typedef struct sstable_index_point {
    const uint8_t *key;         /* points into the mapping */
    uint64_t key_len;
    uint64_t offset;            /* absolute file offset of the entry with this key */
} sstable_index_point;

/* An open, read-only mapped table. Allocated by sstable_reader_open;
 * immutable afterwards, so lookups and scans may run from many threads. */
struct sstable_reader {
    char *path;                 /* owned copy */
    int32_t fd;
    const uint8_t *map;         /* read-only shared mapping of the whole file */
    uint64_t map_size;          /* file size in bytes */
    uint32_t magic;             /* header fields, as stored */
    uint32_t version;
    uint64_t num_entries;
    uint64_t data_size;
    uint64_t index_offset;
    uint64_t bloom_offset;
    uint64_t sequence;
    uint64_t created_at;        /* seconds since the Unix epoch */
    sstable_index_point *index; /* num_index points */
    uint64_t num_index;
    int32_t crc_state;          /* 1 matched, -1 mismatched, 0 not computed */
    bloom_filter *filter;       /* loaded filter, or NULL */
};

/* Receives each entry of a scan; value is NULL when value_len is 0. Nonzero
 * stops the scan and becomes its result. */
typedef int (*sstable_scan_fn)(const void *key, uint64_t key_len, const void *value, uint64_t value_len,
                               int flags, void *ctx);

/* Opens temp_path for writing a table that finish renames to final_path. */
MORVADB_API sstable_writer *sstable_writer_create(const char *temp_path, const char *final_path, uint64_t sequence);
/* Appends one entry; keys must arrive in strictly ascending order. */
MORVADB_API int32_t sstable_writer_add(sstable_writer *w, const void *key, uint64_t key_len, const void *value,
                                       uint64_t value_len, uint8_t flags);
/* Writes index, bloom block, CRC and header, syncs and renames into place. */
MORVADB_API int32_t sstable_writer_finish(sstable_writer *w);
/* Frees the writer; an unfinished writer's temporary file is deleted. NULL is ignored. */
MORVADB_API void sstable_writer_destroy(sstable_writer *w);
/* Maps and validates a table file; NULL when it is missing, malformed or damaged. */
MORVADB_API sstable_reader *sstable_reader_open(const char *path);
/* Point lookup; *value points into the mapping. DB_ERR_NOT_FOUND for absent or tombstoned keys. */
MORVADB_API int32_t sstable_reader_get(const sstable_reader *r, const void *key, uint64_t key_len,
                                       const void **value, uint64_t *value_len, uint8_t *flags);
/* Calls callback for every entry in file order, tombstones included. */
MORVADB_API int32_t sstable_reader_scan(const sstable_reader *r, sstable_scan_fn callback, void *ctx);
/* Unmaps and frees the reader; NULL is ignored. */
MORVADB_API void sstable_reader_close(sstable_reader *r);
/* The header's entry count; 0 for NULL. */
MORVADB_API uint64_t sstable_reader_num_entries(const sstable_reader *r);
/* The header's sequence; 0 for NULL. */
MORVADB_API uint64_t sstable_reader_sequence(const sstable_reader *r);
/* 1 when the stored CRC matched, -1 when not; 0 for NULL. */
MORVADB_API int sstable_reader_crc_ok(const sstable_reader *r);
/* Lists the "<prefix>.sst.*" files beside path_prefix into newly allocated
 * strings (caller frees); returns the count or DB_ERR_INVALID. */
MORVADB_API int sstable_scan_dir(const char *path_prefix, char **out_paths, int max_paths,
                                 uint64_t *out_max_sequence);

/* ---- Level compaction ---- */
#define COMPACTION_NUM_LEVELS 8       /* levels 0 to 7 as the engine uses them */
#define COMPACTION_L0_FILE_TRIGGER 4  /* level 0 compacts at this many files */
#define COMPACTION_L1_MAX_BYTES 10485760ULL /* level 1 limit; x10 per deeper level */

/* One level of the census. Arrays of it are allocated by the caller; the
 * paths inside belong to the record until compaction_free_levels. */
struct compaction_level {
    int32_t level;              /* equal to the record's index in the array */
    char **paths;               /* owned paths of the level's files, directory order */
    int32_t file_count;         /* number of paths */
    uint64_t total_bytes;       /* sum of the files' sizes */
};

/* Kept for the interface; holds no state. */
typedef struct compactor compactor;

/* Fills levels[0..level_count) from the table files beside path_prefix. */
MORVADB_API int32_t compaction_scan_levels(const char *path_prefix, compaction_level *levels, int level_count);
/* Frees every path and empties the records; NULL is ignored. */
MORVADB_API void compaction_free_levels(compaction_level *levels, int level_count);
/* Appends a copy of path to levels[level] (level 0 to 7) and adds size. */
MORVADB_API void compaction_register_file(compaction_level *levels, int level, const char *path, uint64_t size);
/* Byte limit of a level: 0 for level 0, 10 MiB for level 1, x10 per level after. */
MORVADB_API uint64_t compaction_max_bytes_for_level(int level);
/* The level to compact next, or -1 when none needs it. */
MORVADB_API int compaction_pick_level(const compaction_level *levels, int level_count);
/* Formats "<prefix>.sst.<level>.<sequence>" into buffer; returns the untruncated length. */
MORVADB_API int compaction_make_path(const char *path_prefix, int level, uint64_t sequence, char *buffer,
                                     size_t buffer_size);
/* Merges the input tables into one table at output_path (newest table wins per key, tombstones dropped). */
MORVADB_API int32_t compaction_merge_to_level(char *const *input_paths, int input_count,
                                              const char *output_path, uint64_t sequence);
/* One compaction step: census, pick, merge into the next level, delete the inputs. */
MORVADB_API int32_t compaction_run_level(const char *path_prefix, int level, uint64_t sequence);
/* Returns an empty compactor, or NULL. */
MORVADB_API compactor *compactor_create(void);
/* Frees a compactor; NULL is ignored. */
MORVADB_API void compactor_destroy(compactor *c);
/* Same as compaction_merge_to_level; the compactor is not used. */
MORVADB_API int32_t compactor_merge_sstables(compactor *c, char *const *input_paths, int input_count,
                                             const char *output_path, uint64_t sequence);
/* END SECTION SSTABLE */

/* ======================================================================
 * Rows, result sets, conditions and the query builder (row_, rs_, qb_, condition_, filter_match, db_query)
 * ==================================================================== */
/* BEGIN SECTION QUERY */

/*
 * Rows. A table row is the concatenation of its column values in column
 * order, in native (little-endian) byte order, with no header, padding or
 * terminator. Strings and blobs are a 4-byte signed length L followed by L
 * bytes. A row may stop early: columns lying wholly or partly past its end
 * are absent and read as no value. Hosts encode rows themselves and store
 * them with db_put under a key of their choosing.
 */
enum column_type {
    COL_INT32 = 0,  /* signed 32-bit integer, 4 bytes */
    COL_INT64 = 1,  /* signed 64-bit integer, 8 bytes */
    COL_FLOAT = 2,  /* IEEE-754 single precision, 4 bytes */
    COL_DOUBLE = 3, /* IEEE-754 double precision, 8 bytes */
    COL_STRING = 4, /* 4-byte signed length L, then L bytes */
    COL_BLOB = 5,   /* 4-byte signed length L, then L bytes */
    COL_BOOL = 6    /* one byte, nonzero means true */
};

/* Result sets and row schemas describe at most this many columns. */
#define ROW_MAX_COLUMNS 64
/* Size of the fixed name fields of the query records (63 bytes + NUL). */
#define QB_NAME_SIZE 64
/* Size of a condition leaf's operator text (15 bytes + NUL). */
#define COND_OP_SIZE 16
/* Size of a condition leaf's literal text (255 bytes + NUL). */
#define COND_VALUE_SIZE 256
/* Join lookup keys are built in a buffer of this size; a key (with its
 * terminating NUL) that does not fit leaves its row unjoined. */
#define QB_JOIN_KEY_SIZE 256

/* Per-column widths of a table, filled by row_schema_init. Host-allocatable. */
struct row_schema {
    int32_t count;                    /* column count as passed in (not clamped to 64) */
    int32_t offsets[ROW_MAX_COLUMNS]; /* fixed-width column: start offset when every earlier
                                         variable-length value is empty; -1 for variable length */
    int32_t sizes[ROW_MAX_COLUMNS];   /* 4, 8, 4, 8 for codes 0-3, 1 for COL_BOOL, 0 = variable */
};

/*
 * A cursor-style result: the rows of qb_exec (search_mode 0) or the hits of
 * db_fts_search (search_mode 1, columns "doc_id" COL_INT64 and "score"
 * COL_DOUBLE served from ids/scores). Column names are borrowed: for a query
 * result they point into the database's catalog, so keep the database open
 * while reading. Pointers handed out stay valid until rs_close.
 */
struct result_set {
    int32_t row_count;                          /* rows the cursor walks */
    int32_t cursor;                             /* current row; -1 before the first rs_next */
    int32_t column_count;
    uint32_t column_types[ROW_MAX_COLUMNS];     /* enum column_type codes */
    const char *column_names[ROW_MAX_COLUMNS];  /* borrowed, never freed here */
    int32_t search_mode;                        /* nonzero: columns come from ids/scores */
    int64_t *ids;                               /* search mode: row_count document ids (owned) */
    double *scores;                             /* search mode: row_count scores (owned) */
    uint8_t **rows;                             /* private heap copies of encoded rows (owned) */
    uint64_t *row_lengths;                      /* byte lengths parallel to rows (owned) */
    int32_t capacity;                           /* slots in rows and row_lengths */
    int32_t stored_rows;                        /* rows held in rows */
};

/* Kinds of condition nodes. */
#define COND_LEAF 0u
#define COND_AND 1u
#define COND_OR 2u
#define COND_NOT 3u

/*
 * One node of a query's condition tree. A leaf compares the named column of
 * a row with a literal (given as text) through one of the operators "=",
 * "!=", ">", "<", ">=", "<="; inner nodes combine children. An inner node
 * owns its children. Built by qb_cond / qb_cond_and / qb_cond_or /
 * qb_cond_not; freed by condition_destroy unless attached to a builder.
 * Trees of any depth are evaluated and freed without recursion.
 */
struct condition {
    uint32_t kind; /* COND_LEAF, COND_AND, COND_OR or COND_NOT */
    __extension__ union {
        __extension__ struct {                 /* COND_LEAF */
            char column[QB_NAME_SIZE];         /* column name, cut to 63 bytes */
            char op[COND_OP_SIZE];             /* operator text, cut to 15 bytes */
            char value[COND_VALUE_SIZE];       /* literal text, cut to 255 bytes */
            uint64_t value_len;                /* length of the kept literal (informational) */
        };
        __extension__ struct {                 /* COND_AND, COND_OR, COND_NOT */
            condition *left;                   /* first child; the only child of COND_NOT */
            condition *right;                  /* second child; null for COND_NOT */
        };
    };
};

/*
 * A query on one table, from db_query to qb_destroy. Execution order: scan
 * (with the condition), sort, limit, join; each key yields at most one row,
 * its newest live version. Allocated by the library.
 */
struct query_builder {
    db_handle *db;                            /* the handle queried (borrowed) */
    char table[QB_NAME_SIZE];                 /* queried table */
    struct condition *condition;              /* attached tree, owned; null when none */
    char sort_column[QB_NAME_SIZE];
    int32_t sort_ascending;                   /* nonzero ascending, zero descending */
    int32_t sort_enabled;
    int32_t limit;                            /* maximum number of rows */
    int32_t limit_enabled;
    char join_table[QB_NAME_SIZE];            /* table whose rows are joined in */
    char join_local_column[QB_NAME_SIZE];     /* queried column holding the joined row's key */
    char join_foreign_column[QB_NAME_SIZE];   /* joined column left out of the result */
    int32_t join_enabled;
};

/* Fills schema from count type codes (at most 64 described). NULL schema: no-op. */
MORVADB_API void row_schema_init(row_schema *schema, const uint32_t *types, int32_t count);
/* Pointer to column's value inside row (length to *out_len), or NULL when absent/invalid. */
MORVADB_API const void *row_extract_column(const row_schema *schema, int32_t column, const void *row,
                                           int32_t row_len, int32_t *out_len);

/* Appends a private copy of len bytes of an encoded row. DB_OK, DB_ERR_INVALID, DB_ERR_NOMEM. */
MORVADB_API int32_t rs_add_row(result_set *rs, const void *row, size_t len);
/* Advances the cursor: 1 when it is on a row, 0 past the end (and for NULL). */
MORVADB_API int32_t rs_next(result_set *rs);
/* Current row's value of column (NULL data and 0 length when absent). DB_OK or DB_ERR_INVALID. */
MORVADB_API int32_t rs_get_column(result_set *rs, int32_t column, const void **out_data, uint64_t *out_len);
/* Random access to stored row number row; NULL (and *out_len 0) when invalid or absent. */
MORVADB_API const void *rs_get_row_column(result_set *rs, int32_t row, int32_t column, uint64_t *out_len);
/* Column type code, or 0 for a NULL rs or a column out of range. */
MORVADB_API uint32_t rs_get_column_type(result_set *rs, int32_t column);
/* Number of columns, 0 for NULL. */
MORVADB_API int32_t rs_num_columns(result_set *rs);
/* Frees the result set and everything it owns; NULL does nothing. */
MORVADB_API void rs_close(result_set *rs);

/* New leaf comparing column with the literal value through op; NULL on a NULL string or no memory. qb is ignored. */
MORVADB_API condition *qb_cond(query_builder *qb, const char *column, const char *op, const char *value);
/* New AND node owning both children; NULL (children stay the caller's) if either is NULL or no memory. */
MORVADB_API condition *qb_cond_and(query_builder *qb, condition *left, condition *right);
/* New OR node owning both children; NULL (children stay the caller's) if either is NULL or no memory. */
MORVADB_API condition *qb_cond_or(query_builder *qb, condition *left, condition *right);
/* New NOT node owning child; NULL (child stays the caller's) if child is NULL or no memory. */
MORVADB_API condition *qb_cond_not(query_builder *qb, condition *child);
/* Frees a condition tree of any depth; NULL does nothing. */
MORVADB_API void condition_destroy(condition *cond);
/* 1 when the column value (as row_extract_column gives it) stands in relation op to literal, else 0. */
MORVADB_API int32_t filter_match(const void *value, int32_t value_len, uint32_t type, const char *op,
                                 const char *literal);

/* New query builder on table (looked up at execution); NULL on NULL arguments or no memory. */
MORVADB_API query_builder *db_query(db_handle *db, const char *table);
/* Replaces the queried table. */
MORVADB_API int32_t qb_from(query_builder *qb, const char *table);
/* ANDs the leaf (column op value) to the attached condition. */
MORVADB_API int32_t qb_filter(query_builder *qb, const char *column, const char *op, const char *value);
/* Replaces the attached condition with cond, which the builder then owns. */
MORVADB_API int32_t qb_where(query_builder *qb, condition *cond);
/* Sorts by column, ascending when ascending is nonzero. */
MORVADB_API int32_t qb_sort(query_builder *qb, const char *column, int32_t ascending);
/* Keeps at most n rows (after the sort); DB_ERR_INVALID for negative n. */
MORVADB_API int32_t qb_limit(query_builder *qb, int32_t n);
/* Left outer join: each row's local_column value, as key text plus NUL, is looked up in table. */
MORVADB_API int32_t qb_join(query_builder *qb, const char *table, const char *local_column,
                            const char *foreign_column);
/* Runs the query; a new result set owned by the caller, NULL for NULL qb or no memory. */
MORVADB_API result_set *qb_exec(query_builder *qb);
/* Frees the builder and its attached condition; NULL does nothing. */
MORVADB_API void qb_destroy(query_builder *qb);

/* END SECTION QUERY */

/* ======================================================================
 * Tokenizer and full-text query language (tokenizer_, fts_query_parse)
 * ==================================================================== */
/* BEGIN SECTION TOKENIZER */

/* Longest token text in bytes; longer words are cut to this length. */
#define TOKENIZER_MAX_WORD 255

/* An ASCII tokenizer: words of letters, digits and apostrophes, lower-cased,
 * with optional stop words and suffix stemming. Not thread-safe. */
struct tokenizer {
    int32_t stemmer;        /* nonzero: strip English suffixes */
    char **stopwords;       /* owned copies, matched byte-wise; NULL when none */
    int32_t stopword_count; /* slots in stopwords */
    char word[256];         /* working buffer: the current word and its NUL */
    char **token_texts;     /* every token text handed out; freed by tokenizer_destroy */
    int32_t token_capacity; /* slots in token_texts */
    int32_t token_count;    /* texts held */
};

/* One token, written by tokenizer_tokenize into the caller's array. */
struct token {
    const char *text;  /* NUL-terminated; owned by the tokenizer until tokenizer_destroy */
    uint64_t length;   /* bytes in text */
    uint64_t position; /* ordinal among the tokens emitted by this call, from 0 */
};

/* Kinds of full-text query items. */
#define QT_TERM 0
#define QT_PHRASE 1
#define QT_FUZZY 2
#define QT_AND 3
#define QT_OR 4
#define QT_NOT 5
#define QT_RANGE 6

/* One item of a parsed full-text query, in query order. */
struct query_term {
    int32_t kind;    /* QT_TERM ... QT_RANGE */
    char field[64];  /* field name before a colon; empty when none */
    char text[256];  /* term, phrase text or range lower bound, as written */
    char upper[256]; /* range upper bound */
    double boost;    /* the number after a caret; 1.0 when none */
    int32_t distance; /* fuzzy edit distance after a tilde; 0 when none */
};

/* A new tokenizer (stemmer off, no stop words), or NULL when out of memory. */
MORVADB_API tokenizer *tokenizer_create(void);
/* Frees the tokenizer with every token text it handed out; NULL is ignored. */
MORVADB_API void tokenizer_destroy(tokenizer *tok);
/* Turns suffix stemming on (nonzero) or off. */
MORVADB_API void tokenizer_set_stemmer(tokenizer *tok, int32_t on);
/* Replaces the stop words with copies of count words (lower case to match). */
MORVADB_API void tokenizer_set_stopwords(tokenizer *tok, const char **words, int32_t count);
/* Splits text_len bytes of text into at most max_tokens tokens; returns the count. */
MORVADB_API int32_t tokenizer_tokenize(tokenizer *tok, const char *text, uint64_t text_len, token *tokens,
                                       int32_t max_tokens);

/* Parses a NUL-terminated full-text query into at most max_terms items;
 * returns the number written. */
MORVADB_API int32_t fts_query_parse(const char *query, query_term *terms, int32_t max_terms);

/* END SECTION TOKENIZER */

/* ======================================================================
 * Term trie, inverted index and BM25 (fst_, fts_index_, bm25_score)
 * ==================================================================== */
/* BEGIN SECTION TERM_INDEX */

/*
 * Term dictionary: a 256-way trie mapping NUL-terminated byte strings of at
 * most 256 bytes to one unsigned 64-bit value each, with exact, prefix and
 * edit-distance lookups. Nodes are never removed. No locking: callers must
 * not overlap a change with any other call.
 */

/* Longest term the dictionary stores, in bytes (NUL excluded). */
#define FST_MAX_TERM_LEN 256

/* One trie node per distinct prefix, zero-filled when created. */
struct fst_node {
    fst_node *children[256];    /* child per next byte value; NULL where no term continues */
    uint64_t value;             /* value of the term ending here (when is_final) */
    int32_t is_final;           /* nonzero when a term ends at this node */
};

/* The dictionary, allocated by fst_create. */
struct fst {
    fst_node *root;         /* node of the empty prefix */
    uint64_t term_count;    /* distinct terms stored (final nodes) */
    uint64_t node_count;    /* nodes, root included; 1 after creation */
};

/* A new empty dictionary (root only), or NULL when memory runs out. */
MORVADB_API fst *fst_create(void);
/* Frees every node and the dictionary; NULL is ignored. */
MORVADB_API void fst_destroy(fst *dict);
/* Stores value under term, replacing an earlier value. DB_OK,
 * DB_ERR_INVALID (NULL argument, term over 256 bytes) or DB_ERR_NOMEM. */
MORVADB_API int32_t fst_insert(fst *dict, const char *term, uint64_t value);
/* DB_OK with *out_value set (when non-NULL) if term is stored,
 * DB_ERR_NOT_FOUND if not, DB_ERR_INVALID for a NULL dict or term. */
MORVADB_API int32_t fst_get(fst *dict, const char *term, uint64_t *out_value);
/* Writes the values of up to max terms starting with prefix, in byte order
 * of the terms (shorter first), and returns how many were written. */
MORVADB_API int32_t fst_prefix_search(fst *dict, const char *prefix, uint64_t *out_values, int32_t max);
/* Writes the values of up to max terms within edit distance max_distance of
 * term, in byte order of the terms, and returns how many were written. */
MORVADB_API int32_t fst_fuzzy_search(fst *dict, const char *term, int32_t max_distance, uint64_t *out_values,
                                     int32_t max);
/* Number of distinct terms stored (0 for NULL). */
MORVADB_API uint64_t fst_size(fst *dict);
/* Bytes held: node_count * sizeof(fst_node) + sizeof(fst) (0 for NULL). */
MORVADB_API uint64_t fst_memory_used(fst *dict);

/*
 * Inverted index: each added document gets the next sequential id; every
 * term of a document stores one posting, (doc_id << 16) | (payload & 0xFFFF),
 * in the term dictionary, replacing the term's earlier posting. Searches
 * return document ids. No locking: the owner serialises adds and searches.
 */

/* Bits of a posting value that hold the caller's payload. */
#define FTS_PAYLOAD_BITS 16

/* The index, allocated by fts_index_create. */
struct fts_index {
    fst *terms;             /* term -> posting value */
    uint64_t next_doc_id;   /* id the next added document receives; starts at 0 */
    int32_t doc_count;      /* documents added */
    int32_t posting_count;  /* postings written, one per non-NULL term of each document */
};

/* A new empty index with its own dictionary, or NULL when memory runs out. */
MORVADB_API fts_index *fts_index_create(void);
/* Frees the dictionary and the index; NULL is ignored. */
MORVADB_API void fts_index_destroy(fts_index *idx);
/* Adds a document of n terms (NULL entries skipped) under the next id.
 * payloads may be NULL (payload 0); only a payload's low 16 bits are kept.
 * text is not used. DB_OK, DB_ERR_INVALID, or the first failing insert's
 * status (the id stays consumed, later terms are not added). */
MORVADB_API int32_t fts_index_add_document(fts_index *idx, const char **terms, const char *text,
                                           const uint64_t *payloads, int32_t n);
/* Exact lookup: writes the id of the latest document holding term to
 * out_ids[0] and returns 1, or returns 0. */
MORVADB_API int32_t fts_index_search(fts_index *idx, const char *term, uint64_t *out_ids, int32_t max);
/* Writes the ids of up to min(max, 256) terms within max_distance of term,
 * in byte order of the terms, and returns how many were written. */
MORVADB_API int32_t fts_index_search_fuzzy(fts_index *idx, const char *term, int32_t max_distance,
                                           uint64_t *out_ids, int32_t max);
/* BM25 score of one term in one document; 0 when doc_freq or total_docs is
 * 0 or less. */
MORVADB_API double bm25_score(double tf, double doc_len, double avg_doc_len, double total_docs, double doc_freq,
                              double k1, double b);

/* END SECTION TERM_INDEX */

/* ======================================================================
 * Vector store, distances, HNSW, persistence, vector log, filtered search, database vector index (morvadb_vec_, vec_, hnsw_, db_vec_)
 * ==================================================================== */
/* BEGIN SECTION VECTOR */

#include <stdio.h>

/* ---- Status values of the vector families (morvadb_vec_, vec_, hnsw_) ----
 * 0 success, -1 out of memory (also a full HNSW graph, or a flush thread that
 * could not start), -2 id not found / meta file missing, -3 short data file or
 * bad magic, -4 a file could not be opened or written, -5 invalid argument. */
#define VEC_OK 0
#define VEC_ERR_NOMEM (-1)
#define VEC_ERR_NOT_FOUND (-2)
#define VEC_ERR_FORMAT (-3)
#define VEC_ERR_FILE (-4)
#define VEC_ERR_INVALID (-5)

/* Distance metric of a store or graph, an unsigned 32-bit value. Smaller is
 * nearer for every metric; any value other than these selects L2. */
typedef uint32_t vec_metric;
enum {
    VEC_METRIC_L2 = 0,     /* squared Euclidean distance */
    VEC_METRIC_COSINE = 1, /* 1 - cosine similarity */
    VEC_METRIC_IP = 2      /* negated inner product */
};

/* Index type of vec_config.index_type; any value other than HNSW is flat. */
#define VEC_INDEX_FLAT 0u
#define VEC_INDEX_HNSW 1u

/* Nodes of an HNSW graph created with capacity 0. */
#define VEC_HNSW_DEFAULT_CAPACITY 4194304u

/* Distance kernel: (first vector, second vector, dimension) -> distance. */
typedef float (*vec_distance_fn)(const float *a, const float *b, uint32_t dim);

/* Host filter of the filtered search: non-zero keeps the id. Called under the
 * store's shared lock; it must not call the same store's writing functions. */
typedef int32_t (*vec_filter_fn)(uint64_t id, void *user);

/* Creation record of a vector store (allocated by the caller). */
struct vec_config {
    uint32_t index_type;      /* VEC_INDEX_HNSW for a graph, else flat */
    uint32_t metric;          /* a vec_metric value */
    uint32_t dimension;       /* floats per vector; must not be 0 */
    uint32_t capacity;        /* flat: slots to preallocate; HNSW: maximum nodes, 0 = 4,194,304 */
    uint32_t persist;         /* non-zero with a directory path: persistent store */
    uint32_t m;               /* HNSW links per node above layer 0 (layer 0 allows 2 x m) */
    uint32_t ef_construction; /* HNSW candidate-list size while inserting */
    uint32_t ef_search;       /* HNSW minimum candidate-list size while searching */
};

/* One search hit; searches write arrays of these in ascending distance. */
struct vec_result {
    uint64_t id;    /* the vector's id */
    float distance; /* the kernel's value for (query, vector) */
};

/* Filled by morvadb_vec_stats (allocated by the caller). */
struct vec_stats {
    uint64_t count;        /* flat: slots used (deleted included); HNSW: live nodes */
    uint64_t capacity;     /* flat: slots allocated; HNSW: 0 */
    uint64_t memory_bytes; /* flat: 208 + capacity x (4 x dimension + 9); HNSW: 320 */
    uint32_t dimension;    /* floats per vector */
};

/* One node of an HNSW graph, in insertion order. */
struct hnsw_node {
    float *vector;    /* the node's vector inside the graph's vector array */
    uint64_t id;      /* the caller's id */
    int32_t level;    /* top layer of the node */
    uint32_t deleted; /* 1 once deleted; deleted nodes are neither traversed nor returned */
};

/* Hierarchical navigable small-world graph (allocated by the library). */
struct hnsw_index {
    int32_t dimension;       /* floats per vector */
    int32_t m;               /* the M parameter */
    int32_t max_links;       /* = M: most neighbours per node on layers 1 and above */
    int32_t max_links0;      /* = 2 x M: most neighbours per node on layer 0 */
    int32_t ef_construction; /* candidate-list size while inserting */
    int32_t ef_search;       /* minimum candidate-list size while searching */
    float level_mult;        /* 1 / ln(M), single precision */
    float *vectors;          /* node i's vector at i x dimension */
    hnsw_node *nodes;        /* one record per inserted node */
    int32_t *levels;         /* copy of each node's level */
    int32_t capacity;        /* fixed maximum number of nodes */
    int32_t node_count;      /* nodes added so far, deleted ones included */
    int32_t **links;         /* per layer 0 .. max_level: one row per node slot of max_links0 (layer 0) or max_links node indexes */
    int32_t *link_counts;    /* neighbour count of node i on layer L at L x capacity + i */
    int32_t entry;           /* entry node, -1 while the graph has no live entry */
    int32_t max_level;       /* highest existing layer, -1 for an empty graph */
    int32_t *visit_marks;    /* capacity visit marks used while inserting */
    int32_t visit_epoch;     /* current mark value of visit_marks */
    vec_distance_fn distance; /* kernel of the graph's metric */
};

/* A vector store (allocated by the library; owned by the caller between
 * create/open and close). */
struct vec_store {
    vec_config config;          /* copy of the creation record (rebuilt from "meta" on open) */
    vec_distance_fn distance;   /* kernel of config.metric */
    pthread_rwlock_t lock;      /* guards every field below except the flush-thread fields */
    char *path;                 /* owned directory path, NULL for an in-memory store */
    uint32_t dirty;             /* set by inserts and deletes, cleared by a checkpoint (read atomically) */
    hnsw_index *graph;          /* the graph of an HNSW store, else NULL */
    uint32_t uses_graph;        /* 1 when graph is in use */
    float *vectors;             /* flat: capacity x dimension floats, slot i at i x dimension */
    uint64_t *ids;              /* flat: capacity ids */
    uint64_t count;             /* flat: slots used, deleted slots included */
    uint64_t capacity;          /* flat: slots allocated */
    uint8_t *deleted;           /* flat: one byte per slot, 1 when deleted */
    FILE *log;                  /* open vector log, or NULL */
    uint64_t log_bytes;         /* bytes appended to the log since it was opened or checkpointed */
    int32_t flush_interval_ms;  /* flush thread interval (read atomically) */
    pthread_t flush_thread;     /* the flush thread's handle */
    uint32_t flush_running;     /* non-zero while the flush thread should run (read atomically) */
};

/* Options of db_vec_create_index (allocated by the caller). */
struct db_vec_options {
    uint32_t dimension;       /* vector length of the store and the embedder; not 0 */
    int32_t ngram;            /* embedder n-gram window; 0 means 3 */
    uint32_t use_hnsw;        /* non-zero: HNSW store, 0: flat store */
    uint32_t m;               /* HNSW M parameter (use_hnsw only) */
    uint32_t ef_construction; /* HNSW ef_construction (use_hnsw only) */
};

/* ---- Distance kernels ---- */
/* Squared Euclidean distance, summed sequentially in single precision. */
MORVADB_API float vec_l2_distance(const float *a, const float *b, uint32_t dim);
/* Negated inner product, summed sequentially in single precision. */
MORVADB_API float vec_ip_distance(const float *a, const float *b, uint32_t dim);
/* 1 - dot / sqrt(|a|^2 |b|^2); 1.0 when either vector is zero. */
MORVADB_API float vec_cosine_distance(const float *a, const float *b, uint32_t dim);
/* Kernel of a metric: 1 cosine, 2 inner product, anything else L2. */
MORVADB_API vec_distance_fn vec_get_dist_func(vec_metric metric);

/* ---- Vector store ---- */
/* Creates an empty store; path (may be NULL) and config->persist make it persistent. */
MORVADB_API int32_t morvadb_vec_create(const char *path, const vec_config *config, vec_store **out);
/* Opens a persistent store from its directory (snapshot plus log replay). */
MORVADB_API int32_t morvadb_vec_open(const char *path, vec_store **out);
/* Stops the flush thread, checkpoints a dirty persistent store and frees it. */
MORVADB_API int32_t morvadb_vec_close(vec_store *store);
/* Removes a store directory's files and the directory (not an open store). */
MORVADB_API int32_t morvadb_vec_destroy(const char *path);
/* Inserts a vector, or overwrites the live vector with the same id. */
MORVADB_API int32_t morvadb_vec_insert(vec_store *store, uint64_t id, const float *vector);
/* Inserts n vectors (vector j at j x dimension); flat stores append without id lookup. */
MORVADB_API int32_t morvadb_vec_insert_batch(vec_store *store, uint32_t n, const uint64_t *ids, const float *vectors);
/* Marks the live vector with the id deleted; -2 if there is none. */
MORVADB_API int32_t morvadb_vec_delete(vec_store *store, uint64_t id);
/* Copies the live vector with the id into out (dimension floats); -2 if none. */
MORVADB_API int32_t morvadb_vec_get(vec_store *store, uint64_t id, float *out);
/* k nearest neighbours in ascending distance; returns the number of hits. */
MORVADB_API int32_t morvadb_vec_search(vec_store *store, const float *query, int32_t k, vec_result *results);
/* Flat: slots used (deleted included); HNSW: live nodes; 0 for NULL. */
MORVADB_API int32_t morvadb_vec_count(vec_store *store);
/* The configured dimension, 0 for NULL. */
MORVADB_API uint32_t morvadb_vec_dimension(vec_store *store);
/* Fills a vec_stats record. */
MORVADB_API int32_t morvadb_vec_stats(vec_store *store, vec_stats *out);
/* Checkpoints a persistent store now; -5 for a store without a directory. */
MORVADB_API int32_t morvadb_vec_flush(vec_store *store);
/* Starts (ms > 0), retunes or stops (ms <= 0) the periodic flush thread. */
MORVADB_API int32_t morvadb_vec_flush_interval(vec_store *store, int32_t ms);
/* k nearest neighbours whose ids the filter keeps (NULL keeps all); -1 on bad arguments. */
MORVADB_API int32_t morvadb_vec_search_filtered(vec_store *store, const float *query, int32_t k, vec_filter_fn filter, void *user, vec_result *results);
/* Hits with distance <= radius, at most max_results, in ascending distance. */
MORVADB_API int32_t morvadb_vec_search_radius(vec_store *store, const float *query, vec_result *results, uint32_t max_results, float radius);

/* ---- HNSW graph ---- */
/* Creates an empty graph of a fixed maximum number of nodes. */
MORVADB_API int32_t hnsw_create(int32_t dimension, int32_t m, int32_t ef_construction, int32_t ef_search, int32_t capacity, vec_metric metric, hnsw_index **out);
/* Frees a graph; NULL is ignored. */
MORVADB_API void hnsw_destroy(hnsw_index *graph);
/* Adds a node, or overwrites the vector of the live node with the id; -1 when full. */
MORVADB_API int32_t hnsw_insert(hnsw_index *graph, uint64_t id, const float *vector);
/* Approximate k nearest neighbours in ascending distance; returns the number written. */
MORVADB_API int32_t hnsw_search(hnsw_index *graph, const float *query, int32_t k, vec_result *results);
/* Marks the live node with the id deleted; -2 if there is none. */
MORVADB_API int32_t hnsw_delete(hnsw_index *graph, uint64_t id);
/* Copies the live node's vector into out; -2 if there is none. */
MORVADB_API int32_t hnsw_get(hnsw_index *graph, uint64_t id, float *out);
/* Number of live nodes; 0 for NULL. */
MORVADB_API int32_t hnsw_count(hnsw_index *graph);

/* ---- Persistence ---- */
/* Writes the snapshot files (meta, vectors, ids) of the store's live vectors under path. */
MORVADB_API int32_t vec_persist_write(const char *path, vec_store *store);
/* Opens a store from its directory; same as morvadb_vec_open. */
MORVADB_API int32_t vec_persist_read(const char *path, vec_store **out);
/* Writes a snapshot, restarts the log and clears dirty; caller holds the store's exclusive lock. */
MORVADB_API int32_t vec_checkpoint(vec_store *store);

/* ---- Vector log ---- */
/* Opens the store's "wal" for appending; log_bytes becomes its size. */
MORVADB_API int32_t vec_wal_open(vec_store *store);
/* Closes the store's log if open and zeroes log_bytes. */
MORVADB_API int32_t vec_wal_close(vec_store *store);
/* Appends an insert record (type 1, id, dimension, vector, timestamp). */
MORVADB_API int32_t vec_wal_append_insert(vec_store *store, uint64_t id, const float *vector);
/* Appends a delete record (type 2, id). */
MORVADB_API int32_t vec_wal_append_delete(vec_store *store, uint64_t id);

/* ---- Database vector index (status codes DB_ERR_*; store statuses pass through) ---- */
/* Replaces the handle's vector index and embedder with new ones. */
MORVADB_API int32_t db_vec_create_index(db_handle *db, const db_vec_options *options);
/* Closes the handle's vector index and destroys its embedder. */
MORVADB_API int32_t db_vec_destroy_index(db_handle *db);
/* Installs an embedder (the handle owns it from then on). */
MORVADB_API int32_t db_vec_set_embed(db_handle *db, embedder *emb);
/* Embeds a text and inserts it under id. */
MORVADB_API int32_t db_vec_insert_text(db_handle *db, uint64_t id, const char *text, uint64_t length);
/* Embeds n texts and inserts them as one batch. */
MORVADB_API int32_t db_vec_insert_batch(db_handle *db, uint32_t n, const uint64_t *ids, const char *const *texts, const uint64_t *lengths);
/* Inserts a raw vector under id. */
MORVADB_API int32_t db_vec_insert_vector(db_handle *db, uint64_t id, const float *vector);
/* Embeds a text and returns its k nearest neighbours. */
MORVADB_API int32_t db_vec_search_text(db_handle *db, const char *text, uint64_t length, int32_t k, vec_result *results);
/* k nearest neighbours of a raw vector. */
MORVADB_API int32_t db_vec_search(db_handle *db, const float *query, int32_t k, vec_result *results);
/* Filtered k nearest neighbours of a raw vector. */
MORVADB_API int32_t db_vec_search_filtered(db_handle *db, const float *query, int32_t k, vec_filter_fn filter, void *user, vec_result *results);
/* Embeds a text and runs a filtered search. */
MORVADB_API int32_t db_vec_search_text_filtered(db_handle *db, const char *text, uint64_t length, int32_t k, vec_filter_fn filter, void *user, vec_result *results);
/* Deletes id from the index. */
MORVADB_API int32_t db_vec_delete(db_handle *db, uint64_t id);
/* Number of vectors in the index (0 without one). */
MORVADB_API int32_t db_vec_count(db_handle *db);
/* Flushes the index (an in-memory index returns -5). */
MORVADB_API int32_t db_vec_flush(db_handle *db);

/* END SECTION VECTOR */

/* ======================================================================
 * Dictionary text embedder and its word dictionary (morvadb_embed_, dict_pool, dict_offsets, dict_count)
 * ==================================================================== */
/* BEGIN SECTION EMBED */

/* ---- Dictionary text embedder (morvadb_embed_) ----
 * Turns UTF-8 text into a unit-length float vector without a trained model:
 * the text is segmented with the built-in word dictionary (longest match
 * first), the segments become a stream of code points with a space after
 * each, and every window of ngram code points is hashed (FNV-1a) into one of
 * 256 x dimension buckets whose fixed pseudo-random vectors are summed. The
 * bucket table depends only on the dimension, so vectors are comparable
 * across runs, processes and machines. An embedder is immutable after
 * creation: any number of threads may embed through it at once; create and
 * destroy need exclusive access. Every failure of the family is -1. */

/* Window length used when morvadb_embed_create is given ngram 0. */
#define EMBED_DEFAULT_NGRAM 3
/* Buckets per output dimension: bucket_count = 256 x dimension. */
#define EMBED_BUCKETS_PER_DIMENSION 256u
/* Code points decoded from one text; the rest of the text is ignored. */
#define EMBED_MAX_CODEPOINTS 2048u
/* Capacity of the segmented code-point stream of one text. */
#define EMBED_MAX_STREAM 4096u
/* Longest dictionary word, in code points. */
#define EMBED_MAX_WORD_CODEPOINTS 8u

/* Allocated by morvadb_embed_create; hosts may read it, never write it. */
struct embedder {
    uint32_t dimension;         /* length of every output vector */
    int32_t ngram;              /* window length n in code points (taken as unsigned when hashing) */
    float *bucket_vectors;      /* bucket_count x dimension floats, one vector per bucket, row after row */
    uint32_t bucket_count;      /* 256 x dimension */
};

/* The word dictionary: dict_count NUL-terminated UTF-8 words of 1 to 8 code
 * points laid end to end in dict_pool, in strictly ascending unsigned-byte
 * order without duplicates; word i starts at dict_pool + dict_offsets[i]. */
#define DICT_WORD_COUNT 348507u
#define DICT_POOL_SIZE 3380523u
MORVADB_API extern const uint32_t dict_count;
MORVADB_API extern const uint32_t dict_offsets[];
MORVADB_API extern const char dict_pool[];

/* Creates an embedder of the given dimension (ngram 0 means 3) into *out; -1 when out is NULL,
 * dimension is 0 or too large for its bucket table, or memory runs out. */
MORVADB_API int32_t morvadb_embed_create(uint32_t dimension, int32_t ngram, embedder **out);
/* Frees the bucket table and the embedder; NULL is ignored. */
MORVADB_API void morvadb_embed_destroy(embedder *emb);
/* Writes the unit vector of text (text_len bytes, any content) into out (dimension floats);
 * an empty or undecodable text gives the zero vector. -1 only for a NULL argument. */
MORVADB_API int32_t morvadb_embed_text(const embedder *emb, const char *text, uint64_t text_len, float *out);
/* Embeds texts[i] (lengths[i] bytes) into out + i x dimension in order; -1 for a NULL pointer,
 * count 0, or at the first text that fails (earlier outputs stay written). */
MORVADB_API int32_t morvadb_embed_batch(const embedder *emb, const char *const *texts, const uint64_t *lengths,
                                        uint32_t count, float *out);
/* The embedder's dimension; 0 for NULL. */
MORVADB_API uint32_t morvadb_embed_dimensions(const embedder *emb);

/* END SECTION EMBED */

/* ======================================================================
 * Scalar and product quantizers and the database quantized index (morvadb_quant_, db_vec_quant_)
 * ==================================================================== */
/* BEGIN SECTION QUANT */

/* ---- Quantizers (morvadb_quant_) ----
 * Compress float vectors into byte codes and compare codes. Type 1, scalar:
 * one byte per dimension between that dimension's trained minimum and
 * maximum. Type 2, product: the vector is cut into subquantizers equal
 * sub-vectors, each replaced by the index of the nearest of 256 centroids
 * learned by k-means; dimensions beyond subquantizers x subvector_length take
 * part in nothing. No locks: training needs exclusive access; encode, decode
 * and distance only read a trained quantizer and may run concurrently.
 * Functions return 0 or -1; distance returns QUANT_DISTANCE_INVALID on
 * failure. */

#define QUANT_TYPE_SCALAR 1
#define QUANT_TYPE_PRODUCT 2
/* Centroids per sub-vector position of the product type. */
#define QUANT_CENTROIDS 256u
/* Fixed number of k-means iterations per position. */
#define QUANT_KMEANS_ITERATIONS 20
/* The largest finite float, returned by morvadb_quant_distance on failure. */
#define QUANT_DISTANCE_INVALID 3.40282347e+38F

/* Passed to morvadb_quant_create (and db_vec_quant_create); allocated by the host. */
struct quant_config {
    int32_t type;               /* QUANT_TYPE_SCALAR or QUANT_TYPE_PRODUCT */
    int32_t dimension;          /* floats per vector; must be positive */
    int32_t subquantizers;      /* product type: sub-vectors m, must be positive; not negative for any type */
};

/* Allocated by morvadb_quant_create; hosts may read it, never write it. */
struct quantizer {
    int32_t type;               /* as configured */
    uint32_t dimension;         /* as configured */
    uint32_t subquantizers;     /* as configured */
    float *mins;                /* scalar: trained minimum per dimension; NULL before training */
    float *ranges;              /* scalar: trained maximum - minimum per dimension, never 0; NULL before training */
    uint32_t scalar_trained;    /* scalar: 1 after a successful training */
    float **codebooks;          /* product: subquantizers arrays of 256 centroids of subvector_length floats
                                 * (centroid c at floats c x s .. c x s + s - 1); NULL before training */
    uint32_t subvector_length;  /* product: s = dimension / subquantizers, set by training */
    uint32_t product_trained;   /* product: 1 after a successful training */
};

/* Creates an untrained quantizer from config into *out; -1 when either is NULL, dimension is not
 * positive, subquantizers is negative, type 2 has subquantizers 0, or memory runs out. Other
 * types are accepted, and every later operation on them fails. */
MORVADB_API int32_t morvadb_quant_create(const quant_config *config, quantizer **out);
/* Frees the trained parameters and the quantizer; NULL is ignored. */
MORVADB_API void morvadb_quant_destroy(quantizer *q);
/* Trains on n vectors of dimension floats, row after row, replacing earlier parameters; -1 for
 * a NULL pointer, n 0, an unknown type, dimension < subquantizers (type 2) or lack of memory. */
MORVADB_API int32_t morvadb_quant_train(quantizer *q, const float *vectors, uint32_t n);
/* Bytes per code: dimension (type 1), subquantizers (type 2), 0 for NULL or another type. */
MORVADB_API size_t morvadb_quant_code_size(const quantizer *q);
/* Stores the code size in *out_size when out_size is given, then writes the code of vector;
 * -1 for a NULL pointer (other than out_size) or an untrained quantizer. */
MORVADB_API int32_t morvadb_quant_encode(const quantizer *q, const float *vector, uint8_t *code, uint64_t *out_size);
/* Writes the vector a code stands for (code_size is not consulted); -1 for a NULL pointer, an
 * untrained quantizer or another type. */
MORVADB_API int32_t morvadb_quant_decode(const quantizer *q, const uint8_t *code, uint64_t code_size, float *vector);
/* Squared Euclidean distance between the vectors two codes stand for (sizes are not consulted);
 * QUANT_DISTANCE_INVALID for a NULL pointer, an untrained quantizer or another type. */
MORVADB_API float morvadb_quant_distance(const quantizer *q, const uint8_t *code_a, uint64_t size_a,
                                         const uint8_t *code_b, uint64_t size_b);

/* ---- Database quantized vector index (db_vec_quant_) ----
 * A quantizer on a database handle with an in-memory copy of every vector
 * inserted through it, searched exhaustively by quantized distance. Not
 * persisted. Create, destroy, train and insert hold the database's vector
 * lock exclusively, search and decode shared. Statuses are DB_* codes. */

/* Replaces the handle's quantizer with a new one from config (dimension 0 takes the vector
 * store's dimension) and an empty store of 4,096 slots; DB_ERR_INVALID for NULL arguments,
 * -1 when the quantizer cannot be created. */
MORVADB_API int32_t db_vec_quant_create(db_handle *db, const quant_config *config);
/* Destroys the quantizer and its stored vectors; NULL is ignored. */
MORVADB_API void db_vec_quant_destroy(db_handle *db);
/* Trains the quantizer on n vectors; DB_ERR_INVALID for NULL arguments, n 0 or no quantizer,
 * DB_ERR_IO when training fails. */
MORVADB_API int32_t db_vec_quant_train(db_handle *db, const float *vectors, int32_t n);
/* Stores a copy of vector under id (ids need not be unique) and forwards it to the vector
 * store when there is one; DB_ERR_INVALID, DB_ERR_NOMEM or DB_OK. */
MORVADB_API int32_t db_vec_quant_insert(db_handle *db, uint64_t id, const float *vector);
/* Writes up to k hits in ascending quantized distance into results and returns their number,
 * or a negative status. */
MORVADB_API int32_t db_vec_quant_search(db_handle *db, const float *query, uint32_t k, vec_result *results);
/* Writes the quantized reconstruction of the first vector stored under id into out;
 * DB_ERR_NOT_FOUND when no entry has the id. */
MORVADB_API int32_t db_vec_quant_decode(db_handle *db, uint64_t id, float *out);

/* END SECTION QUANT */

/* ======================================================================
 * Database full-text search and hybrid search (db_fts_, db_hybrid_search, morvadb_hybrid_search)
 * ==================================================================== */
/* BEGIN SECTION FTS_DB */

/*
 * Database full-text search. Every writer handle owns one fts_index (the
 * `fts` field of db_handle), created by db_open and destroyed by db_close.
 * The library does not index table rows by itself, and writes do not update
 * the index: hosts feed it with fts_index_add_document, typically with the
 * tokens of a tokenizer, and search it with db_fts_search. Each added
 * document gets the next id (db->fts->next_doc_id before the call), which
 * the host maps to its rows, e.g. by storing the id in a column. The index
 * has no lock of its own: while other threads may search the handle, add
 * documents holding db->catalog_lock for writing (the searches hold it for
 * reading). Query terms are looked up exactly as written (no lower-casing).
 */

/* Fusion weights and sizes of a hybrid search. Host-allocated. */
struct hybrid_options {
    int32_t mode;          /* 0 reciprocal-rank fusion, nonzero weighted scores (morvadb_hybrid_search) */
    double vector_weight;  /* weight of the vector ranking */
    double text_weight;    /* weight of the text ranking */
    uint32_t vector_k;     /* vector candidates db_hybrid_search asks for; 0 means 10 */
};

/* One fused hit, best (highest score) first. */
struct hybrid_result {
    uint64_t id;             /* document id (vector id and text doc id name the same document) */
    double score;            /* fused score */
    double vector_distance;  /* distance from the vector search, 0 if only a text hit */
    double text_score;       /* text score, 0 if only a vector hit */
};

/* Reciprocal-rank fusion constant: rank r contributes weight / (r + 60). */
#define HYBRID_RRF_K 60.0

/* DB_OK when table exists (DB_ERR_NOT_FOUND otherwise); the handle's index always exists. */
MORVADB_API int32_t db_fts_create_index(db_handle *db, const char *table, const char *column);
/* DB_OK; the handle's index is kept (nothing is removed). */
MORVADB_API int32_t db_fts_drop_index(db_handle *db, const char *table, const char *column);
/* Searches the handle's index; *out_rs gets a search result ("doc_id", "score"). */
MORVADB_API int32_t db_fts_search(db_handle *db, const char *table, const char *column, const char *query,
                                  result_set **out_rs);
/* Vector + full-text search on the handle fused by reciprocal rank; count written or a DB_ERR_ status. */
MORVADB_API int32_t db_hybrid_search(db_handle *db, const char *table, const char *column,
                                     const char *query_text, const float *query_vector,
                                     const hybrid_options *options, hybrid_result *out, int32_t max_out);
/* Fuses two rankings computed by the caller; count written (0 on any failure). */
MORVADB_API int32_t morvadb_hybrid_search(const vec_result *vec_hits, int32_t vec_count,
                                          const uint64_t *text_ids, const double *text_scores,
                                          int32_t text_count, const hybrid_options *options,
                                          hybrid_result *out, int32_t max_out);

/* END SECTION FTS_DB */

/* ======================================================================
 * Database handle, options, open and close, key/value operations, catalog, followers (db_)
 * ==================================================================== */
/* BEGIN SECTION DB */

/* Maximum number of tables of one database, and the size of a fixed name
 * field (at most 63 bytes plus the terminating NUL). */
#define DB_MAX_TABLES 64
#define DB_NAME_SIZE 64

/* Options of db_open and db_open_reader. A NULL pointer selects the
 * defaults shown; a given record is copied into the handle unchanged. The
 * reserved fields keep their place and defaults so hosts can fill this
 * exact layout; nothing reads them. 56 bytes. */
struct db_options {
    int32_t sync_mode;           /* write-ahead log flush policy 0, 1 or 2; default 0 */
    int32_t reserved1;           /* default 0 */
    uint64_t reserved2;          /* default 65,536 */
    uint64_t memtable_size;      /* byte limit of one memtable; default 65,536 */
    int32_t reserved3;           /* default 1 */
    int32_t shared_mode;         /* nonzero: publish every write to followers; default 0 */
    int32_t refresh_interval_ms; /* follower poll interval; 0 or less means 10; default 10 */
    int32_t reserved4;           /* default 4 */
    uint64_t reserved5;          /* default 10,485,760 */
    double reserved6;            /* default 10.0 */
};

/* One table of the catalog. 96 bytes. */
struct table_schema {
    char name[DB_NAME_SIZE]; /* NUL-terminated, at most 63 bytes kept */
    int32_t *column_types;   /* owned: column_count column type codes */
    char **column_names;     /* owned: column_count owned C strings */
    int32_t column_count;
    int32_t key_column;      /* index of the key column, -1 when none */
    int64_t table_id;        /* slot index + 1 */
};

/* The database handle, allocated by db_open or db_open_reader and released
 * by db_close. Hosts may read it; only the library writes it. Locks are
 * taken in the order catalog_lock, wal_mutex, memtable_lock, store_lock and
 * released in reverse. */
struct db_handle {
    char *path;                      /* owned copy of the path prefix */
    lsm *memtables;                  /* memtable pair; NULL in a follower */
    btree *tree;                     /* merged contents of all sorted tables */
    wal *log;                        /* write-ahead log; NULL in a follower */
    table_schema tables[DB_MAX_TABLES]; /* filled from the first slot */
    int32_t table_count;             /* 0 to 64 */
    db_options options;              /* copy of the options given at open */
    int32_t last_error;              /* status of the latest key/value, catalog or search call */
    fts_index *fts;                  /* full-text index; NULL in a follower */
    vec_store *vectors;              /* database vector index, NULL until created */
    embedder *embed;                 /* text embedder of the vector index, or NULL */
    quantizer *quant;                /* quantized index, or NULL */
    float *quant_vectors;            /* quant_capacity x dimension full-precision copies */
    uint64_t *quant_ids;             /* quant_capacity ids, in insertion order */
    uint32_t quant_count;            /* vectors in the quantized index */
    uint32_t quant_capacity;         /* slots of quant_vectors and quant_ids */
    pthread_rwlock_t catalog_lock;   /* tables, table count, and the fts/vector/quantizer fields */
    pthread_mutex_t wal_mutex;       /* the write-ahead log and the mapped log (writer only) */
    pthread_rwlock_t memtable_lock;  /* the memtable pair */
    pthread_rwlock_t store_lock;     /* the B-tree and the set of sorted table files */
    pthread_t bg_thread;             /* background compaction thread (writer) */
    int32_t bg_running;              /* 1 while the background thread should run */
    int32_t is_follower;             /* 1 in a handle made by db_open_reader */
    wal_mmap mapped_log;             /* memory-mapped log; mapped in shared mode and in followers */
    shared_meta meta;                /* shared metadata record */
    pthread_t follower_thread;       /* follower refresh thread */
    int32_t follower_running;        /* 1 while the follower thread should run */
    struct db_private *internal;     /* library-private state; not part of the interface */
};

/* The handle's last error, or DB_ERR_INVALID for a NULL handle. */
MORVADB_API int32_t db_last_error(db_handle *db);
/* A constant text for a status code ("unknown error" for unknown codes). */
MORVADB_API const char *db_error_string(int32_t status);

/* Opens (creating when absent) the database at a path prefix for writing;
 * options may be NULL. Stores the handle through out. Only one writer may
 * hold a prefix at a time: a second one gets DB_ERR_BUSY. */
MORVADB_API int32_t db_open(const char *path, const db_options *options, db_handle **out);
/* Closes a writer or follower handle, writing what is still in memory, and
 * frees it in every case. DB_ERR_INVALID for NULL; DB_ERR_IO when
 * acknowledged writes could reach no file (neither a table nor the log
 * could be written); otherwise DB_OK. */
MORVADB_API int32_t db_close(db_handle *db);
/* Stores a value under a key; the table must exist (all tables share one key space). */
MORVADB_API int32_t db_put(db_handle *db, const char *table, const void *key, uint64_t key_len,
                           const void *value, uint64_t value_len);
/* Looks a key up; on DB_OK *value points to a copy of the value held for
 * the calling thread, valid until that thread's next db_get (other threads'
 * writes cannot free it). */
MORVADB_API int32_t db_get(db_handle *db, const char *table, const void *key, uint64_t key_len,
                           const void **value, uint64_t *value_len);
/* Deletes a key (a tombstone is written even when the key does not exist). */
MORVADB_API int32_t db_delete(db_handle *db, const char *table, const void *key, uint64_t key_len);
/* Adds a table with column names and type codes and an optional key column
 * (NULL for none) to the catalog and rewrites the catalog file. */
MORVADB_API int32_t db_create_table(db_handle *db, const char *name, const char **column_names,
                                    const int32_t *column_types, int32_t column_count,
                                    const char *key_column);
/* Opens a read-only follower of a database written by a writer in shared mode. */
MORVADB_API int32_t db_open_reader(const char *path, const db_options *options, db_handle **out);
/* Applies the writer's newly published changes to a follower handle. */
MORVADB_API int32_t db_reader_refresh(db_handle *db);

/* END SECTION DB */

#ifdef __cplusplus
}
#endif

#endif /* MORVADB_H */
