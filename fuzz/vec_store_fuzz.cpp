// Persistent vector store directories as a crash, a bad disk or another
// program might leave them. The input carries four files: meta, vectors,
// ids and the vector log (wal), split by the part separator. Opening must
// give a clear status or a store that searches, reads back and closes.
#include <morvadb.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr uint32_t kMaxProbedDimension = 4096;

void exercise(vec_store *store) {
    uint32_t dimension = morvadb_vec_dimension(store);
    int32_t count = morvadb_vec_count(store);
    if (count < 0) abort();
    vec_stats stats;
    morvadb_vec_stats(store, &stats);
    if (dimension == 0 || dimension > kMaxProbedDimension) return;
    std::vector<float> query(dimension, 0.5f);
    vec_result results[8];
    int32_t found = morvadb_vec_search(store, query.data(), 8, results);
    if (found > 8) abort();
    std::vector<float> back(dimension);
    for (int32_t i = 0; i < found; ++i) {
        if (morvadb_vec_get(store, results[i].id, back.data()) != 0) continue;
        volatile float sink = back[dimension - 1];
        (void)sink;
    }
    // The store must keep working after what it loaded.
    morvadb_vec_insert(store, 0xFEEDu, query.data());
    morvadb_vec_delete(store, 0xFEEDu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = morva::fuzz::scratch_path("store");
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::filesystem::create_directory(dir, ignored);
    auto parts = morva::fuzz::split_parts(data, size, 4);
    static const char *const kNames[] = {"meta", "vectors", "ids", "wal"};
    for (size_t i = 0; i < 4; ++i) {
        // An empty part stands for a missing file, so that case is reachable too.
        if (parts[i].empty() && i != 0) continue;
        morva::fuzz::write_file(dir + "/" + kNames[i], reinterpret_cast<const uint8_t *>(parts[i].data()),
                                parts[i].size());
    }
    vec_store *store = nullptr;
    int32_t rc = morvadb_vec_open(dir.c_str(), &store);
    if (rc != 0 && rc != -1 && rc != -2 && rc != -3 && rc != -4 && rc != -5) abort();
    if (store != nullptr) {
        exercise(store);
        morvadb_vec_close(store);
    }
    return 0;
}
