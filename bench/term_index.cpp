// Term dictionary and inverted index throughput: inserts, exact lookups,
// prefix and edit-distance searches over a synthetic vocabulary, with a
// sorted std::vector of terms scanned by brute force as the fuzzy baseline.
// Prints a table and writes one JSON object per line to
// bench_term_index.json (or the path given as the first argument).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Result {
    const char *name;
    uint64_t ops;
    double seconds;
};

std::vector<std::string> make_vocabulary(size_t n) {
    std::vector<std::string> words;
    std::srand(11);
    while (words.size() < n) {
        std::string w;
        const int len = 3 + std::rand() % 8;
        for (int i = 0; i < len; ++i) w += static_cast<char>('a' + std::rand() % 26);
        words.push_back(w);
    }
    return words;
}

size_t levenshtein(const std::string &a, const std::string &b) {
    std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

} // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_term_index.json";
    const std::vector<std::string> words = make_vocabulary(50000);
    std::vector<Result> results;

    fts_index *idx = fts_index_create();
    auto t0 = Clock::now();
    for (size_t i = 0; i < words.size(); i += 4) {
        const char *doc[4];
        int32_t n = 0;
        for (size_t j = i; j < i + 4 && j < words.size(); ++j) doc[n++] = words[j].c_str();
        fts_index_add_document(idx, doc, nullptr, nullptr, n);
    }
    results.push_back({"add (terms)", words.size(), seconds_since(t0)});

    uint64_t ids[256];
    uint64_t hits = 0;
    t0 = Clock::now();
    for (const auto &w : words) hits += static_cast<uint64_t>(fts_index_search(idx, w.c_str(), ids, 1));
    results.push_back({"exact", words.size(), seconds_since(t0)});

    const size_t queries = 200;
    t0 = Clock::now();
    for (size_t i = 0; i < queries; ++i) {
        hits += static_cast<uint64_t>(fst_prefix_search(idx->terms, words[i].substr(0, 2).c_str(), ids, 256));
    }
    results.push_back({"prefix(2)", queries, seconds_since(t0)});

    for (int32_t d = 1; d <= 2; ++d) {
        t0 = Clock::now();
        for (size_t i = 0; i < queries; ++i) {
            hits += static_cast<uint64_t>(fts_index_search_fuzzy(idx, words[i].c_str(), d, ids, 256));
        }
        results.push_back({d == 1 ? "fuzzy d=1" : "fuzzy d=2", queries, seconds_since(t0)});
    }
    t0 = Clock::now();
    for (size_t i = 0; i < queries; ++i) {
        for (const auto &w : words) hits += levenshtein(w, words[i]) <= 1;
    }
    results.push_back({"brute d=1", queries, seconds_since(t0)});

    std::printf("memory: %llu bytes for %llu terms\n", static_cast<unsigned long long>(fst_memory_used(idx->terms)),
                static_cast<unsigned long long>(fst_size(idx->terms)));
    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-12s %10s %14s\n", "op", "ops", "ops/s");
    for (const Result &r : results) {
        std::printf("%-12s %10llu %14.0f\n", r.name, static_cast<unsigned long long>(r.ops), r.ops / r.seconds);
        if (json != nullptr) {
            std::fprintf(json, "{\"bench\":\"term_index\",\"op\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n", r.name,
                         static_cast<unsigned long long>(r.ops), r.seconds);
        }
    }
    if (json != nullptr) std::fclose(json);
    std::printf("(hits %llu)\n", static_cast<unsigned long long>(hits));
    fts_index_destroy(idx);
    return 0;
}
