// Fusion of two rankings that the caller computed, by reciprocal rank or
// by weighted scores.
#include "fts/hybrid.h"

#include <algorithm>
#include <cmath>

namespace morva {
namespace {

// Highest score first. A NaN score (from NaN weights, distances or text
// scores) has no place in that order and goes after every number, so the
// comparison stays a strict weak ordering.
bool ranks_before(double a, double b) {
    if (std::isnan(b)) return !std::isnan(a);
    if (std::isnan(a)) return false;
    return a > b;
}

int32_t fuse_rankings(const vec_result *vec_hits, int32_t vec_count, const uint64_t *text_ids,
                      const double *text_scores, int32_t text_count, const hybrid_options &options,
                      hybrid_result *out, int32_t max_out) {
    if (vec_hits == nullptr || vec_count < 0) vec_count = 0;
    if (text_ids == nullptr || text_scores == nullptr || text_count < 0) text_count = 0;
    if (vec_count == 0 && text_count == 0) return 0;
    FusedList list;
    for (int32_t i = 0; i < vec_count; ++i) {
        FusedHit &f = list.at(vec_hits[i].id);
        f.in_vector = true;  // a repeated id keeps its last position and distance
        f.vector_rank = i + 1;
        f.vector_distance = vec_hits[i].distance;
    }
    for (int32_t j = 0; j < text_count; ++j) {
        FusedHit &f = list.at(text_ids[j]);
        f.in_text = true;
        f.text_rank = j + 1;
        f.text_score = text_scores[j];
    }
    for (FusedHit &f : list.records()) {
        double vector_part = 0.0, text_part = 0.0;
        if (options.mode == 0) {
            if (f.in_vector) vector_part = options.vector_weight / (f.vector_rank + kRrfK);
            if (f.in_text) text_part = options.text_weight / (f.text_rank + kRrfK);
        } else {
            // Similarity is 1 - distance; a distance beyond 1 contributes nothing.
            if (f.in_vector)
                vector_part = options.vector_weight * (f.vector_distance > 1.0 ? 0.0 : 1.0 - f.vector_distance);
            if (f.in_text) text_part = options.text_weight * f.text_score;
        }
        f.score = vector_part + text_part;
    }
    return write_ranked(list.records(), out, max_out);
}

}  // namespace

FusedHit &FusedList::at(uint64_t id) {
    auto [it, fresh] = index_.try_emplace(id, records_.size());
    if (fresh) {
        records_.emplace_back();
        records_.back().id = id;
    }
    return records_[it->second];
}

FusedHit &FusedList::append(uint64_t id) {
    index_.try_emplace(id, records_.size());
    records_.emplace_back();
    records_.back().id = id;
    return records_.back();
}

int32_t write_ranked(std::vector<FusedHit> &records, hybrid_result *out, int32_t max_out) {
    std::stable_sort(records.begin(), records.end(),
                     [](const FusedHit &a, const FusedHit &b) { return ranks_before(a.score, b.score); });
    size_t n = std::min(records.size(), static_cast<size_t>(max_out));
    for (size_t i = 0; i < n; ++i)
        out[i] = hybrid_result{records[i].id, records[i].score, records[i].vector_distance, records[i].text_score};
    return static_cast<int32_t>(n);
}

}  // namespace morva

extern "C" MORVADB_API int32_t morvadb_hybrid_search(const vec_result *vec_hits, int32_t vec_count,
                                                     const uint64_t *text_ids, const double *text_scores,
                                                     int32_t text_count, const hybrid_options *options,
                                                     hybrid_result *out, int32_t max_out) {
    if (out == nullptr || options == nullptr || max_out < 1) return 0;
    try {
        return morva::fuse_rankings(vec_hits, vec_count, text_ids, text_scores, text_count, *options, out, max_out);
    } catch (...) {
        return 0;
    }
}
