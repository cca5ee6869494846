// Helpers shared by the vector tests: random data, temporary directories,
// exact reference search.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "morvadb.h"

namespace vtest {

std::vector<float> random_vectors(size_t n, uint32_t dim, uint32_t seed, float lo = -1.0f, float hi = 1.0f);

uint32_t float_bits(float f);

// A fresh directory path (not created) under the test's temporary root,
// removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string root_;
    std::string path_;
};

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
bool file_exists(const std::string &path);

// Exact k nearest by a plain scan with the exported kernel, ties by slot.
std::vector<vec_result> exact_knn(const std::vector<float> &data, const std::vector<uint64_t> &ids, uint32_t dim,
                                  const float *query, int k, vec_distance_fn fn);

vec_config flat_config(uint32_t dim, uint32_t metric = VEC_METRIC_L2);
vec_config hnsw_config(uint32_t dim, uint32_t m = 16, uint32_t ef_construction = 200, uint32_t ef_search = 50,
                       uint32_t capacity = 0, uint32_t metric = VEC_METRIC_L2);

}  // namespace vtest
