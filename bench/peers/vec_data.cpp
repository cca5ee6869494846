#include "vec_data.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <queue>

#include "common.h"

namespace bench {

namespace {
constexpr double kCentreSpread = 1.0;
constexpr double kClusterSigma = 0.6;

// Keeps the k smallest (distance, id) pairs; the heap's top is the worst
// held, and a candidate must be strictly better than it to enter, so on
// equal distances the earlier (lower) id stays, as in a row-order scan.
class TopK {
public:
    explicit TopK(uint32_t k) : k_(k) {}
    void offer(float d, uint64_t id) {
        if (heap_.size() < k_) {
            heap_.push({d, id});
        } else if (d < heap_.top().first) {
            heap_.pop();
            heap_.push({d, id});
        }
    }
    std::vector<Neighbour> sorted() {
        std::vector<Neighbour> out(heap_.size());
        for (size_t i = out.size(); i > 0; i--) {
            out[i - 1] = {heap_.top().second, heap_.top().first};
            heap_.pop();
        }
        return out;
    }

private:
    uint32_t k_;
    std::priority_queue<std::pair<float, uint64_t>> heap_;
};
}  // namespace

VectorSet gaussian_mixture(uint64_t count, uint32_t dim, uint32_t clusters, uint64_t centre_seed,
                           uint64_t point_seed) {
    Rng centre_rng(centre_seed);
    std::vector<double> centres(static_cast<size_t>(clusters) * dim);
    for (double &c : centres) c = centre_rng.gaussian() * kCentreSpread;
    Rng rng(point_seed);
    VectorSet set;
    set.dim = dim;
    set.count = count;
    set.data.resize(count * dim);
    for (uint64_t i = 0; i < count; i++) {
        const double *centre = centres.data() + rng.below(clusters) * dim;
        float *row = set.data.data() + i * dim;
        for (uint32_t j = 0; j < dim; j++) row[j] = static_cast<float>(centre[j] + rng.gaussian() * kClusterSigma);
    }
    return set;
}

float scalar_l2(const float *a, const float *b, uint32_t dim) {
    float sum = 0.0f;
    for (uint32_t i = 0; i < dim; i++) {
        float d = a[i] - b[i];
        sum += d * d;
    }
    return sum;
}

std::vector<Neighbour> scalar_search(const VectorSet &base, const float *query, uint32_t k) {
    TopK top(k);
    for (uint64_t i = 0; i < base.count; i++) top.offer(scalar_l2(query, base.row(i), base.dim), i);
    return top.sorted();
}

std::vector<uint64_t> exact_ground_truth(const VectorSet &base, const VectorSet &queries, uint32_t k) {
    // Rows are regrouped eight at a time, dimension-major, so that eight
    // independent sequential sums advance together in two SSE registers;
    // each lane adds its terms in index order, exactly like scalar_l2.
    constexpr uint64_t kLanes = 8;
    const uint32_t dim = base.dim;
    const uint64_t blocks = (base.count + kLanes - 1) / kLanes;
    std::vector<float> grouped(blocks * kLanes * dim, 0.0f);
    for (uint64_t i = 0; i < base.count; i++) {
        for (uint32_t j = 0; j < dim; j++) grouped[(i / kLanes) * kLanes * dim + j * kLanes + i % kLanes] = base.row(i)[j];
    }
    std::vector<uint64_t> truth(queries.count * k, UINT64_MAX);
    for (uint64_t q = 0; q < queries.count; q++) {
        const float *query = queries.row(q);
        TopK top(k);
        for (uint64_t b = 0; b < blocks; b++) {
            const float *block = grouped.data() + b * kLanes * dim;
            __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
            for (uint32_t j = 0; j < dim; j++) {
                __m128 qj = _mm_set1_ps(query[j]);
                __m128 dlo = _mm_sub_ps(qj, _mm_loadu_ps(block + j * kLanes));
                __m128 dhi = _mm_sub_ps(qj, _mm_loadu_ps(block + j * kLanes + 4));
                lo = _mm_add_ps(lo, _mm_mul_ps(dlo, dlo));
                hi = _mm_add_ps(hi, _mm_mul_ps(dhi, dhi));
            }
            alignas(16) float sums[kLanes];
            _mm_store_ps(sums, lo);
            _mm_store_ps(sums + 4, hi);
            for (uint64_t lane = 0; lane < kLanes && b * kLanes + lane < base.count; lane++) {
                top.offer(sums[lane], b * kLanes + lane);
            }
        }
        std::vector<Neighbour> best = top.sorted();
        for (size_t i = 0; i < best.size(); i++) truth[q * k + i] = best[i].id;
    }
    return truth;
}

std::vector<uint64_t> cached_ground_truth(const std::string &cache_dir, const VectorSet &base,
                                          const VectorSet &queries, uint32_t k, uint64_t seed) {
    char name[256];
    std::snprintf(name, sizeof name, "/truth_n%llu_q%llu_d%u_k%u_s%llu.bin",
                  static_cast<unsigned long long>(base.count), static_cast<unsigned long long>(queries.count),
                  base.dim, k, static_cast<unsigned long long>(seed));
    std::string path = cache_dir + name;
    std::vector<uint64_t> truth(queries.count * k);
    if (std::FILE *f = std::fopen(path.c_str(), "rb")) {
        size_t got = std::fread(truth.data(), sizeof(uint64_t), truth.size(), f);
        bool exact_size = got == truth.size() && std::fgetc(f) == EOF;
        std::fclose(f);
        if (exact_size) return truth;
    }
    truth = exact_ground_truth(base, queries, k);
    std::string tmp = path + ".tmp";
    if (std::FILE *f = std::fopen(tmp.c_str(), "wb")) {
        bool written = std::fwrite(truth.data(), sizeof(uint64_t), truth.size(), f) == truth.size();
        written = std::fclose(f) == 0 && written;
        if (written) std::rename(tmp.c_str(), path.c_str());
        else std::remove(tmp.c_str());
    }
    return truth;
}

double recall_at_k(const std::vector<uint64_t> &found, const std::vector<uint64_t> &truth, uint64_t queries,
                   uint32_t k) {
    if (queries == 0) return 0.0;
    uint64_t hits = 0;
    for (uint64_t q = 0; q < queries; q++) {
        const uint64_t *t = truth.data() + q * k;
        const uint64_t *f = found.data() + q * k;
        for (uint32_t i = 0; i < k; i++) {
            if (f[i] != UINT64_MAX && std::find(t, t + k, f[i]) != t + k) hits++;
        }
    }
    return static_cast<double>(hits) / static_cast<double>(queries * k);
}

double streaming_read_gbps(uint64_t bytes, int passes) {
    const uint64_t floats = bytes / sizeof(float) / 32 * 32;
    float *buffer = static_cast<float *>(std::aligned_alloc(64, floats * sizeof(float)));
    if (buffer == nullptr) return 0.0;
    for (uint64_t i = 0; i < floats; i++) buffer[i] = static_cast<float>(i & 7);
    double best = 0.0;
    float sink = 0.0f;
    for (int pass = 0; pass < passes; pass++) {
        auto start = Clock::now();
        // Eight accumulators keep the adds off the critical path so that
        // the loop is limited by the loads alone.
        __m128 acc[8];
        for (__m128 &a : acc) a = _mm_setzero_ps();
        for (uint64_t i = 0; i < floats; i += 32) {
            for (int r = 0; r < 8; r++) acc[r] = _mm_add_ps(acc[r], _mm_load_ps(buffer + i + 4 * r));
        }
        double seconds = seconds_since(start);
        alignas(16) float lanes[4];
        for (int r = 1; r < 8; r++) acc[0] = _mm_add_ps(acc[0], acc[r]);
        _mm_store_ps(lanes, acc[0]);
        sink += lanes[0] + lanes[1] + lanes[2] + lanes[3];
        best = std::max(best, static_cast<double>(floats * sizeof(float)) / seconds / 1e9);
    }
    std::free(buffer);
    // Keeps the sums alive so the loads cannot be optimised away.
    if (sink == -1.0f) std::fprintf(stderr, "%f\n", static_cast<double>(sink));
    return best;
}

}  // namespace bench
