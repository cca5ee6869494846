// Quantized search on a database handle against exact flat search.
//
// 100,000 clustered vectors of 128 floats go into the handle's flat vector
// index and its quantized index (product quantizer with m = 16, then the
// scalar quantizer). For each, the bench reports queries per second at
// k = 10 and recall@10 against the exact flat search, plus the cost of
// ranking by encoding every stored vector again on each query (what the
// search would pay without the codes it keeps). Times are thread CPU time.
// Prints a table and writes bench_quant_search.csv in the working directory.
//
// Arguments (optional): vectors, training sample, queries.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "morvadb.h"
#include "quant/nearest_selection.h"

namespace {

constexpr uint32_t kDim = 128;
constexpr int32_t kSubquantizers = 16;
constexpr uint32_t kTopK = 10;
constexpr uint32_t kClusters = 1000;

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Points scattered around random cluster centres, so that near neighbours
// exist and recall means something.
std::vector<float> clustered(size_t n, uint32_t seed, const std::vector<float> &centres) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.15f);
    std::uniform_int_distribution<uint32_t> pick(0, kClusters - 1);
    std::vector<float> out(n * kDim);
    for (size_t i = 0; i < n; ++i) {
        const float *c = centres.data() + static_cast<size_t>(pick(rng)) * kDim;
        for (uint32_t d = 0; d < kDim; ++d) out[i * kDim + d] = c[d] + noise(rng);
    }
    return out;
}

struct Row {
    std::string name;
    double queries_per_s;
    double recall;
};

double recall_at_k(const std::vector<std::vector<uint64_t>> &truth, const std::vector<std::vector<uint64_t>> &got) {
    size_t found = 0, total = 0;
    for (size_t q = 0; q < truth.size(); ++q) {
        for (uint64_t id : truth[q]) found += std::count(got[q].begin(), got[q].end(), id) ? 1 : 0;
        total += truth[q].size();
    }
    return total ? static_cast<double>(found) / static_cast<double>(total) : 0.0;
}

// Runs every query through db_vec_quant_search.
Row run_quant(db_handle *db, const char *name, const std::vector<float> &queries, size_t nq,
              const std::vector<std::vector<uint64_t>> &truth) {
    std::vector<std::vector<uint64_t>> got(nq);
    vec_result hits[kTopK];
    const double start = cpu_seconds();
    for (size_t q = 0; q < nq; ++q) {
        const int32_t n = db_vec_quant_search(db, queries.data() + q * kDim, kTopK, hits);
        for (int32_t j = 0; j < n; ++j) got[q].push_back(hits[j].id);
    }
    const double s = cpu_seconds() - start;
    return {name, static_cast<double>(nq) / s, recall_at_k(truth, got)};
}

// The ranking without kept codes: every stored vector encoded per query.
Row run_reencoding(db_handle *db, const char *name, const std::vector<float> &queries, size_t nq,
                   const std::vector<std::vector<uint64_t>> &truth) {
    const quantizer *q = db->quant;
    const size_t code_size = morvadb_quant_code_size(q);
    std::vector<uint8_t> query_code(code_size), code(code_size);
    std::vector<float> distances(db->quant_count);
    std::vector<std::vector<uint64_t>> got(nq);
    vec_result hits[kTopK];
    const double start = cpu_seconds();
    for (size_t i = 0; i < nq; ++i) {
        morvadb_quant_encode(q, queries.data() + i * kDim, query_code.data(), nullptr);
        for (uint32_t v = 0; v < db->quant_count; ++v) {
            morvadb_quant_encode(q, db->quant_vectors + static_cast<size_t>(v) * kDim, code.data(), nullptr);
            distances[v] = morvadb_quant_distance(q, query_code.data(), code_size, code.data(), code_size);
        }
        const size_t n = morva::selection_sort_nearest(distances.data(), db->quant_ids, distances.size(), kTopK, hits);
        for (size_t j = 0; j < n; ++j) got[i].push_back(hits[j].id);
    }
    const double s = cpu_seconds() - start;
    std::vector<std::vector<uint64_t>> truth_part(truth.begin(), truth.begin() + static_cast<std::ptrdiff_t>(nq));
    return {name, static_cast<double>(nq) / s, recall_at_k(truth_part, got)};
}

