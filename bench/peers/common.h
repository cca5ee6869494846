// Shared pieces of the peer benchmarks: a wall clock, a seeded generator,
// latency percentiles, process memory figures, directory helpers, command
// line flags and a writer of one JSON object per line.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline uint64_t now_ns() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count());
}

// CPU time of the calling thread and of the whole process, in seconds. On a
// shared, loaded machine these show the work done where wall time also
// counts the waits for a core.
double thread_cpu_seconds();
double process_cpu_seconds();

// splitmix64: tiny, fast and fully determined by its seed, so every engine
// sees the same key order and every run the same data.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t below(uint64_t n) { return next() % n; }
    // Uniform in [0, 1) with 53 random bits.
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    // Standard normal by Box-Muller; deterministic for a given seed.
    double gaussian();

private:
    uint64_t state_;
};

// A random permutation of 0 .. n-1.
std::vector<uint64_t> shuffled_range(uint64_t n, uint64_t seed);

struct Percentiles {
    double p50_us = 0, p99_us = 0, p999_us = 0, max_us = 0;
};
// Latencies in nanoseconds, counted in buckets of at most 1/64 relative
// width (exact below 128 ns), so that recording costs the same fixed 30 KiB
// however many gets an engine makes: a list of every sample would add to the
// process's resident size in proportion to the engine's speed.
class LatencyRecorder {
public:
    void add(uint64_t ns);
    uint64_t count() const { return count_; }
    // Nearest-rank percentiles, each the lower edge of its bucket (within
    // 1.6 % of the sample's value); the maximum is exact.
    Percentiles percentiles() const;

private:
    static constexpr size_t kExact = 128;
    static constexpr size_t kSubBuckets = 64;
    static constexpr size_t kBuckets = kExact + (64 - 7) * kSubBuckets;
    static size_t bucket_of(uint64_t ns);
    static uint64_t lower_edge(size_t bucket);

    std::vector<uint64_t> counts_ = std::vector<uint64_t>(kBuckets, 0);
    uint64_t count_ = 0;
    uint64_t max_ = 0;
};

// Resident set size now and the process's peak, in bytes.
uint64_t current_rss_bytes();
uint64_t peak_rss_bytes();

// Sum of the apparent sizes of the regular files under a directory.
uint64_t bytes_under(const std::string &dir);
// Removes a directory tree (no error when it does not exist) and recreates it empty.
bool fresh_directory(const std::string &dir);
void remove_tree(const std::string &dir);
// Creates a directory and its missing parents; true when it exists afterwards.
bool make_directories(const std::string &dir);

// --name value and --flag style arguments.
class Flags {
public:
    Flags(int argc, char **argv);
    std::string get(const std::string &name, const std::string &fallback) const;
    uint64_t get_u64(const std::string &name, uint64_t fallback) const;
    double get_double(const std::string &name, double fallback) const;
    bool has(const std::string &name) const;

private:
    std::map<std::string, std::string> values_;
};

// One flat JSON object: numbers and strings in insertion order.
class JsonRecord {
public:
    JsonRecord &str(const std::string &key, const std::string &value);
    JsonRecord &num(const std::string &key, double value);
    JsonRecord &integer(const std::string &key, uint64_t value);
    JsonRecord &append(const JsonRecord &other);
    std::string text() const;

private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// Appends records to a JSON Lines file and echoes a short line to stdout.
class ResultLog {
public:
    explicit ResultLog(const std::string &path);
    ~ResultLog();
    ResultLog(const ResultLog &) = delete;
    ResultLog &operator=(const ResultLog &) = delete;
    void write(const JsonRecord &record);
    bool ok() const { return file_ != nullptr; }

private:
    std::FILE *file_;
};

// Short description of the processor and memory for the result files.
std::string machine_description();

}  // namespace bench
