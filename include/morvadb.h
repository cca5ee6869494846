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

/* END SECTION UTIL */

/* ======================================================================
 * Memtable and memtable pair (memtable_, lsm_)
 * ==================================================================== */
/* BEGIN SECTION MEMTABLE */

/* END SECTION MEMTABLE */

/* ======================================================================
 * B-tree of the merged sorted tables (btree_)
 * ==================================================================== */
/* BEGIN SECTION BTREE */

/* END SECTION BTREE */

/* ======================================================================
 * Write-ahead log (wal_)
 * ==================================================================== */
/* BEGIN SECTION WAL */

/* END SECTION WAL */

/* ======================================================================
 * Memory-mapped log and shared metadata (wal_mmap_, morvadb_shared_meta_)
 * ==================================================================== */
/* BEGIN SECTION MAPPED_LOG */

/* END SECTION MAPPED_LOG */

/* ======================================================================
 * Bloom filter (morvadb_bloom_)
 * ==================================================================== */
/* BEGIN SECTION BLOOM */

/* END SECTION BLOOM */

/* ======================================================================
 * Sorted tables and level compaction (sstable_, compaction_, compactor_)
 * ==================================================================== */
/* BEGIN SECTION SSTABLE */

/* END SECTION SSTABLE */

/* ======================================================================
 * Rows, result sets, conditions and the query builder (row_, rs_, qb_, condition_, filter_match, db_query)
 * ==================================================================== */
/* BEGIN SECTION QUERY */

/* END SECTION QUERY */

/* ======================================================================
 * Tokenizer and full-text query language (tokenizer_, fts_query_parse)
 * ==================================================================== */
/* BEGIN SECTION TOKENIZER */

/* END SECTION TOKENIZER */

/* ======================================================================
 * Term trie, inverted index and BM25 (fst_, fts_index_, bm25_score)
 * ==================================================================== */
/* BEGIN SECTION TERM_INDEX */

/* END SECTION TERM_INDEX */

/* ======================================================================
 * Vector store, distances, HNSW, persistence, vector log, filtered search, database vector index (morvadb_vec_, vec_, hnsw_, db_vec_)
 * ==================================================================== */
/* BEGIN SECTION VECTOR */

/* END SECTION VECTOR */

/* ======================================================================
 * Dictionary text embedder and its word dictionary (morvadb_embed_, dict_pool, dict_offsets, dict_count)
 * ==================================================================== */
/* BEGIN SECTION EMBED */

/* END SECTION EMBED */

/* ======================================================================
 * Scalar and product quantizers and the database quantized index (morvadb_quant_, db_vec_quant_)
 * ==================================================================== */
/* BEGIN SECTION QUANT */

/* END SECTION QUANT */

/* ======================================================================
 * Database full-text search and hybrid search (db_fts_, db_hybrid_search, morvadb_hybrid_search)
 * ==================================================================== */
/* BEGIN SECTION FTS_DB */

/* END SECTION FTS_DB */

/* ======================================================================
 * Database handle, options, open and close, key/value operations, catalog, followers (db_)
 * ==================================================================== */
/* BEGIN SECTION DB */

/* The handle's last error, or DB_ERR_INVALID for a NULL handle. */
MORVADB_API int32_t db_last_error(db_handle *db);
/* A constant text for a status code ("unknown error" for unknown codes). */
MORVADB_API const char *db_error_string(int32_t status);

/* END SECTION DB */

#ifdef __cplusplus
}
#endif

#endif /* MORVADB_H */
