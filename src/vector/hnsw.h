// Internal view of the HNSW graph. The public hnsw_index record is the
// first part of GraphImpl; everything after it is private.
//
// Memory: arrays indexed by node slot (nodes, levels, visit marks, link
// counts and the per-layer link tables) are lazily committed mappings sized
// for the full capacity, so their addresses stay fixed; the vector array,
// which dominates, is reallocated as nodes arrive and every node's vector
// pointer is moved with it.
//
// REQUIRES: external synchronisation. Inserts and deletes need exclusive
// access; searches may run concurrently with each other because each keeps
// its visited marks and heaps in per-thread scratch.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "morvadb.h"
#include "vector/id_index.h"

namespace morva {

// (distance, node) pair of the layer search heaps.
struct Candidate {
    float distance;
    int32_t node;
};

// Reusable buffers of one layer search; sized by what the search visits.
struct LayerScratch {
    std::vector<Candidate> candidates;  // min-heap: nearest on top
    std::vector<Candidate> results;     // max-heap: farthest on top
    std::vector<int32_t> pending;       // neighbours whose distance is due
    std::vector<const float *> pending_vectors;
    std::vector<float> pending_distances;
    std::vector<int32_t> found_nodes;   // layer search output, ascending
    std::vector<float> found_distances;
};

// Visited marks: a node is visited when its mark equals the epoch.
struct VisitMarks {
    int32_t *marks;
    int32_t *epoch;
};

struct GraphImpl : hnsw_index {
    IdIndex ids;                // id -> node of the live node with that id
    int32_t live = 0;           // nodes not deleted
    int32_t vector_slots = 0;   // nodes the vector array has room for
    int32_t layer_limit = 0;    // layers reserved in links and link_counts
    size_t counts_bytes = 0;    // size of the link_counts mapping
    LayerScratch insert_scratch;
};

inline GraphImpl *impl(hnsw_index *g) { return static_cast<GraphImpl *>(g); }

inline int32_t layer_row_limit(const hnsw_index *g, int32_t layer) { return layer == 0 ? g->max_links0 : g->max_links; }
inline int32_t *layer_row(const hnsw_index *g, int32_t layer, int32_t node) {
    return g->links[layer] + static_cast<size_t>(node) * static_cast<size_t>(layer_row_limit(g, layer));
}
inline int32_t &layer_count(const hnsw_index *g, int32_t layer, int32_t node) {
    return g->link_counts[static_cast<size_t>(layer) * static_cast<size_t>(g->capacity) + static_cast<size_t>(node)];
}
inline const float *node_vector(const hnsw_index *g, int32_t node) { return g->nodes[node].vector; }

// Grows the layer tables so that layer `level` exists; false when memory
// runs out, in which case nothing changed.
bool hnsw_ensure_levels(hnsw_index *g, int32_t level);

// Greedy walk on one layer towards the query; returns the closest node found.
int32_t hnsw_greedy_closest(const hnsw_index *g, int32_t ep, const float *query, int32_t layer, LayerScratch &s);

// Best-first search of one layer from ep with a candidate list of ef. Leaves
// up to ef (node, distance) pairs in s.found_*, ascending; returns how many.
// Throws std::bad_alloc when scratch cannot grow.
size_t hnsw_search_layer(const hnsw_index *g, int32_t ep, const float *query, int32_t ef, int32_t layer,
                         VisitMarks visit, LayerScratch &s);

// Starts a new visit epoch, clearing the marks of the first `slots` nodes
// when the epoch wraps.
void begin_visit(VisitMarks visit, int32_t slots);

// Top-k search writing (id, distance) pairs; 0 hits on allocation failure.
int32_t graph_search(const hnsw_index *g, const float *query, int32_t k, vec_result *results);

}  // namespace morva
