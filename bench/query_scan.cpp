// Query execution throughput: qb_exec over 1,000,000 rows with a selective
// filter, with and without sort and limit, and a full scan that copies
// every row, with the rows in sorted tables (B-tree) and in a memtable.
// Reports rows scanned per second of process CPU time (the machine may be
// shared; the scan is single-threaded) along with the wall time. Prints a table and writes one JSON object
// per line to bench_query_scan.json (or the path given as the first
// argument). The database lives in a fresh temporary directory.
#include <dirent.h>
#include <unistd.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kRows = 1000000;

struct Result {
    std::string name;
    int32_t rows_scanned;
    int32_t rows_returned;
    double seconds;      // process CPU time, best run
    double wall_seconds; // wall time of that run
};

double cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

void remove_dir(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") ::unlink((dir + "/" + n).c_str());
        }
        closedir(d);
    }
    ::rmdir(dir.c_str());
}

// Row: id INT32, score DOUBLE, name STRING, active BOOL (about 30 bytes).
std::vector<uint8_t> encode_row(int32_t id) {
    char name[24];
    int32_t len = std::snprintf(name, sizeof name, "user%07d", id);
    double score = static_cast<double>(static_cast<int64_t>(id) * 7919 % 100000) / 7.0;
    uint8_t active = id % 2;
    std::vector<uint8_t> row(4 + 8 + 4 + static_cast<size_t>(len) + 1);
    uint8_t *p = row.data();
    std::memcpy(p, &id, 4);
    std::memcpy(p + 4, &score, 8);
    std::memcpy(p + 12, &len, 4);
    std::memcpy(p + 16, name, static_cast<size_t>(len));
    p[16 + len] = active;
    return row;
}

db_handle *load(const std::string &prefix, uint64_t memtable_size) {
    db_options options{};
    options.reserved2 = 65536;
    options.memtable_size = memtable_size;
    options.reserved3 = 1;
    options.refresh_interval_ms = 10;
    options.reserved4 = 4;
    options.reserved5 = 10485760;
    options.reserved6 = 10.0;
    db_handle *db = nullptr;
    if (db_open(prefix.c_str(), &options, &db) != DB_OK) return nullptr;
    const char *cols[] = {"id", "score", "name", "active"};
    int32_t types[] = {COL_INT32, COL_DOUBLE, COL_STRING, COL_BOOL};
    db_create_table(db, "users", cols, types, 4, nullptr);
    char key[16];
    for (int32_t id = 0; id < kRows; ++id) {
        std::snprintf(key, sizeof key, "u%08lld", static_cast<long long>(id) * 48271 % kRows);
        std::vector<uint8_t> row = encode_row(id);
        if (db_put(db, "users", key, std::strlen(key), row.data(), row.size()) != DB_OK) {
            db_close(db);
            return nullptr;
        }
    }
    return db;
}

Result run(db_handle *db, const std::string &name, bool filter, bool sort, int32_t limit) {
    query_builder *qb = db_query(db, "users");
    if (filter) qb_filter(qb, "score", "<", "10");  // about 0.07 % of the rows
    if (sort) qb_sort(qb, "score", 0);
    if (limit >= 0) qb_limit(qb, limit);
    // Best of three runs.
    double best = 1e300, best_wall = 0;
    int32_t returned = 0;
    for (int i = 0; i < 3; ++i) {
        Clock::time_point start = Clock::now();
        double cpu_start = cpu_now();
        result_set *rs = qb_exec(qb);
        double cpu = cpu_now() - cpu_start;
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        returned = rs != nullptr ? rs->row_count : -1;
        rs_close(rs);
        if (cpu < best) {
            best = cpu;
            best_wall = wall;
        }
    }
    qb_destroy(qb);
    return Result{name, kRows, returned, best, best_wall};
}

}  // namespace

int main(int argc, char **argv) {
    const char *json_path = argc > 1 ? argv[1] : "bench_query_scan.json";
    char dir_template[] = "/tmp/morvadb_bench_query_XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return 1;
    std::string dir = dir_template;
    std::vector<Result> results;

    struct Placement {
        const char *label;
        uint64_t memtable_size;
    } placements[] = {{"tables", 32u << 20}, {"memtable", 1u << 30}};
    for (const Placement &p : placements) {
        std::string prefix = dir + "/" + p.label;
        Clock::time_point load_start = Clock::now();
        db_handle *db = load(prefix, p.memtable_size);
        std::fprintf(stderr, "loaded %d rows (%s) in %.1f s\n", kRows, p.label,
                     std::chrono::duration<double>(Clock::now() - load_start).count());
        if (db == nullptr) {
            std::fprintf(stderr, "loading %s failed\n", p.label);
            remove_dir(dir);
            return 1;
        }
        auto named = [&p](const char *what) { return std::string(p.label).append("/").append(what); };
        results.push_back(run(db, named("filter"), true, false, -1));
        results.push_back(run(db, named("filter+sort+limit10"), true, true, 10));
        results.push_back(run(db, named("sort+limit10"), false, true, 10));
        results.push_back(run(db, named("sort"), false, true, -1));
        results.push_back(run(db, named("full-copy"), false, false, -1));
        db_close(db);
    }
    remove_dir(dir);

    std::printf("%-34s %10s %10s %10s %10s %16s\n", "query", "scanned", "returned", "cpu ms", "wall ms",
                "rows scanned/s");
    FILE *json = std::fopen(json_path, "w");
    for (const Result &r : results) {
        double rate = r.rows_scanned / r.seconds;
        std::printf("%-34s %10d %10d %10.2f %10.2f %16.0f\n", r.name.c_str(), r.rows_scanned, r.rows_returned,
                    r.seconds * 1e3, r.wall_seconds * 1e3, rate);
        if (json != nullptr)
            std::fprintf(json,
                         "{\"bench\":\"query_scan\",\"case\":\"%s\",\"rows_scanned\":%d,\"rows_returned\":%d,"
                         "\"seconds\":%.6f,\"rows_per_second\":%.0f}\n",
                         r.name.c_str(), r.rows_scanned, r.rows_returned, r.seconds, rate);
    }
    if (json != nullptr) std::fclose(json);
    return 0;
}
