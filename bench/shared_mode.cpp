// Shared mode: put throughput of a writer with and without publishing,
// the cost of one publish (range sync versus syncing the whole mapping),
// and how long a put takes to become visible in a follower process.
// Prints a table and writes one JSON object per line to
// bench_shared_mode.json (or the path given as the first argument).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "morvadb.h"
#include "wal/mapped_log.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string make_dir() {
    char pattern[] = "/tmp/morvadb_bench_shared_XXXXXX";
    char *d = mkdtemp(pattern);
    return d ? d : "/tmp";
}

void remove_dir(const std::string &dir) { std::system(("rm -rf " + dir).c_str()); }

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

db_options options(int shared, int refresh_ms) {
    db_options o;
    std::memset(&o, 0, sizeof o);
    o.reserved2 = 65536;
    o.memtable_size = 4 << 20;
    o.reserved3 = 1;
    o.shared_mode = shared;
    o.refresh_interval_ms = refresh_ms;
    o.reserved4 = 4;
    o.reserved5 = 10485760;
    o.reserved6 = 10.0;
    return o;
}

void create_table(db_handle *db) {
    const char *columns[] = {"v"};
    int32_t types[] = {COL_BLOB};
    db_create_table(db, "t", columns, types, 1, nullptr);
}

double put_rate(int shared, int count) {
    std::string dir = make_dir();
    std::string prefix = dir + "/db";
    db_options o = options(shared, 10);
    db_handle *db = nullptr;
    if (db_open(prefix.c_str(), &o, &db) != DB_OK) return 0;
    create_table(db);
    std::string value(100, 'v');
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::string key = "key" + std::to_string(i);
        db_put(db, "t", key.data(), key.size(), value.data(), value.size());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    db_close(db);
    remove_dir(dir);
    return count / seconds;
}

