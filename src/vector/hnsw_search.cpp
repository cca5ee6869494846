// Graph traversal: the greedy descent through the upper layers and the
// best-first layer search. Searches hold only the store's shared lock, so
// their visited marks and heaps live in per-thread scratch rather than in
// the graph; inserts (exclusive) use the graph's own marks.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "vector/distance_batch.h"
#include "vector/hnsw.h"

namespace morva {
namespace {

// Binary heaps over Candidate with index-bounded sifts; comparisons with NaN
// distances are simply false, which can misorder but never misbehaves.
struct NearerFirst {
    bool operator()(const Candidate &a, const Candidate &b) const { return a.distance > b.distance; }
};
struct FartherFirst {
    bool operator()(const Candidate &a, const Candidate &b) const { return a.distance < b.distance; }
};

// `below(a, b)` is true when a belongs below b in the heap.
template <typename Below>
void heap_push(std::vector<Candidate> &h, Candidate c, Below below) {
    h.push_back(c);
    size_t i = h.size() - 1;
    while (i > 0) {
        size_t parent = (i - 1) / 2;
        if (!below(h[parent], h[i])) break;
        std::swap(h[parent], h[i]);
        i = parent;
    }
}

template <typename Below>
Candidate heap_pop(std::vector<Candidate> &h, Below below) {
    Candidate top = h.front();
    h.front() = h.back();
    h.pop_back();
    size_t n = h.size(), i = 0;
    for (;;) {
        size_t l = 2 * i + 1, r = l + 1, best = i;
        if (l < n && below(h[best], h[l])) best = l;
        if (r < n && below(h[best], h[r])) best = r;
        if (best == i) break;
        std::swap(h[i], h[best]);
        i = best;
    }
    return top;
}

// Distances from the query to every node in s.pending, into s.pending_distances.
void measure_pending(const hnsw_index *g, const float *query, LayerScratch &s) {
    size_t n = s.pending.size();
    s.pending_vectors.resize(n);
    s.pending_distances.resize(n);
    for (size_t j = 0; j < n; j++) s.pending_vectors[j] = node_vector(g, s.pending[j]);
    batch_distances(g->distance, query, s.pending_vectors.data(), n, static_cast<uint32_t>(g->dimension),
                    s.pending_distances.data());
}

// Per-thread search state, reused across searches of any graph. A nested
// search on the same thread (not expected, but harmless) gets a fresh one.
struct ThreadScratch {
    LayerScratch layer;
    std::vector<int32_t> marks;
    int32_t epoch = 0;
    bool busy = false;
};
thread_local ThreadScratch tls_scratch;

// Grows the marks to cover every node; new marks are 0, never a live epoch.
void ensure_marks(ThreadScratch &ts, size_t nodes) {
    if (ts.marks.size() >= nodes) return;
    std::vector<int32_t> grown(nodes < 2 * ts.marks.size() ? 2 * ts.marks.size() : nodes, 0);
    std::copy(ts.marks.begin(), ts.marks.end(), grown.begin());
    ts.marks.swap(grown);
}

class ScratchLease {
public:
    ScratchLease() {
        if (!tls_scratch.busy) {
            s_ = &tls_scratch;
        } else {
            own_ = std::make_unique<ThreadScratch>();
            s_ = own_.get();
        }
        s_->busy = true;
    }
    ~ScratchLease() { s_->busy = false; }
    ThreadScratch &get() { return *s_; }

private:
    ThreadScratch *s_;
    std::unique_ptr<ThreadScratch> own_;
};

// Orders a distance for an integer sort: -0.0 counts as +0.0, negative
// values by magnitude reversed. Only called for non-NaN values.
uint32_t ordered_bits(float d) {
    if (d == 0.0f) d = 0.0f;
    uint32_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits & 0x80000000u ? ~bits : bits | 0x80000000u;
}

// Writes the first n results to s.found_*, sorted by ascending distance with
// equal distances in heap order, as an insertion sort that moves an entry
// forward only past strictly greater distances would leave them. Without
// NaNs that order is a sort on (distance, heap position), done on packed
// keys in O(n log n); with one, the insertion sort itself decides.
void sort_results(LayerScratch &s, size_t n) {
    s.found_nodes.resize(n);
    s.found_distances.resize(n);
    bool has_nan = false;
    for (size_t j = 0; j < n; j++) has_nan |= std::isnan(s.results[j].distance);
    if (!has_nan) {
        s.sort_keys.resize(n);
        for (size_t j = 0; j < n; j++)
            s.sort_keys[j] = static_cast<uint64_t>(ordered_bits(s.results[j].distance)) << 32 | j;
        std::sort(s.sort_keys.begin(), s.sort_keys.end());
        for (size_t j = 0; j < n; j++) {
            const Candidate &c = s.results[static_cast<uint32_t>(s.sort_keys[j])];
            s.found_nodes[j] = c.node;
            s.found_distances[j] = c.distance;
        }
        return;
    }
    for (size_t j = 0; j < n; j++) {
        s.found_nodes[j] = s.results[j].node;
        s.found_distances[j] = s.results[j].distance;
    }
    for (size_t j = 1; j < n; j++) {
        float d = s.found_distances[j];
        int32_t node = s.found_nodes[j];
        size_t at = j;
        while (at > 0 && s.found_distances[at - 1] > d) {
            s.found_distances[at] = s.found_distances[at - 1];
            s.found_nodes[at] = s.found_nodes[at - 1];
            at--;
        }
        s.found_distances[at] = d;
        s.found_nodes[at] = node;
    }
}

}  // namespace

void begin_visit(VisitMarks visit, int32_t slots) {
    if (*visit.epoch >= INT32_MAX - 1 || *visit.epoch < 0) {
        std::memset(visit.marks, 0, static_cast<size_t>(slots) * sizeof(int32_t));
        *visit.epoch = 1;
    } else {
        ++*visit.epoch;
    }
}

int32_t hnsw_greedy_closest(const hnsw_index *g, int32_t ep, const float *query, int32_t layer, LayerScratch &s) {
    float d = g->distance(query, node_vector(g, ep), static_cast<uint32_t>(g->dimension));
    for (;;) {
        int32_t count = layer_count(g, layer, ep);
        if (count <= 0) return ep;
        const int32_t *row = layer_row(g, layer, ep);
        s.pending.clear();
        for (int32_t j = 0; j < count; j++)
            if (!node_deleted(g, row[j])) s.pending.push_back(row[j]);
        measure_pending(g, query, s);
        int32_t best = -1;
        float best_d = d;
        for (size_t j = 0; j < s.pending.size(); j++) {
            if (s.pending_distances[j] < best_d) {
                best_d = s.pending_distances[j];
                best = s.pending[j];
            }
        }
        if (best < 0) return ep;
        ep = best;
        d = best_d;
    }
}

size_t hnsw_search_layer(const hnsw_index *g, int32_t ep, const float *query, int32_t ef, int32_t layer,
                         VisitMarks visit, LayerScratch &s) {
    begin_visit(visit, g->node_count);
    const int32_t epoch = *visit.epoch;
    const size_t want = ef > 0 ? static_cast<size_t>(ef) : 0;
    s.candidates.clear();
    s.results.clear();

    float d0 = g->distance(query, node_vector(g, ep), static_cast<uint32_t>(g->dimension));
    visit.marks[ep] = epoch;
    heap_push(s.candidates, Candidate{d0, ep}, NearerFirst{});
    heap_push(s.results, Candidate{d0, ep}, FartherFirst{});

    while (!s.candidates.empty()) {
        Candidate c = heap_pop(s.candidates, NearerFirst{});
        float bound = s.results.size() < want ? FLT_MAX : s.results.front().distance;
        if (c.distance > bound) break;
        // The next candidate's row is likely wanted after this one's
        // distances; request it now so that its load overlaps them.
        if (!s.candidates.empty()) {
            __builtin_prefetch(layer_row(g, layer, s.candidates.front().node));
            __builtin_prefetch(&layer_count(g, layer, s.candidates.front().node));
        }

        int32_t count = layer_count(g, layer, c.node);
        const int32_t *row = layer_row(g, layer, c.node);
        // Marks and deleted flags of the row's nodes are scattered: issue
        // all their loads before the first test needs one.
        for (int32_t j = 0; j < count; j++) {
            __builtin_prefetch(&visit.marks[row[j]]);
            __builtin_prefetch(&static_cast<const GraphImpl *>(g)->dead[row[j]]);
        }
        s.pending.clear();
        for (int32_t j = 0; j < count; j++) {
            int32_t n = row[j];
            if (visit.marks[n] == epoch) continue;
            if (node_deleted(g, n)) continue;  // not marked: a later row may reach it again, still deleted
            visit.marks[n] = epoch;
            s.pending.push_back(n);
        }
        measure_pending(g, query, s);
        for (size_t j = 0; j < s.pending.size(); j++) {
            Candidate nc{s.pending_distances[j], s.pending[j]};
            heap_push(s.candidates, nc, NearerFirst{});
            if (s.results.size() < want || nc.distance < s.results.front().distance) {
                heap_push(s.results, nc, FartherFirst{});
                if (s.results.size() > want) heap_pop(s.results, FartherFirst{});
            }
        }
    }

    size_t n = s.results.size() < want ? s.results.size() : want;
    sort_results(s, n);
    return n;
}

int32_t graph_search(const hnsw_index *g, const float *query, int32_t k, vec_result *results) {
    if (g->entry < 0 || k <= 0) return 0;
    try {
        ScratchLease lease;
        ThreadScratch &ts = lease.get();
        ensure_marks(ts, static_cast<size_t>(g->node_count));
        int32_t ep = g->entry;
        for (int32_t layer = g->max_level; layer >= 1; layer--) ep = hnsw_greedy_closest(g, ep, query, layer, ts.layer);
        int32_t ef = g->ef_search > k ? g->ef_search : k;
        size_t found = hnsw_search_layer(g, ep, query, ef, 0, VisitMarks{ts.marks.data(), &ts.epoch}, ts.layer);
        size_t n = found < static_cast<size_t>(k) ? found : static_cast<size_t>(k);
        for (size_t j = 0; j < n; j++) {
            results[j].id = g->nodes[ts.layer.found_nodes[j]].id;
            results[j].distance = ts.layer.found_distances[j];
        }
        return static_cast<int32_t>(n);
    } catch (...) {
        return 0;
    }
}

}  // namespace morva

extern "C" MORVADB_API int32_t hnsw_search(hnsw_index *graph, const float *query, int32_t k, vec_result *results) {
    if (!graph || !query || !results || k <= 0) return 0;
    return morva::graph_search(graph, query, k, results);
}
