// Database engine throughput through the C interface: sequential and random
// puts (each memtable flush included), gets served from the memtables and
// from the B-tree, and gets running beside a writer thread. Prints a table
// and writes one JSON object per line to bench_db.json (or the path given as
// the first argument). The database lives in a fresh temporary directory.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Result {
    std::string name;
    uint64_t ops;
    double seconds;
};

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

std::vector<std::string> make_keys(size_t n, bool random) {
    std::vector<std::string> keys(n);
    std::srand(7);
    char buf[32];
    for (size_t i = 0; i < n; ++i) {
        unsigned v = random ? static_cast<unsigned>(std::rand()) : static_cast<unsigned>(i);
        std::snprintf(buf, sizeof buf, "key:%010u:%06zu", v, i);
        keys[i] = buf;
    }
    return keys;
}

db_handle *open_db(const std::string &prefix) {
    db_handle *db = nullptr;
    if (db_open(prefix.c_str(), nullptr, &db) != DB_OK) return nullptr;
    const char *cols[] = {"v"};
    int32_t types[] = {5};
    db_create_table(db, "t", cols, types, 1, nullptr);
    return db;
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_db.json";
    char pattern[] = "/tmp/morvadb_bench_XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern, prefix = dir + "/db";
    const size_t n = 200000;
    const std::string value(100, 'v');
    std::vector<Result> results;

    for (bool random : {false, true}) {
        const std::vector<std::string> keys = make_keys(n, random);
        db_handle *db = open_db(prefix);
        if (!db) return 1;
        auto t0 = Clock::now();
        for (const auto &k : keys) db_put(db, "t", k.data(), k.size(), value.data(), value.size());
        results.push_back({random ? "put random" : "put sequential", n, seconds_since(t0)});

        uint64_t found = 0;
        t0 = Clock::now();
        for (const auto &k : keys) {
            const void *v;
            uint64_t len;
            found += db_get(db, "t", k.data(), k.size(), &v, &len) == DB_OK;
        }
        results.push_back({random ? "get random (memtable+btree)" : "get sequential (memtable+btree)", n,
                           seconds_since(t0)});

        if (random) {
            std::atomic<bool> stop{false};
            std::thread writer([&] {
                std::string k = "writer:000000";
                for (int i = 0; !stop.load(); ++i) {
                    std::snprintf(k.data(), k.size() + 1, "writer:%06d", i % 1000000);
                    db_put(db, "t", k.data(), k.size(), value.data(), value.size());
                }
            });
            t0 = Clock::now();
            for (const auto &k : keys) {
                const void *v;
                uint64_t len;
                found += db_get(db, "t", k.data(), k.size(), &v, &len) == DB_OK;
            }
            results.push_back({"get random beside a writer", n, seconds_since(t0)});
            stop.store(true);
            writer.join();
        }
        t0 = Clock::now();
        db_close(db);
        results.push_back({random ? "close (flush+checkpoint) random" : "close (flush+checkpoint) sequential", 1,
                           seconds_since(t0)});
        remove_dir(dir);
        ::mkdir(dir.c_str(), 0755);
        if (found == 0) std::printf("nothing found\n");
    }

    {
        // Reopen cost: loading every table into the B-tree.
        const std::vector<std::string> keys = make_keys(n, true);
        db_handle *db = open_db(prefix);
        for (const auto &k : keys) db_put(db, "t", k.data(), k.size(), value.data(), value.size());
        db_close(db);
        auto t0 = Clock::now();
        db = open_db(prefix);
        results.push_back({"open (load tables)", n, seconds_since(t0)});
        db_close(db);
    }
    remove_dir(dir);

    std::FILE *json = std::fopen(out_path, "w");
    std::printf("%-40s %10s %12s\n", "op", "ops", "Kops/s");
    for (const Result &r : results) {
        std::printf("%-40s %10llu %12.1f\n", r.name.c_str(), static_cast<unsigned long long>(r.ops),
                    r.ops / r.seconds / 1e3);
        if (json)
            std::fprintf(json, "{\"bench\":\"db\",\"op\":\"%s\",\"ops\":%llu,\"seconds\":%.6f}\n", r.name.c_str(),
                         static_cast<unsigned long long>(r.ops), r.seconds);
    }
    if (json) std::fclose(json);
    return 0;
}