void remove_dir(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") ::unlink((dir + "/" + name).c_str());
        }
        closedir(d);
    }
    ::rmdir(dir.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
    const uint32_t train_n = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 10000;
    const size_t nq = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
    const size_t nq_reencode = std::min<size_t>(nq, 3);

    std::mt19937 rng(1);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> centres(static_cast<size_t>(kClusters) * kDim);
    for (float &c : centres) c = uniform(rng);
    const std::vector<float> data = clustered(n, 2, centres);
    const std::vector<float> queries = clustered(nq, 3, centres);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = i;

    char pattern[] = "/tmp/morvadb_bench_quant_XXXXXX";
    const char *dir = mkdtemp(pattern);
    db_handle *db = nullptr;
    if (!dir || db_open((std::string(dir) + "/db").c_str(), nullptr, &db) != DB_OK) {
        std::fprintf(stderr, "cannot open a database\n");
        return 1;
    }

    // Exact ground truth and its cost, from the handle's flat index.
    db_vec_options options{};
    options.dimension = kDim;
    if (db_vec_create_index(db, &options) != DB_OK ||
        morvadb_vec_insert_batch(db->vectors, static_cast<uint32_t>(n), ids.data(), data.data()) != 0) {
        std::fprintf(stderr, "cannot build the flat index\n");
        return 1;
    }
    std::vector<std::vector<uint64_t>> truth(nq);
    vec_result hits[kTopK];
    double start = cpu_seconds();
    for (size_t q = 0; q < nq; ++q) {
        const int32_t found = db_vec_search(db, queries.data() + q * kDim, kTopK, hits);
        for (int32_t j = 0; j < found; ++j) truth[q].push_back(hits[j].id);
    }
    std::vector<Row> rows = {{"flat exact", static_cast<double>(nq) / (cpu_seconds() - start), 1.0}};
    // The quantized index is filled by itself, without forwarding into the store.
    db_vec_destroy_index(db);

    std::printf("quantized search, %zu x %u vectors, k = %u, %zu queries, training on %u\n", n, kDim, kTopK, nq,
                train_n);
    const quant_config configs[] = {{QUANT_TYPE_PRODUCT, static_cast<int32_t>(kDim), kSubquantizers},
                                    {QUANT_TYPE_SCALAR, static_cast<int32_t>(kDim), 0}};
    const char *names[] = {"product m=16", "scalar"};
    for (int c = 0; c < 2; ++c) {
        if (db_vec_quant_create(db, &configs[c]) != DB_OK) return 1;
        start = cpu_seconds();
        if (db_vec_quant_train(db, data.data(), static_cast<int32_t>(std::min<size_t>(train_n, n))) != DB_OK) return 1;
        const double train_s = cpu_seconds() - start;
        start = cpu_seconds();
        for (size_t i = 0; i < n; ++i) db_vec_quant_insert(db, ids[i], data.data() + i * kDim);
        const double insert_s = cpu_seconds() - start;
        std::printf("  %-14s train %.2f s, insert %.0f vectors/s\n", names[c], train_s, static_cast<double>(n) / insert_s);
        rows.push_back(run_quant(db, names[c], queries, nq, truth));
        rows.push_back(run_reencoding(db, (std::string(names[c]) + " re-encoding").c_str(), queries, nq_reencode, truth));
    }

    std::printf("  %-28s %14s %10s\n", "search", "queries/s", "recall@10");
    for (const Row &r : rows) std::printf("  %-28s %14.1f %10.3f\n", r.name.c_str(), r.queries_per_s, r.recall);
    if (FILE *csv = std::fopen("bench_quant_search.csv", "w")) {
        std::fprintf(csv, "search,queries_per_s,recall_at_10\n");
        for (const Row &r : rows) std::fprintf(csv, "%s,%.2f,%.4f\n", r.name.c_str(), r.queries_per_s, r.recall);
        std::fclose(csv);
    }
    db_close(db);
    remove_dir(dir);
    return 0;
}
