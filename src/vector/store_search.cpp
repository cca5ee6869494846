// k-nearest, filtered and radius search over both index types. The flat
// scans gather blocks of slots and measure them together with the
// lane-per-vector kernels, then rank the results in slot order, so they
// return exactly what a one-slot-at-a-time scan would.
#include <climits>
#include <memory>
#include <new>

#include "util/sync.h"
#include "vector/distance_batch.h"
#include "vector/hnsw.h"
#include "vector/store.h"
#include "vector/topk.h"

namespace morva {
namespace {

constexpr size_t kScanBlock = 256;

// Visits the live slots in increasing order; `accept(slot)` may drop a slot
// before its distance is computed, `consume(slot, d)` sees the survivors in
// slot order and returns false to stop the scan.
template <typename Accept, typename Consume>
void scan_flat(const vec_store *s, const float *query, Accept accept, Consume consume) {
    const uint32_t dim = s->config.dimension;
    const float *vectors[kScanBlock];
    uint64_t slots[kScanBlock];
    float distances[kScanBlock];
    size_t held = 0;
    auto drain = [&]() {
        batch_distances(s->distance, query, vectors, held, dim, distances);
        for (size_t j = 0; j < held; j++)
            if (!consume(slots[j], distances[j])) return false;
        held = 0;
        return true;
    };
    for (uint64_t slot = 0; slot < s->count; slot++) {
        if (s->deleted[slot] || !accept(slot)) continue;
        vectors[held] = s->vectors + slot * dim;
        slots[held++] = slot;
        if (held == kScanBlock && !drain()) return;
    }
    if (held > 0) drain();
}

// Exact k nearest of the flat store among the slots `accept` keeps.
template <typename Accept>
int32_t flat_knn(const vec_store *s, const float *query, uint64_t k, Accept accept, vec_result *results) {
    if (s->count == 0) return 0;
    uint64_t live = flat_live_count(s);
    if (live == 0) return 0;
    uint64_t want = k < live ? k : live;
    std::unique_ptr<vec_result[]> scratch(new (std::nothrow) vec_result[want]);
    if (!scratch) return -1;
    TopK top(scratch.get(), want);
    scan_flat(s, query, accept, [&](uint64_t slot, float d) {
        top.offer(s->ids[slot], d);
        return true;
    });
    return static_cast<int32_t>(top.finish(results));
}

int32_t hnsw_filtered(const vec_store *s, const float *query, int32_t k, vec_filter_fn filter, void *user,
                      vec_result *results) {
    const hnsw_index *g = s->graph;
    int64_t n = 4 * int64_t{k};
    if (n < g->ef_search) n = g->ef_search;
    if (n > g->node_count) n = g->node_count;
    if (n <= 0) return 0;
    std::unique_ptr<vec_result[]> hits(new (std::nothrow) vec_result[static_cast<size_t>(n)]);
    if (!hits) return -1;
    int32_t found = graph_search(g, query, static_cast<int32_t>(n), hits.get());
    int32_t copied = 0;
    for (int32_t j = 0; j < found && copied < k; j++) {
        if (filter && !filter(hits[j].id, user)) continue;
        results[copied++] = hits[j];
    }
    return copied;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t morvadb_vec_search(vec_store *store, const float *query, int32_t k, vec_result *results) {
    if (!store || !query || !results || k <= 0) return -5;
    ReadGuard guard(&store->lock);
    try {
        if (store->uses_graph) return graph_search(store->graph, query, k, results);
        return flat_knn(store, query, static_cast<uint64_t>(k), [](uint64_t) { return true; }, results);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_search_filtered(vec_store *store, const float *query, int32_t k, vec_filter_fn filter,
                                                void *user, vec_result *results) {
    // A k below 1 is refused like the other argument errors: compared as
    // unsigned it would otherwise let the scan write far past `results`.
    if (!store || !query || !results || k < 1) return -1;
    ReadGuard guard(&store->lock);
    try {
        if (store->uses_graph) return hnsw_filtered(store, query, k, filter, user, results);
        return flat_knn(
            store, query, static_cast<uint64_t>(k),
            [&](uint64_t slot) { return !filter || filter(store->ids[slot], user) != 0; }, results);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_search_radius(vec_store *store, const float *query, vec_result *results,
                                              uint32_t max_results, float radius) {
    if (!store || !query || !results) return -5;
    ReadGuard guard(&store->lock);
    // Hit counts are returned as 32-bit signed values.
    const uint32_t limit = max_results > INT32_MAX ? INT32_MAX : max_results;
    size_t held = 0;
    if (store->uses_graph) {
        int32_t found = graph_search(store->graph, query, static_cast<int32_t>(limit), results);
        for (int32_t j = 0; j < found; j++)
            if (results[j].distance <= radius) results[held++] = results[j];
    } else {
        if (limit == 0 || store->count == 0) return 0;
        scan_flat(store, query, [](uint64_t) { return true; }, [&](uint64_t slot, float d) {
            if (d <= radius) results[held++] = vec_result{store->ids[slot], d};
            return held < limit;
        });
    }
    sort_hits(results, held);
    return static_cast<int32_t>(held);
}

}  // extern "C"
