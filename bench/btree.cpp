// B-tree throughput: random puts, point gets, in-place ordered scans and
// snapshot cursors, next to std::map holding the same data as a baseline.
// Prints a table and writes one JSON object per line to bench_btree.json
// (or the path given as the first argument).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "memtable/btree.h"
#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

} // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_btree.json";
    const size_t n = 1000000;
    const std::string value(100, 'v');
    const std::vector<std::string> keys = make_keys(n);
    std::vector<Result> results;

    btree *tree = btree_create();
    auto t0 = Clock::now();
    for (const auto &k : keys) btree_put(tree, k.data(), k.size(), value.data(), value.size());
    results.push_back({"put", "btree", n, seconds_since(t0)});

    std::map<std::string, std::string> map;
    t0 = Clock::now();
    for (const auto &k : keys) map[k] = value;
    results.push_back({"put", "std::map", n, seconds_since(t0)});

    uint64_t checksum = 0;
    t0 = Clock::now();
    for (const auto &k : keys) {
        const uint8_t *v = nullptr;
        uint64_t len = 0;
        if (btree_get(tree, k.data(), k.size(), &v, &len) == DB_OK) checksum += len;
    }
    results.push_back({"get", "btree", n, seconds_since(t0)});
    t0 = Clock::now();
    for (const auto &k : keys) {
        auto it = map.find(k);
        if (it != map.end()) checksum += it->second.size();
    }
    results.push_back({"get", "std::map", n, seconds_since(t0)});

    t0 = Clock::now();
    uint64_t scanned = 0;
    morva::btree_for_each(tree, [&](const btree_entry &e) {
        checksum += e.value_len;
        ++scanned;
        return true;
    });
    results.push_back({"scan", "btree in place", scanned, seconds_since(t0)});
    t0 = Clock::now();
    for (const auto &[k, v] : map) checksum += v.size();
    results.push_back({"scan", "std::map", map.size(), seconds_since(t0)});

    t0 = Clock::now();
    btree_cursor *cursor = btree_cursor_create(tree);
    btree_entry e;
    while (btree_cursor_next(cursor, &e) == DB_OK) checksum += e.value_len;
    results.push_back({"scan", "btree cursor", scanned, seconds_since(t0)});
    btree_cursor_destroy(cursor);

    t0 = Clock::now();
    btree_destroy(tree);
    results.push_back({"destroy", "btree", n, seconds_since(t0)});

    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-8s %-16s %12s %12s\n", "op", "impl", "ops", "Mops/s");
    for (const Result &r : results) {
        const double rate = r.ops / r.seconds / 1e6;
        std::printf("%-8s %-16s %12llu %12.2f\n", r.name, r.impl, static_cast<unsigned long long>(r.ops), rate);
        if (json != nullptr) {
            std::fprintf(json, "{\"bench\":\"btree\",\"op\":\"%s\",\"impl\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n",
                         r.name, r.impl, static_cast<unsigned long long>(r.ops), r.seconds);
        }
    }
    if (json != nullptr) std::fclose(json);
    std::printf("(checksum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
