// Internal view of the HNSW graph. The public hnsw_index record is the
// first part of GraphImpl; everything after it is private.
//
// Memory: arrays indexed by node slot (nodes, levels, visit marks, deleted
// flags, link counts, row generations and the per-layer link tables with
// the link distances and decisions beside them) are lazily committed
// mappings sized for the full capacity, so their addresses stay fixed; the
// vector array, which dominates, is reallocated as nodes arrive and every
// node's vector pointer is moved with it.
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
    std::vector<uint64_t> sort_keys;    // (distance, position) keys ordering the output
};

// What the neighbour selection last decided for a link: not decided yet,
// kept because no kept neighbour before it covers it, or passed over (in
// the row only to fill it). A passed-over link also names the row position
// of the first kept neighbour that covers it, as kLinkPassedAt0 + position,
// when the position fits the byte, else it is kLinkPassed.
enum LinkState : uint8_t { kLinkUndecided = 0, kLinkKept = 1, kLinkPassed = 2, kLinkPassedAt0 = 3 };
constexpr size_t kLinkLastCovererPosition = 255 - kLinkPassedAt0;

// Buffers of the neighbour selection; reused by every insert so that
// linking allocates only while they grow.
struct SelectScratch {
    std::vector<uint8_t> state;        // per candidate, during a walk
    std::vector<uint32_t> compared;    // kept candidates each one was compared with
    std::vector<uint32_t> coverer;     // of a passed-over candidate: the first kept one covering it
    std::vector<uint32_t> position;    // where a candidate landed in the written row
    std::vector<uint32_t> kept;        // candidates kept by the rule, in order
    std::vector<uint32_t> gathered;    // candidates of one comparison block
    std::vector<const float *> vectors;
    std::vector<float> batch;
    std::vector<int32_t> row_nodes;    // a full row and its newcomer, by distance from the owner
    std::vector<float> row_distances;
    std::vector<uint8_t> row_states;
    std::vector<const float *> row_vectors;
    std::vector<int32_t> chosen;       // the new node's row on the current layer
    std::vector<float> chosen_distances;
    std::vector<uint8_t> chosen_states;
};

// Visited marks: a node is visited when its mark equals the epoch.
struct VisitMarks {
    int32_t *marks;
    int32_t *epoch;
};

struct GraphImpl : hnsw_index {
    IdIndex ids;                // id -> node of the live node with that id
    int32_t live = 0;           // nodes not deleted
    uint8_t *dead = nullptr;    // the nodes' deleted flags, one byte each, for the searches' hot loops
    int32_t vector_slots = 0;   // nodes the vector array has room for
    int32_t layer_limit = 0;    // layers reserved in links and link_counts
    size_t counts_bytes = 0;    // size of the link_counts mapping
    LayerScratch insert_scratch;
    SelectScratch select_scratch;
    // Beside every link: the linked node's distance from the row's owner
    // and its LinkState, in tables shaped like links; a row's entries hold
    // while its generation (shaped like link_counts) equals `generation`,
    // which every vector overwrite advances.
    float **link_distances = nullptr;
    uint8_t **link_states = nullptr;
    uint32_t *row_generations = nullptr;
    uint32_t generation = 1;
};

inline GraphImpl *impl(hnsw_index *g) { return static_cast<GraphImpl *>(g); }

inline int32_t layer_row_limit(const hnsw_index *g, int32_t layer) { return layer == 0 ? g->max_links0 : g->max_links; }
inline size_t row_offset(const hnsw_index *g, int32_t layer, int32_t node) {
    return static_cast<size_t>(node) * static_cast<size_t>(layer_row_limit(g, layer));
}
inline int32_t *layer_row(const hnsw_index *g, int32_t layer, int32_t node) { return g->links[layer] + row_offset(g, layer, node); }
inline int32_t &layer_count(const hnsw_index *g, int32_t layer, int32_t node) {
    return g->link_counts[static_cast<size_t>(layer) * static_cast<size_t>(g->capacity) + static_cast<size_t>(node)];
}
// Node i's vector sits at i x dimension in the vector array (nodes[i].vector
// points there too); computing it spares the searches a load from nodes.
inline const float *node_vector(const hnsw_index *g, int32_t node) {
    return g->vectors + static_cast<size_t>(node) * static_cast<size_t>(g->dimension);
}
inline bool node_deleted(const hnsw_index *g, int32_t node) { return static_cast<const GraphImpl *>(g)->dead[node] != 0; }
inline float *row_distances(const GraphImpl *g, int32_t layer, int32_t node) {
    return g->link_distances[layer] + row_offset(g, layer, node);
}
inline uint8_t *row_states(const GraphImpl *g, int32_t layer, int32_t node) {
    return g->link_states[layer] + row_offset(g, layer, node);
}
inline uint32_t &row_generation(const GraphImpl *g, int32_t layer, int32_t node) {
    return g->row_generations[static_cast<size_t>(layer) * static_cast<size_t>(g->capacity) + static_cast<size_t>(node)];
}

// Chooses the new node's row from the layer search's result (nodes in
// ascending distance, equal distances in search order). All of them when
// they fit the row; otherwise the neighbour selection rule (see
// hnsw_select.cpp). Leaves the row in s.chosen*, nearest first, and
// returns its length. Throws std::bad_alloc when scratch cannot grow.
size_t choose_row(const hnsw_index *g, const int32_t *nodes, const float *distances, size_t n, int32_t limit,
                  SelectScratch &s);

// Gives the newcomer a place in t's full row on `layer`: t's neighbours and
// the newcomer, by distance from t, go through the same rule and the row
// is rewritten with the `limit` it keeps (the newcomer may be left out).
// `newcomer_distance` is the newcomer's distance from t. Throws
// std::bad_alloc when scratch cannot grow.
void prune_row(GraphImpl *g, int32_t t, int32_t layer, int32_t newcomer, float newcomer_distance);

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
