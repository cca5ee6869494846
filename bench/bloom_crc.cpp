// Bloom filter and CRC-32 throughput: filter inserts and lookups at the
// sorted table writer's sizing (10 bits per key) with the measured false
// positive rate, and CRC-32 over a table-sized buffer with the library's
// eight-bytes-per-step tables next to the byte-at-a-time rule.
// Prints a table and writes one JSON object per line to bench_bloom_crc.json
// (or the path given as the first argument).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "morvadb.h"
#include "util/crc32.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Result {
    const char *name;
    const char *impl;
    uint64_t ops;
    double seconds;
    const char *unit;
};

uint32_t crc_bytewise(const uint8_t *p, size_t n) {
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) reg = (reg >> 8) ^ morva::crc32_table_entry(static_cast<uint8_t>((reg ^ p[i]) & 0xFF));
    return reg ^ 0xFFFFFFFFu;
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_bloom_crc.json";
    const uint32_t n = 1000000;
    std::vector<std::string> keys(n), absent(n);
    char name[32];
    for (uint32_t i = 0; i < n; ++i) {
        std::snprintf(name, sizeof name, "user:%u", i * 2654435761u);
        keys[i] = name;
        std::snprintf(name, sizeof name, "miss:%u", i * 2654435761u);
        absent[i] = name;
    }
    std::vector<Result> results;
    uint64_t checksum = 0;

    bloom_filter *f = morvadb_bloom_create(n, 10);
    auto t0 = Clock::now();
    for (const auto &k : keys) morvadb_bloom_insert(f, k.data(), k.size());
    results.push_back({"insert", "bloom", n, seconds_since(t0), "Mops/s"});
    t0 = Clock::now();
    for (const auto &k : keys) checksum += morvadb_bloom_maybe(f, k.data(), k.size());
    results.push_back({"hit", "bloom", n, seconds_since(t0), "Mops/s"});
    uint64_t false_positives = 0;
    t0 = Clock::now();
    for (const auto &k : absent) false_positives += morvadb_bloom_maybe(f, k.data(), k.size());
    results.push_back({"miss", "bloom", n, seconds_since(t0), "Mops/s"});
    morvadb_bloom_destroy(f);

    std::vector<uint8_t> buf(64u << 20);
    for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
    t0 = Clock::now();
    checksum += morva::crc32(buf.data(), buf.size());
    results.push_back({"crc32", "8 bytes/step", buf.size(), seconds_since(t0), "MB/s"});
    t0 = Clock::now();
    checksum += crc_bytewise(buf.data(), buf.size());
    results.push_back({"crc32", "byte/step", buf.size(), seconds_since(t0), "MB/s"});

    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-8s %-14s %12s %12s\n", "op", "impl", "ops/bytes", "rate");
    for (const Result &r : results) {
        const double rate = r.ops / r.seconds / 1e6;
        std::printf("%-8s %-14s %12llu %9.1f %s\n", r.name, r.impl, static_cast<unsigned long long>(r.ops), rate,
                    r.unit);
        if (json != nullptr) {
            std::fprintf(json, "{\"bench\":\"bloom_crc\",\"op\":\"%s\",\"impl\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n",
                         r.name, r.impl, static_cast<unsigned long long>(r.ops), r.seconds);
        }
    }
    if (json != nullptr) std::fclose(json);
    std::printf("false positive rate %.4f (checksum %llu)\n", static_cast<double>(false_positives) / n,
                static_cast<unsigned long long>(checksum));
    return 0;
}
