/* Record layouts of the vector family that hosts allocate or read. */
#include <stddef.h>
#include "morvadb.h"

_Static_assert(sizeof(vec_metric) == 4, "vec_metric is 32-bit");
_Static_assert(VEC_METRIC_L2 == 0 && VEC_METRIC_COSINE == 1 && VEC_METRIC_IP == 2, "metric values");

_Static_assert(sizeof(vec_config) == 32, "vec_config size");
_Static_assert(offsetof(vec_config, index_type) == 0, "vec_config.index_type");
_Static_assert(offsetof(vec_config, metric) == 4, "vec_config.metric");
_Static_assert(offsetof(vec_config, dimension) == 8, "vec_config.dimension");
_Static_assert(offsetof(vec_config, capacity) == 12, "vec_config.capacity");
_Static_assert(offsetof(vec_config, persist) == 16, "vec_config.persist");
_Static_assert(offsetof(vec_config, m) == 20, "vec_config.m");
_Static_assert(offsetof(vec_config, ef_construction) == 24, "vec_config.ef_construction");
_Static_assert(offsetof(vec_config, ef_search) == 28, "vec_config.ef_search");

_Static_assert(sizeof(vec_result) == 16, "vec_result size");
_Static_assert(offsetof(vec_result, id) == 0, "vec_result.id");
_Static_assert(offsetof(vec_result, distance) == 8, "vec_result.distance");

_Static_assert(sizeof(vec_stats) == 32, "vec_stats size");
_Static_assert(offsetof(vec_stats, count) == 0, "vec_stats.count");
_Static_assert(offsetof(vec_stats, capacity) == 8, "vec_stats.capacity");
_Static_assert(offsetof(vec_stats, memory_bytes) == 16, "vec_stats.memory_bytes");
_Static_assert(offsetof(vec_stats, dimension) == 24, "vec_stats.dimension");

_Static_assert(sizeof(hnsw_node) == 24, "hnsw_node size");
_Static_assert(offsetof(hnsw_node, vector) == 0, "hnsw_node.vector");
_Static_assert(offsetof(hnsw_node, id) == 8, "hnsw_node.id");
_Static_assert(offsetof(hnsw_node, level) == 16, "hnsw_node.level");
_Static_assert(offsetof(hnsw_node, deleted) == 20, "hnsw_node.deleted");

_Static_assert(sizeof(hnsw_index) == 112, "hnsw_index size");
_Static_assert(offsetof(hnsw_index, dimension) == 0, "hnsw_index.dimension");
_Static_assert(offsetof(hnsw_index, m) == 4, "hnsw_index.m");
_Static_assert(offsetof(hnsw_index, max_links) == 8, "hnsw_index.max_links");
_Static_assert(offsetof(hnsw_index, max_links0) == 12, "hnsw_index.max_links0");
_Static_assert(offsetof(hnsw_index, ef_construction) == 16, "hnsw_index.ef_construction");
_Static_assert(offsetof(hnsw_index, ef_search) == 20, "hnsw_index.ef_search");
_Static_assert(offsetof(hnsw_index, level_mult) == 24, "hnsw_index.level_mult");
_Static_assert(offsetof(hnsw_index, vectors) == 32, "hnsw_index.vectors");
_Static_assert(offsetof(hnsw_index, nodes) == 40, "hnsw_index.nodes");
_Static_assert(offsetof(hnsw_index, levels) == 48, "hnsw_index.levels");
_Static_assert(offsetof(hnsw_index, capacity) == 56, "hnsw_index.capacity");
_Static_assert(offsetof(hnsw_index, node_count) == 60, "hnsw_index.node_count");
_Static_assert(offsetof(hnsw_index, links) == 64, "hnsw_index.links");
_Static_assert(offsetof(hnsw_index, link_counts) == 72, "hnsw_index.link_counts");
_Static_assert(offsetof(hnsw_index, entry) == 80, "hnsw_index.entry");
_Static_assert(offsetof(hnsw_index, max_level) == 84, "hnsw_index.max_level");
_Static_assert(offsetof(hnsw_index, visit_marks) == 88, "hnsw_index.visit_marks");
_Static_assert(offsetof(hnsw_index, visit_epoch) == 96, "hnsw_index.visit_epoch");
_Static_assert(offsetof(hnsw_index, distance) == 104, "hnsw_index.distance");

/* The store's fixed part is 208 bytes; the flat statistics count it. */
_Static_assert(sizeof(vec_store) == 208, "vec_store size");
_Static_assert(offsetof(vec_store, config) == 0, "vec_store.config");
_Static_assert(offsetof(vec_store, distance) == 32, "vec_store.distance");
_Static_assert(offsetof(vec_store, lock) == 40, "vec_store.lock");
_Static_assert(offsetof(vec_store, path) == 96, "vec_store.path");
_Static_assert(offsetof(vec_store, dirty) == 104, "vec_store.dirty");
_Static_assert(offsetof(vec_store, graph) == 112, "vec_store.graph");
_Static_assert(offsetof(vec_store, uses_graph) == 120, "vec_store.uses_graph");
_Static_assert(offsetof(vec_store, vectors) == 128, "vec_store.vectors");
_Static_assert(offsetof(vec_store, ids) == 136, "vec_store.ids");
_Static_assert(offsetof(vec_store, count) == 144, "vec_store.count");
_Static_assert(offsetof(vec_store, capacity) == 152, "vec_store.capacity");
_Static_assert(offsetof(vec_store, deleted) == 160, "vec_store.deleted");
_Static_assert(offsetof(vec_store, log) == 168, "vec_store.log");
_Static_assert(offsetof(vec_store, log_bytes) == 176, "vec_store.log_bytes");
_Static_assert(offsetof(vec_store, flush_interval_ms) == 184, "vec_store.flush_interval_ms");
_Static_assert(offsetof(vec_store, flush_thread) == 192, "vec_store.flush_thread");
_Static_assert(offsetof(vec_store, flush_running) == 200, "vec_store.flush_running");

_Static_assert(sizeof(db_vec_options) == 20, "db_vec_options size");
_Static_assert(offsetof(db_vec_options, dimension) == 0, "db_vec_options.dimension");
_Static_assert(offsetof(db_vec_options, ngram) == 4, "db_vec_options.ngram");
_Static_assert(offsetof(db_vec_options, use_hnsw) == 8, "db_vec_options.use_hnsw");
_Static_assert(offsetof(db_vec_options, m) == 12, "db_vec_options.m");
_Static_assert(offsetof(db_vec_options, ef_construction) == 16, "db_vec_options.ef_construction");
