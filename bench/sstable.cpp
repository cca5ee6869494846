// Sorted tables, merges and the write-ahead log: writing a table, opening it
// (which checksums the file), point lookups that hit and miss, a full scan,
// merging overlapping tables with the streaming k-way merge next to the
// collect-and-sort merge, and log appends in each sync mode.
// Prints a table and writes one JSON object per line to bench_sstable.json
// (or the path given as the first argument).
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "morvadb.h"
#include "sstable/compaction.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Result {
    std::string name;
    std::string impl;
    uint64_t ops;
    double seconds;
};

std::string key_of(uint64_t i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "user:%012llu", static_cast<unsigned long long>(i));
    return buf;
}

void write_table(const std::string &path, uint64_t first, uint64_t count, uint64_t step, uint64_t sequence,
                 const std::string &value) {
    std::string tmp = path + ".tmp";
    sstable_writer *w = sstable_writer_create(tmp.c_str(), path.c_str(), sequence);
    for (uint64_t i = 0; i < count; i++) {
        std::string k = key_of(first + i * step);
        sstable_writer_add(w, k.data(), k.size(), value.data(), value.size(), SSTABLE_FLAG_VALUE);
    }
    sstable_writer_finish(w);
    sstable_writer_destroy(w);
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_sstable.json";
    char dir_template[] = "/tmp/morva_bench_XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr) return 1;
    std::string base = std::string(dir) + "/db";
    std::vector<Result> results;
    const uint64_t n = 200000;
    const std::string value(100, 'v');
    uint64_t checksum = 0;

    std::string table = base + ".sst.0.1";
    auto t0 = Clock::now();
    write_table(table, 0, n, 2, 1, value);
    results.push_back({"write", "table", n, seconds_since(t0)});

    t0 = Clock::now();
    sstable_reader *r = nullptr;
    for (int i = 0; i < 10; i++) {
        sstable_reader_close(r);
        r = sstable_reader_open(table.c_str());
    }
    results.push_back({"open+crc", "table", 10, seconds_since(t0)});

    std::vector<std::string> hits, misses;
    srand(7);
    for (uint64_t i = 0; i < n; i++) {
        uint64_t k = static_cast<uint64_t>(rand()) % n;
        hits.push_back(key_of(k * 2));
        misses.push_back(key_of(k * 2 + 1));
    }
    t0 = Clock::now();
    for (const std::string &k : hits) {
        const void *v;
        uint64_t len;
        checksum += sstable_reader_get(r, k.data(), k.size(), &v, &len, nullptr) == DB_OK ? len : 0;
    }
    results.push_back({"get hit", "table", n, seconds_since(t0)});
    t0 = Clock::now();
    for (const std::string &k : misses) checksum += sstable_reader_get(r, k.data(), k.size(), nullptr, nullptr, nullptr);
    results.push_back({"get miss", "table", n, seconds_since(t0)});
    t0 = Clock::now();
    auto count = [](const void *, uint64_t, const void *, uint64_t len, int, void *ctx) -> int {
        *static_cast<uint64_t *>(ctx) += len;
        return 0;
    };
    sstable_reader_scan(r, count, &checksum);
    results.push_back({"scan", "table", n, seconds_since(t0)});
    sstable_reader_close(r);

    // Four overlapping tables of n entries each.
    std::vector<std::string> inputs;
    for (uint64_t t = 0; t < 4; t++) {
        inputs.push_back(base + ".sst.0." + std::to_string(10 + t));
        write_table(inputs.back(), t, n, 3, 10 + t, value);
    }
    t0 = Clock::now();
    morva::merge_tables(inputs, base + ".sst.1.streamed", 20, morva::MergeOptions{});
    results.push_back({"merge 4x", "streaming", 4 * n, seconds_since(t0)});
    t0 = Clock::now();
    morva::merge_tables_sorted(inputs, base + ".sst.1.sorted", 20, morva::MergeOptions{});
    results.push_back({"merge 4x", "sort", 4 * n, seconds_since(t0)});

    for (int mode = 0; mode <= 2; mode++) {
        std::string path = base + ".wal" + std::to_string(mode);
        wal *w = wal_create(path.c_str(), mode);
        uint64_t appends = mode == 2 ? n / 4 : n;
        t0 = Clock::now();
        for (uint64_t i = 0; i < appends; i++) {
            std::string k = key_of(i);
            wal_append(w, WAL_OP_PUT, 1, k.data(), k.size(), value.data(), value.size());
        }
        wal_sync(w);
        results.push_back({"wal append", "sync_mode " + std::to_string(mode), appends, seconds_since(t0)});
        t0 = Clock::now();
        wal_replay(w, nullptr, nullptr);
        results.push_back({"wal replay", "sync_mode " + std::to_string(mode), appends, seconds_since(t0)});
        wal_destroy(w);
    }

    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-12s %-12s %10s %10s %12s\n", "operation", "impl", "ops", "seconds", "Mops/s");
    for (const Result &res : results) {
        double rate = res.seconds > 0 ? res.ops / res.seconds / 1e6 : 0;
        std::printf("%-12s %-12s %10llu %10.4f %12.3f\n", res.name.c_str(), res.impl.c_str(),
                    static_cast<unsigned long long>(res.ops), res.seconds, rate);
        if (json != nullptr)
            std::fprintf(json, "{\"bench\":\"sstable\",\"op\":\"%s\",\"impl\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n",
                         res.name.c_str(), res.impl.c_str(), static_cast<unsigned long long>(res.ops), res.seconds);
    }
    if (json != nullptr) std::fclose(json);
    std::printf("checksum %llu\n", static_cast<unsigned long long>(checksum));
    std::system((std::string("rm -rf ") + dir).c_str());
    return 0;
}
