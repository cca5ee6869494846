// Vector workload: a fixed-seed mixture of Gaussian clusters, queries drawn
// from the same mixture, exact top-k ground truth, recall, and the plain
// sequential scalar search that exact results are compared against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct VectorSet {
    uint32_t dim = 0;
    uint64_t count = 0;
    std::vector<float> data;  // count x dim, row-major
    const float *row(uint64_t i) const { return data.data() + i * dim; }
};

// `count` vectors around `clusters` centres drawn from `centre_seed`; the
// points come from `point_seed`. Equal seeds give equal sets, and a set of n
// vectors is the first n vectors of any larger set with the same seeds.
VectorSet gaussian_mixture(uint64_t count, uint32_t dim, uint32_t clusters, uint64_t centre_seed,
                           uint64_t point_seed);

struct Neighbour {
    uint64_t id;
    float distance;
};

// Sequential single-precision squared L2 distance: the reference order that
// exact searches must reproduce bit for bit.
float scalar_l2(const float *a, const float *b, uint32_t dim);

// The k nearest rows by scalar_l2, ascending; on equal distances the lower
// row wins. One query, one row after another: the baseline loop.
std::vector<Neighbour> scalar_search(const VectorSet &base, const float *query, uint32_t k);

// The same results as scalar_search for many queries, computed several rows
// at a time (each row's sum still in sequential order) to make ground truth
// affordable. Row-major k x queries ids.
std::vector<uint64_t> exact_ground_truth(const VectorSet &base, const VectorSet &queries, uint32_t k);

// Ground truth cached in a file keyed by the sizes and seed; computed and
// written when the file is absent or does not match.
std::vector<uint64_t> cached_ground_truth(const std::string &cache_dir, const VectorSet &base,
                                          const VectorSet &queries, uint32_t k, uint64_t seed);

// Mean fraction of the true top-k found among the first k results of each query.
double recall_at_k(const std::vector<uint64_t> &found, const std::vector<uint64_t> &truth, uint64_t queries,
                   uint32_t k);

// Single-thread streaming read bandwidth in GB/s (best of several passes
// over a buffer much larger than the last-level cache).
double streaming_read_gbps(uint64_t bytes, int passes);

// Fixed workload seeds, shared by every program so all see the same data.
constexpr uint64_t kCentreSeed = 1234;
constexpr uint64_t kBaseSeed = 2345;
constexpr uint64_t kQuerySeed = 5678;
constexpr uint32_t kDimension = 128;
constexpr uint32_t kClusters = 64;

}  // namespace bench
