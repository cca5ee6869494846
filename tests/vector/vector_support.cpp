#include "vector/vector_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vtest {

std::vector<float> random_vectors(size_t n, uint32_t dim, uint32_t seed, float lo, float hi) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n * dim);
    for (auto &x : v) x = dist(rng);
    return v;
}

uint32_t float_bits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/morvadb_vec_XXXXXX";
    char *d = mkdtemp(tmpl);
    root_ = d ? d : "/tmp";
    path_ = root_ + "/store";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<vec_result> exact_knn(const std::vector<float> &data, const std::vector<uint64_t> &ids, uint32_t dim,
                                  const float *query, int k, vec_distance_fn fn) {
    std::vector<vec_result> all;
    for (size_t i = 0; i < ids.size(); i++) all.push_back({ids[i], fn(query, data.data() + i * dim, dim)});
    std::stable_sort(all.begin(), all.end(), [](const vec_result &a, const vec_result &b) { return a.distance < b.distance; });
    if (all.size() > static_cast<size_t>(k)) all.resize(static_cast<size_t>(k));
    return all;
}

vec_config flat_config(uint32_t dim, uint32_t metric) {
    vec_config c{};
    c.index_type = VEC_INDEX_FLAT;
    c.metric = metric;
    c.dimension = dim;
    return c;
}

vec_config hnsw_config(uint32_t dim, uint32_t m, uint32_t ef_construction, uint32_t ef_search, uint32_t capacity,
                       uint32_t metric) {
    vec_config c{};
    c.index_type = VEC_INDEX_HNSW;
    c.metric = metric;
    c.dimension = dim;
    c.capacity = capacity;
    c.m = m;
    c.ef_construction = ef_construction;
    c.ef_search = ef_search;
    return c;
}

}  // namespace vtest
