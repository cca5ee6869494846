// HNSW graph construction and bookkeeping: creation, layer tables, insert
// with neighbour linking, delete by marking, lookup by id.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/coding.h"
#include "vector/distance_batch.h"
#include "vector/hnsw.h"
#include "vector/lazy_memory.h"
#include "vector/store.h"

namespace morva {
namespace {

constexpr int32_t kFirstVectorSlots = 1024;
constexpr float kRandScale = 4.656613e-10f;  // 2^-31
constexpr float kSmallestDraw = 1e-10f;      // stands in for a draw of exactly 0

// Highest level the level draw can produce: the smallest r is 1e-10.
int32_t highest_drawable_level(float level_mult) {
    return static_cast<int32_t>(-logf(kSmallestDraw) * level_mult);
}

int32_t draw_level(const hnsw_index *g) {
    float r = static_cast<float>(rand()) * kRandScale;
    if (r == 0.0f) r = kSmallestDraw;
    return static_cast<int32_t>(-logf(r) * g->level_mult);
}

size_t slot_bytes(const hnsw_index *g, size_t per_slot) { return static_cast<size_t>(g->capacity) * per_slot; }

size_t layer_table_bytes(const hnsw_index *g, int32_t layer) {
    return slot_bytes(g, static_cast<size_t>(layer_row_limit(g, layer)) * sizeof(int32_t));
}

// First size of the vector array: 1,024 nodes unless the dimension is so
// large that this would commit more than the store's first-slot byte bound.
int32_t first_vector_slots(const GraphImpl *g) {
    return static_cast<int32_t>(std::min<uint64_t>(kFirstVectorSlots, first_slots_for(static_cast<uint64_t>(g->dimension))));
}

// Makes room in the vector array for `need` nodes, doubling up to the
// capacity, and re-points every node at its moved vector.
bool reserve_vectors(GraphImpl *g, int32_t need) {
    if (need <= g->vector_slots) return true;
    int64_t slots = g->vector_slots ? g->vector_slots : first_vector_slots(g);
    while (slots < need) slots *= 2;
    if (slots > g->capacity) slots = g->capacity;
    size_t bytes = static_cast<size_t>(slots) * static_cast<size_t>(g->dimension) * sizeof(float);
    float *grown = static_cast<float *>(std::realloc(g->vectors, bytes));
    if (!grown) return false;
    g->vectors = grown;
    g->vector_slots = static_cast<int32_t>(slots);
    for (int32_t i = 0; i < g->node_count; i++)
        g->nodes[i].vector = grown + static_cast<size_t>(i) * static_cast<size_t>(g->dimension);
    return true;
}

// Distance of each of `cands` from `origin`, then a stable bubble sort
// (swapping only strictly greater pairs), keeping the first `limit`.
void shrink_row(GraphImpl *g, int32_t t, int32_t layer, int32_t newcomer, int32_t limit) {
    LayerScratch &s = g->insert_scratch;
    int32_t *row = layer_row(g, layer, t);
    int32_t &count = layer_count(g, layer, t);
    s.pending.assign(row, row + count);
    s.pending.push_back(newcomer);
    size_t n = s.pending.size();
    s.pending_vectors.resize(n);
    s.pending_distances.resize(n);
    for (size_t j = 0; j < n; j++) s.pending_vectors[j] = node_vector(g, s.pending[j]);
    batch_distances(g->distance, node_vector(g, t), s.pending_vectors.data(), n, static_cast<uint32_t>(g->dimension),
                    s.pending_distances.data());
    for (size_t pass = 0; pass + 1 < n; pass++) {
        for (size_t j = 0; j + 1 < n - pass; j++) {
            if (s.pending_distances[j] > s.pending_distances[j + 1]) {
                std::swap(s.pending_distances[j], s.pending_distances[j + 1]);
                std::swap(s.pending[j], s.pending[j + 1]);
            }
        }
    }
    for (int32_t j = 0; j < limit; j++) row[j] = s.pending[static_cast<size_t>(j)];
    count = limit;
}

// Links node i on one layer to the nearest of the found nodes, and each of
// them back to i when its row has room or i ranks among its nearest.
void link_layer(GraphImpl *g, int32_t i, int32_t layer) {
    LayerScratch &s = g->insert_scratch;
    int32_t limit = layer_row_limit(g, layer);
    size_t found = s.found_nodes.size();
    size_t take = found < static_cast<size_t>(limit) ? found : static_cast<size_t>(limit);
    int32_t *own_row = layer_row(g, layer, i);
    int32_t &own_count = layer_count(g, layer, i);
    for (size_t j = 0; j < take; j++) {
        int32_t t = s.found_nodes[j];
        if (own_count < limit) own_row[own_count++] = t;
        int32_t &t_count = layer_count(g, layer, t);
        if (t_count < limit) {
            layer_row(g, layer, t)[t_count++] = i;
        } else {
            shrink_row(g, t, layer, i, limit);
        }
    }
}

void release(GraphImpl *g) {
    if (g->links) {
        for (int32_t layer = 0; layer <= g->max_level; layer++) unmap_zeroed(g->links[layer], layer_table_bytes(g, layer));
        std::free(g->links);
    }
    unmap_zeroed(g->link_counts, g->counts_bytes);
    unmap_zeroed(g->nodes, slot_bytes(g, sizeof(hnsw_node)));
    unmap_zeroed(g->levels, slot_bytes(g, sizeof(int32_t)));
    unmap_zeroed(g->visit_marks, slot_bytes(g, sizeof(int32_t)));
    std::free(g->vectors);
    delete g;
}

}  // namespace

bool hnsw_ensure_levels(hnsw_index *graph, int32_t level) {
    GraphImpl *g = impl(graph);
    if (g->max_level >= level) return true;
    if (level >= g->layer_limit) return false;
    for (int32_t layer = g->max_level + 1; layer <= level; layer++) {
        // Tables are zero-filled mappings and link_counts is reserved for
        // every drawable layer, so a new layer needs no copying or clearing.
        int32_t *table = static_cast<int32_t *>(map_zeroed(layer_table_bytes(g, layer)));
        if (!table) return false;
        g->links[layer] = table;
        g->max_level = layer;
    }
    return true;
}

}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t hnsw_create(int32_t dimension, int32_t m, int32_t ef_construction, int32_t ef_search,
                                int32_t capacity, vec_metric metric, hnsw_index **out) {
    if (!out || dimension <= 0 || m <= 0 || capacity <= 0) return -5;
    // M of 1 would make 1/ln(M) infinite and every level draw overflow.
    if (m < 2 || m > INT32_MAX / 2) return -5;
    uint64_t bytes;
    if (mul_overflows(static_cast<uint64_t>(capacity), static_cast<uint64_t>(dimension), &bytes) ||
        mul_overflows(bytes, sizeof(float), &bytes) || bytes > PTRDIFF_MAX)
        return -1;
    if (mul_overflows(static_cast<uint64_t>(capacity), static_cast<uint64_t>(2 * m) * sizeof(int32_t), &bytes) ||
        bytes > PTRDIFF_MAX)
        return -1;

    GraphImpl *g = new (std::nothrow) GraphImpl();
    if (!g) return -1;
    g->dimension = dimension;
    g->m = m;
    g->max_links = m;
    g->max_links0 = 2 * m;
    g->ef_construction = ef_construction;
    g->ef_search = ef_search;
    g->level_mult = 1.0f / logf(static_cast<float>(m));
    g->capacity = capacity;
    g->entry = -1;
    g->max_level = -1;
    g->visit_epoch = 0;
    g->distance = vec_get_dist_func(metric);
    g->layer_limit = highest_drawable_level(g->level_mult) + 1;
    g->counts_bytes = static_cast<size_t>(g->layer_limit) * slot_bytes(g, sizeof(int32_t));

    g->nodes = static_cast<hnsw_node *>(map_zeroed(slot_bytes(g, sizeof(hnsw_node))));
    g->levels = static_cast<int32_t *>(map_zeroed(slot_bytes(g, sizeof(int32_t))));
    g->visit_marks = static_cast<int32_t *>(map_zeroed(slot_bytes(g, sizeof(int32_t))));
    g->link_counts = static_cast<int32_t *>(map_zeroed(g->counts_bytes));
    g->links = static_cast<int32_t **>(std::calloc(static_cast<size_t>(g->layer_limit), sizeof(int32_t *)));
    if (!g->nodes || !g->levels || !g->visit_marks || !g->link_counts || !g->links ||
        !reserve_vectors(g, std::min<int32_t>(capacity, first_vector_slots(g)))) {
        release(g);
        return -1;
    }
    *out = g;
    return 0;
}

