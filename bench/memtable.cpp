// Memtable throughput: random puts, point gets through the skip list's
// levels, a level-0 walk per lookup (the naive search, as a reference for
// what the levels save), ordered iteration, and std::map as a baseline.
// Prints a table and writes one JSON object per line to bench_memtable.json
// (or the path given as the first argument).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "memtable/memtable.h"
#include "morvadb.h"
#include "util/key_order.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Result {
    const char *name;
    const char *impl;
    uint64_t ops;
    double seconds;
};

std::vector<std::string> make_keys(size_t n) {
    std::vector<std::string> keys(n);
    std::srand(42);
    char buf[32];
    for (auto &k : keys) {
        std::snprintf(buf, sizeof buf, "user:%010d:%04d", std::rand(), std::rand() % 10000);
        k = buf;
    }
    return keys;
}

// Finds a key by walking level 0 only.
const memtable_node *walk_level0(const memtable *mt, const std::string &k) {
    for (const memtable_node *n = mt->head->forward[0]; n != nullptr; n = n->forward[0]) {
        int c = morva::compare_keys(morva::node_key(n), n->key_len, k.data(), k.size());
        if (c == 0) return n;
        if (c > 0) return nullptr;
    }
    return nullptr;
}

int32_t count_entry(const memtable_entry *e, void *ctx) {
    *static_cast<uint64_t *>(ctx) += e->value_len;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_memtable.json";
    // A memtable is rotated at its byte budget (64 KiB by default), so even
    // large budgets hold far fewer entries than this; the skip list's twelve
    // levels are sized for such tables.
    const size_t n = 100000;
    const size_t walk_n = 20000;  // level-0 walks are O(n) each: keep them small
    const std::string value(100, 'v');
    const std::vector<std::string> keys = make_keys(n);
    std::vector<Result> results;
    uint64_t checksum = 0;

    memtable *mt = memtable_create(UINT64_MAX);
    auto t0 = Clock::now();
    for (const auto &k : keys) memtable_put(mt, 0, k.data(), k.size(), value.data(), value.size());
    results.push_back({"put", "memtable", n, seconds_since(t0)});

    std::map<std::string, std::string> map;
    t0 = Clock::now();
    for (const auto &k : keys) map[k] = value;
    results.push_back({"put", "std::map", n, seconds_since(t0)});

    t0 = Clock::now();
    for (const auto &k : keys) {
        const uint8_t *v;
        uint64_t len = 0;
        if (memtable_get(mt, k.data(), k.size(), &v, &len, nullptr) == DB_OK) checksum += len;
    }
    results.push_back({"get", "memtable", n, seconds_since(t0)});
    t0 = Clock::now();
    for (const auto &k : keys) {
        auto it = map.find(k);
        if (it != map.end()) checksum += it->second.size();
    }
    results.push_back({"get", "std::map", n, seconds_since(t0)});

    t0 = Clock::now();
    for (size_t i = 0; i < n; i += 2) memtable_delete(mt, 0, keys[i].data(), keys[i].size());
    results.push_back({"delete", "memtable", n / 2, seconds_since(t0)});

    t0 = Clock::now();
    uint64_t sum = 0;
    memtable_iterate(mt, count_entry, &sum);
    checksum += sum;
    results.push_back({"iterate", "memtable", n, seconds_since(t0)});
    memtable_destroy(mt);

    // Lookup cost on a smaller table: search through the levels versus a
    // walk of level 0.
    memtable *small = memtable_create(UINT64_MAX);
    for (size_t i = 0; i < walk_n; ++i) memtable_put(small, 0, keys[i].data(), keys[i].size(), value.data(), value.size());
    t0 = Clock::now();
    for (size_t i = 0; i < walk_n; ++i) checksum += morva::memtable_find(small, keys[i].data(), keys[i].size()) != nullptr;
    results.push_back({"get 20k", "skip levels", walk_n, seconds_since(t0)});
    t0 = Clock::now();
    for (size_t i = 0; i < walk_n; ++i) checksum += walk_level0(small, keys[i]) != nullptr;
    results.push_back({"get 20k", "level-0 walk", walk_n, seconds_since(t0)});
    memtable_destroy(small);

    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-8s %-14s %12s %12s\n", "op", "impl", "ops", "Mops/s");
    for (const Result &r : results) {
        const double rate = r.ops / r.seconds / 1e6;
        std::printf("%-8s %-14s %12llu %12.3f\n", r.name, r.impl, static_cast<unsigned long long>(r.ops), rate);
        if (json != nullptr) {
            std::fprintf(json, "{\"bench\":\"memtable\",\"op\":\"%s\",\"impl\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n",
                         r.name, r.impl, static_cast<unsigned long long>(r.ops), r.seconds);
        }
    }
    if (json != nullptr) std::fclose(json);
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
