// Hybrid search: fusion of a vector ranking and a full-text ranking of the
// same documents. A vector id and a text document id name the same
// document when they are equal.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "morvadb.h"

namespace morva {

// A document at 1-based rank r contributes weight / (r + kRrfK).
constexpr double kRrfK = HYBRID_RRF_K;

// One document of the fused list.
struct FusedHit {
    uint64_t id = 0;
    double vector_distance = 0.0;
    double text_score = 0.0;
    double score = 0.0;
    bool in_vector = false;
    bool in_text = false;
    int32_t vector_rank = 0;
    int32_t text_rank = 0;
};

// The fused list in insertion order, with a hash index from id to the first
// record of that id (in place of a linear search per hit).
class FusedList {
public:
    // The record of id, appended when the id has none.
    FusedHit &at(uint64_t id);
    // Appends a record even when the id has one; lookups keep the first.
    FusedHit &append(uint64_t id);
    std::vector<FusedHit> &records() { return records_; }

private:
    std::vector<FusedHit> records_;
    std::unordered_map<uint64_t, size_t> index_;
};

// Orders the records by score, highest first (equal scores keep insertion
// order, NaN scores go last), and writes the best max_out to out. Returns
// the number written. Throws std::bad_alloc.
int32_t write_ranked(std::vector<FusedHit> &records, hybrid_result *out, int32_t max_out);

}  // namespace morva
