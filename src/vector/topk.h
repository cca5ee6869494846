// Ranking helpers shared by the flat, filtered and radius searches.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "morvadb.h"

namespace morva {

// Strict weak order on distances with NaN after every number, so sorting
// never sees an inconsistent comparison.
inline bool distance_less(float a, float b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

// Sorts hits by ascending distance; equal distances keep their order.
inline void sort_hits(vec_result *hits, size_t n) {
    std::stable_sort(hits, hits + n, [](const vec_result &x, const vec_result &y) {
        return distance_less(x.distance, y.distance);
    });
}

// Keeps the k nearest candidates offered in order. Once k are held they
// form a max-heap on distance; a candidate replaces the farthest held one
// only when strictly nearer, so among equal distances the earlier offer
// stays. Memory is k hits, supplied by the caller.
class TopK {
public:
    TopK(vec_result *storage, size_t k) : heap_(storage), k_(k) {}

    size_t size() const { return size_; }
    size_t capacity() const { return k_; }

    void offer(uint64_t id, float d) {
        if (size_ < k_) {
            heap_[size_] = vec_result{id, d};
            sift_up(size_++);
        } else if (k_ > 0 && d < heap_[0].distance) {
            heap_[0] = vec_result{id, d};
            sift_down(0);
        }
    }

    // Writes the held hits to out in ascending distance; returns their number.
    size_t finish(vec_result *out) {
        std::copy(heap_, heap_ + size_, out);
        sort_hits(out, size_);
        return size_;
    }

private:
    void sift_up(size_t i) {
        while (i > 0) {
            size_t parent = (i - 1) / 2;
            if (!(heap_[parent].distance < heap_[i].distance)) break;
            std::swap(heap_[parent], heap_[i]);
            i = parent;
        }
    }
    void sift_down(size_t i) {
        for (;;) {
            size_t l = 2 * i + 1, r = l + 1, top = i;
            if (l < size_ && heap_[top].distance < heap_[l].distance) top = l;
            if (r < size_ && heap_[top].distance < heap_[r].distance) top = r;
            if (top == i) break;
            std::swap(heap_[i], heap_[top]);
            i = top;
        }
    }

    vec_result *heap_;
    size_t k_;
    size_t size_ = 0;
};

}  // namespace morva
