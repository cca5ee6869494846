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

// Distance of the newcomer from t. The layer search measured it from the
// newcomer's side; the library's kernels give the same bits either way
// round (a - b and b - a differ only in sign, products commute), so only a
// kernel of unknown kind is called again, in t's direction.
float distance_from(const GraphImpl *g, int32_t t, int32_t newcomer, float measured) {
    if (kernel_kind(g->distance) != KernelKind::Custom) return measured;
    return g->distance(node_vector(g, t), node_vector(g, newcomer), static_cast<uint32_t>(g->dimension));
}

// Appends `node` at `distance` to t's row, which has room. Its decision is
// left open. Rows with room hold no decided entries today (a row the rule
// decided is full, and rows never shrink), but should one, only entries
// farther than the new one could now decide differently: a prune walks the
// row by distance, ties in row order.
void append_link(GraphImpl *g, int32_t t, int32_t layer, int32_t node, float distance) {
    int32_t &count = layer_count(g, layer, t);
    if (row_generation(g, layer, t) == g->generation) {
        float *distances = row_distances(g, layer, t);
        uint8_t *states = row_states(g, layer, t);
        for (int32_t j = 0; j < count; j++)
            if (!(distances[j] <= distance)) states[j] = kLinkUndecided;
        distances[count] = distance;
        states[count] = kLinkUndecided;
    }
    layer_row(g, layer, t)[count++] = node;
}

// Links node i on one layer to the row chosen from the layer search's
// result, and each chosen node back to i: appended while its row has room,
// otherwise through the neighbour selection over its full row.
void link_layer(GraphImpl *g, int32_t i, int32_t layer) {
    LayerScratch &w = g->insert_scratch;
    SelectScratch &s = g->select_scratch;
    const int32_t limit = layer_row_limit(g, layer);
    size_t take = choose_row(g, w.found_nodes.data(), w.found_distances.data(), w.found_nodes.size(), limit, s);
    int32_t *own_row = layer_row(g, layer, i);
    float *own_distances = row_distances(g, layer, i);
    uint8_t *own_states = row_states(g, layer, i);
    int32_t &own_count = layer_count(g, layer, i);
    row_generation(g, layer, i) = g->generation;
    for (size_t j = 0; j < take; j++) {
        int32_t t = s.chosen[j];
        if (own_count < limit) {
            own_row[own_count] = t;
            own_distances[own_count] = s.chosen_distances[j];
            own_states[own_count] = s.chosen_states[j];
            own_count++;
        }
        int32_t &t_count = layer_count(g, layer, t);
        if (t_count < limit) {
            append_link(g, t, layer, i, distance_from(g, t, i, s.chosen_distances[j]));
        } else {
            prune_row(g, t, layer, i, distance_from(g, t, i, s.chosen_distances[j]));
        }
    }
}

void release_layer(GraphImpl *g, int32_t layer) {
    size_t links = layer_table_bytes(g, layer);
    unmap_zeroed(g->links[layer], links);
    unmap_zeroed(g->link_distances[layer], links);
    unmap_zeroed(g->link_states[layer], links / sizeof(int32_t));
    g->links[layer] = nullptr;
    g->link_distances[layer] = nullptr;
    g->link_states[layer] = nullptr;
}

void release(GraphImpl *g) {
    if (g->links && g->link_distances && g->link_states)
        for (int32_t layer = 0; layer <= g->max_level; layer++) release_layer(g, layer);
    std::free(g->links);
    std::free(g->link_distances);
    std::free(g->link_states);
    unmap_zeroed(g->link_counts, g->counts_bytes);
    unmap_zeroed(g->row_generations, g->counts_bytes);
    unmap_zeroed(g->nodes, slot_bytes(g, sizeof(hnsw_node)));
    unmap_zeroed(g->levels, slot_bytes(g, sizeof(int32_t)));
    unmap_zeroed(g->visit_marks, slot_bytes(g, sizeof(int32_t)));
    unmap_zeroed(g->dead, slot_bytes(g, 1));
    std::free(g->vectors);
    delete g;
}

// A changed vector makes every remembered distance suspect: a new
// generation retires all rows' entries at once, and rows are measured again
// at their next prune. When the counter wraps, stored generations are
// cleared so that none can match by accident.
void forget_row_distances(GraphImpl *g) {
    if (++g->generation != 0) return;
    for (int32_t layer = 0; layer <= g->max_level; layer++)
        for (int32_t node = 0; node < g->node_count; node++) row_generation(g, layer, node) = 0;
    g->generation = 1;
}

}  // namespace

bool hnsw_ensure_levels(hnsw_index *graph, int32_t level) {
    GraphImpl *g = impl(graph);
    if (g->max_level >= level) return true;
    if (level >= g->layer_limit) return false;
    for (int32_t layer = g->max_level + 1; layer <= level; layer++) {
        // Tables are zero-filled mappings and link_counts and the row
        // generations are reserved for every drawable layer, so a new layer
        // needs no copying or clearing.
        size_t bytes = layer_table_bytes(g, layer);
        g->links[layer] = static_cast<int32_t *>(map_zeroed(bytes));
        g->link_distances[layer] = static_cast<float *>(map_zeroed(bytes));
        g->link_states[layer] = static_cast<uint8_t *>(map_zeroed(bytes / sizeof(int32_t)));
        if (!g->links[layer] || !g->link_distances[layer] || !g->link_states[layer]) {
            release_layer(g, layer);
            return false;
        }
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
    g->dead = static_cast<uint8_t *>(map_zeroed(slot_bytes(g, 1)));
    g->link_counts = static_cast<int32_t *>(map_zeroed(g->counts_bytes));
    g->row_generations = static_cast<uint32_t *>(map_zeroed(g->counts_bytes));
    // The vector array is made at the first insert: a graph (or a reopened
    // store) of a huge dimension commits nothing for vectors it does not hold.
    g->links = static_cast<int32_t **>(std::calloc(static_cast<size_t>(g->layer_limit), sizeof(int32_t *)));
    g->link_distances = static_cast<float **>(std::calloc(static_cast<size_t>(g->layer_limit), sizeof(float *)));
    g->link_states = static_cast<uint8_t **>(std::calloc(static_cast<size_t>(g->layer_limit), sizeof(uint8_t *)));
    if (!g->nodes || !g->levels || !g->visit_marks || !g->dead || !g->link_counts || !g->row_generations || !g->links ||
        !g->link_distances || !g->link_states) {
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
        forget_row_distances(g);
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
    g->dead[node] = 1;
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