// Appends with a sync after each: only the touched pages, or the whole mapping.
double publish_rate(bool whole, int count) {
    std::string dir = make_dir();
    std::string path = dir + "/log";
    wal_mmap log;
    if (wal_mmap_open(path.c_str(), 1, WAL_MMAP_DEFAULT_DATA_SIZE, &log) != 0) return 0;
    std::string value(100, 'v');
    auto t0 = Clock::now();
    for (int i = 0; i < count; ++i) {
        wal_mmap_append(&log, static_cast<uint64_t>(i + 1), 0, 1, "key", 3, value.data(), value.size());
        if (whole) wal_mmap_sync(&log);
        else morva::mapped_log_sync_through(&log, wal_mmap_get_write_pos(&log));
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    wal_mmap_close(&log);
    remove_dir(dir);
    return count / seconds;
}

struct Latency {
    double median_us = 0, p99_us = 0;
    size_t samples = 0;
};

// A follower child polls one key; the parent writer stores the put's send
// time in the value. The child reports how long each new value took.
Latency visibility(int refresh_ms, bool explicit_refresh, int count) {
    std::string dir = make_dir();
    std::string prefix = dir + "/db";
    int to_child[2], to_parent[2];
    if (::pipe(to_child) != 0 || ::pipe(to_parent) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        char byte;
        if (::read(to_child[0], &byte, 1) != 1) ::_exit(1);
        db_options o = options(0, refresh_ms);
        db_handle *f = nullptr;
        if (db_open_reader(prefix.c_str(), &o, &f) != DB_OK) ::_exit(2);
        if (::write(to_parent[1], "r", 1) != 1) ::_exit(3);
        std::vector<int64_t> delays;
        int64_t last = 0;
        // Values the follower never saw (replaced before it looked) are
        // simply not sampled; the writer's final value -1 ends the run.
        while (true) {
            if (explicit_refresh) db_reader_refresh(f);
            const void *v;
            uint64_t len;
            if (db_get(f, "t", "lat", 3, &v, &len) == DB_OK && len == sizeof(int64_t)) {
                int64_t sent;
                std::memcpy(&sent, v, sizeof sent);
                if (sent == -1) break;
                if (sent != last) {
                    delays.push_back(now_ns() - sent);
                    last = sent;
                }
            }
        }
        db_close(f);
        delays.resize(static_cast<size_t>(count), 0);
        ssize_t bytes = static_cast<ssize_t>(delays.size() * sizeof(int64_t));
        ::_exit(::write(to_parent[1], delays.data(), static_cast<size_t>(bytes)) == bytes ? 0 : 4);
    }
    db_options o = options(1, 10);
    db_handle *db = nullptr;
    db_open(prefix.c_str(), &o, &db);
    create_table(db);
    if (::write(to_child[1], "g", 1) != 1) return {};
    char byte;
    if (::read(to_parent[0], &byte, 1) != 1) return {};
    for (int i = 0; i < count; ++i) {
        int64_t sent = now_ns();
        db_put(db, "t", "lat", 3, &sent, sizeof sent);
        // Give the follower time to see each value before the next replaces it.
        ::usleep(static_cast<useconds_t>(explicit_refresh ? 1000 : (refresh_ms + 5) * 1000));
    }
    int64_t stop = -1;
    db_put(db, "t", "lat", 3, &stop, sizeof stop);
    std::vector<int64_t> delays(static_cast<size_t>(count));
    size_t got = 0;
    while (got < delays.size() * sizeof(int64_t)) {
        ssize_t n = ::read(to_parent[0], reinterpret_cast<char *>(delays.data()) + got, delays.size() * sizeof(int64_t) - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::waitpid(pid, nullptr, 0);
    db_close(db);
    remove_dir(dir);
    delays.resize(got / sizeof(int64_t));
    std::erase(delays, 0);  // padding for values the follower did not see
    Latency out;
    if (delays.empty()) return out;
    std::sort(delays.begin(), delays.end());
    out.samples = delays.size();
    out.median_us = static_cast<double>(delays[delays.size() / 2]) / 1e3;
    out.p99_us = static_cast<double>(delays[std::min(delays.size() - 1, delays.size() * 99 / 100)]) / 1e3;
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_shared_mode.json";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    FILE *json = std::fopen(out_path, "w");

    constexpr int kPuts = 3000;
    double normal = put_rate(0, kPuts);
    double shared = put_rate(1, kPuts);
    std::printf("%-34s %12s\n", "put throughput", "puts/s");
    std::printf("%-34s %12.0f\n", "normal mode", normal);
    std::printf("%-34s %12.0f\n", "shared mode", shared);
    if (json) {
        std::fprintf(json, "{\"bench\":\"shared_mode\",\"case\":\"put_normal\",\"ops_per_s\":%.1f}\n", normal);
        std::fprintf(json, "{\"bench\":\"shared_mode\",\"case\":\"put_shared\",\"ops_per_s\":%.1f}\n", shared);
    }

    double range = publish_rate(false, 2000);
    double whole = publish_rate(true, 200);
    std::printf("\n%-34s %12s\n", "publish (append + sync)", "appends/s");
    std::printf("%-34s %12.0f\n", "sync of the touched pages", range);
    std::printf("%-34s %12.0f\n", "sync of the whole 64 MiB mapping", whole);
    if (json) {
        std::fprintf(json, "{\"bench\":\"shared_mode\",\"case\":\"publish_range_sync\",\"ops_per_s\":%.1f}\n", range);
        std::fprintf(json, "{\"bench\":\"shared_mode\",\"case\":\"publish_whole_sync\",\"ops_per_s\":%.1f}\n", whole);
    }

    std::printf("\n%-34s %10s %10s %8s\n", "put -> follower visibility", "median us", "p99 us", "samples");
    struct Case {
        const char *name;
        int refresh_ms;
        bool explicit_refresh;
    } cases[] = {{"follower thread, 10 ms interval", 10, false},
                 {"follower thread, 1 ms interval", 1, false},
                 {"host polling db_reader_refresh", 60000, true}};
    for (const Case &c : cases) {
        Latency l = visibility(c.refresh_ms, c.explicit_refresh, 200);
        std::printf("%-34s %10.1f %10.1f %8zu\n", c.name, l.median_us, l.p99_us, l.samples);
        if (json)
            std::fprintf(json,
                         "{\"bench\":\"shared_mode\",\"case\":\"visibility\",\"mode\":\"%s\",\"median_us\":%.2f,"
                         "\"p99_us\":%.2f,\"samples\":%zu}\n",
                         c.name, l.median_us, l.p99_us, l.samples);
    }
    if (json) std::fclose(json);
    return 0;
}
