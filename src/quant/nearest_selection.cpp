// Selection-sort order of the quantized search, computed without k full
// passes.
//
// Only entries at or below the k-th smallest distance T can be chosen in
// the first k passes: each pass takes the smallest remaining distance and at
// least k - p entries at or below T remain before pass p. Those candidates
// are followed through the swaps. A pass picks the candidate with the
// smallest (distance, current position); the entry that sat at position p
// moves to the chosen one's old position, which matters only when it is a
// candidate itself. Non-candidates are never chosen, so where they move is
// irrelevant.
#include "quant/nearest_selection.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <vector>

namespace morva {
namespace {

// A candidate entry at its current position in the hit array.
struct Candidate {
    float distance;
    size_t position;
    size_t entry;
};

// Selection order: smaller distance first, then the earlier position, which
// is the entry a left-to-right scan keeping strict minima finds.
struct SelectionOrder {
    bool operator()(const Candidate &a, const Candidate &b) const {
        if (a.distance != b.distance) return a.distance < b.distance;
        return a.position < b.position;
    }
};

// The want-th smallest of n distances (1 <= want <= n, none NaN), through
// a max-heap of the want smallest seen so far.
float kth_smallest(const float *distances, size_t n, size_t want) {
    std::vector<float> heap(distances, distances + want);
    std::make_heap(heap.begin(), heap.end());
    for (size_t i = want; i < n; ++i) {
        if (distances[i] < heap.front()) {
            std::pop_heap(heap.begin(), heap.end());
            heap.back() = distances[i];
            std::push_heap(heap.begin(), heap.end());
        }
    }
    return heap.front();
}

}  // namespace

size_t selection_sort_nearest(const float *distances, const uint64_t *ids, size_t n, size_t k, vec_result *out) {
    const size_t want = std::min(n, k);
    if (want == 0) return 0;
    std::vector<vec_result> hits(n);
    for (size_t i = 0; i < n; ++i) hits[i] = vec_result{ids[i], distances[i]};
    for (size_t p = 0; p < want; ++p) {
        size_t smallest = p;
        for (size_t i = p + 1; i < n; ++i) {
            if (hits[i].distance < hits[smallest].distance) smallest = i;
        }
        std::swap(hits[p], hits[smallest]);
    }
    std::copy(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(want), out);
    return want;
}

size_t select_nearest(const float *distances, const uint64_t *ids, size_t n, size_t k, vec_result *out) {
    const size_t want = std::min(n, k);
    if (want == 0) return 0;
    if (std::any_of(distances, distances + n, [](float d) { return std::isnan(d); })) {
        return selection_sort_nearest(distances, ids, n, k, out);
    }

    const float threshold = kth_smallest(distances, n, want);
    std::set<Candidate, SelectionOrder> by_distance;
    std::map<size_t, size_t> by_position;  // current position -> entry
    for (size_t i = 0; i < n; ++i) {
        if (distances[i] <= threshold) {
            by_distance.insert(Candidate{distances[i], i, i});
            by_position.emplace_hint(by_position.end(), i, i);
        }
    }

    for (size_t p = 0; p < want; ++p) {
        const Candidate chosen = *by_distance.begin();
        by_distance.erase(by_distance.begin());
        by_position.erase(chosen.position);
        out[p] = vec_result{ids[chosen.entry], chosen.distance};
        if (chosen.position == p || by_position.empty()) continue;

        // The swap sends whatever sat at position p to the chosen entry's
        // old place. Every remaining candidate is at position p or later,
        // so the one at p, if any, has the smallest position.
        auto first = by_position.begin();
        if (first->first != p) continue;
        const size_t moved = first->second;
        by_position.erase(first);
        by_position.emplace(chosen.position, moved);
        by_distance.erase(Candidate{distances[moved], p, moved});
        by_distance.insert(Candidate{distances[moved], chosen.position, moved});
    }
    return want;
}

}  // namespace morva