MORVADB_API void hnsw_destroy(hnsw_index *graph) {
    if (graph) release(impl(graph));
}

MORVADB_API int32_t hnsw_insert(hnsw_index *graph, uint64_t id, const float *vector) {
    if (!graph || !vector) return -5;
    GraphImpl *g = impl(graph);
    size_t dim = static_cast<size_t>(g->dimension);
    uint64_t existing = g->ids.find(id);
    if (existing != IdIndex::kNone) {
        std::memmove(g->nodes[existing].vector, vector, dim * sizeof(float));
        return 0;
    }
    if (g->node_count >= g->capacity) return -1;
    int32_t i = g->node_count;
    if (!reserve_vectors(g, i + 1) || !g->ids.reserve(1)) return -1;

    int32_t level = draw_level(g);
    int32_t top = g->max_level;
    // Layers are made before the node joins, so a failure leaves the graph
    // exactly as it was and no step ever touches a missing layer.
    if (!hnsw_ensure_levels(g, level > top ? level : top)) return -1;

    float *slot = g->vectors + static_cast<size_t>(i) * dim;
    std::memcpy(slot, vector, dim * sizeof(float));
    g->nodes[i] = hnsw_node{slot, id, level, 0};
    g->levels[i] = level;
    g->node_count++;
    g->live++;
    g->ids.add(id, static_cast<uint64_t>(i));

    if (g->entry < 0) {
        g->entry = i;
        return 0;
    }
    try {
        LayerScratch &s = g->insert_scratch;
        int32_t ep = g->entry;
        for (int32_t layer = g->max_level; layer > level; layer--) ep = hnsw_greedy_closest(g, ep, slot, layer, s);
        VisitMarks visit{g->visit_marks, &g->visit_epoch};
        for (int32_t layer = level < g->max_level ? level : g->max_level; layer >= 0; layer--) {
            hnsw_search_layer(g, ep, slot, g->ef_construction, layer, visit, s);
            link_layer(g, i, layer);
            if (!s.found_nodes.empty()) ep = s.found_nodes[0];
        }
    } catch (const std::bad_alloc &) {
        // The node stays, linked on the layers done so far and searchable.
        return -1;
    }
    if (level > top) g->entry = i;
    return 0;
}

MORVADB_API int32_t hnsw_delete(hnsw_index *graph, uint64_t id) {
    if (!graph) return -5;
    GraphImpl *g = impl(graph);
    uint64_t node = g->ids.find(id);
    if (node == IdIndex::kNone) return -2;
    g->nodes[node].deleted = 1;
    g->ids.remove_first(id);
    g->live--;
    if (static_cast<int32_t>(node) == g->entry) {
        g->entry = -1;
        for (int32_t i = 0; i < g->node_count; i++) {
            if (!g->nodes[i].deleted) {
                g->entry = i;
                break;
            }
        }
    }
    return 0;
}

MORVADB_API int32_t hnsw_get(hnsw_index *graph, uint64_t id, float *out) {
    if (!graph || !out) return -5;
    uint64_t node = impl(graph)->ids.find(id);
    if (node == IdIndex::kNone) return -2;
    std::memcpy(out, graph->nodes[node].vector, static_cast<size_t>(graph->dimension) * sizeof(float));
    return 0;
}

MORVADB_API int32_t hnsw_count(hnsw_index *graph) { return graph ? impl(graph)->live : 0; }

}  // extern "C"
