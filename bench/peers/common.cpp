#include "common.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

namespace {
double clock_seconds(clockid_t clock) {
    struct timespec ts {};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
}  // namespace

double thread_cpu_seconds() { return clock_seconds(CLOCK_THREAD_CPUTIME_ID); }
double process_cpu_seconds() { return clock_seconds(CLOCK_PROCESS_CPUTIME_ID); }

double Rng::gaussian() {
    double u1 = unit();
    double u2 = unit();
    if (u1 < 1e-300) u1 = 1e-300;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

std::vector<uint64_t> shuffled_range(uint64_t n, uint64_t seed) {
    std::vector<uint64_t> v(n);
    for (uint64_t i = 0; i < n; i++) v[i] = i;
    Rng rng(seed);
    for (uint64_t i = n; i > 1; i--) std::swap(v[i - 1], v[rng.below(i)]);
    return v;
}

size_t LatencyRecorder::bucket_of(uint64_t ns) {
    if (ns < kExact) return static_cast<size_t>(ns);
    int top = 63 - __builtin_clzll(ns);  // at least 7
    size_t sub = static_cast<size_t>((ns >> (top - 6)) & (kSubBuckets - 1));
    return kExact + static_cast<size_t>(top - 7) * kSubBuckets + sub;
}

uint64_t LatencyRecorder::lower_edge(size_t bucket) {
    if (bucket < kExact) return bucket;
    size_t top = (bucket - kExact) / kSubBuckets + 7;
    uint64_t sub = (bucket - kExact) % kSubBuckets;
    return (uint64_t{1} << top) | (sub << (top - 6));
}

void LatencyRecorder::add(uint64_t ns) {
    counts_[bucket_of(ns)]++;
    count_++;
    if (ns > max_) max_ = ns;
}

Percentiles LatencyRecorder::percentiles() const {
    Percentiles p;
    if (count_ == 0) return p;
    auto at = [&](double q) {
        uint64_t rank = static_cast<uint64_t>(std::ceil(q * static_cast<double>(count_)));
        if (rank == 0) rank = 1;
        uint64_t seen = 0;
        for (size_t b = 0; b < kBuckets; b++) {
            seen += counts_[b];
            if (seen >= rank) return static_cast<double>(lower_edge(b)) / 1000.0;
        }
        return static_cast<double>(max_) / 1000.0;
    };
    p.p50_us = at(0.50);
    p.p99_us = at(0.99);
    p.p999_us = at(0.999);
    p.max_us = static_cast<double>(max_) / 1000.0;
    return p;
}

uint64_t current_rss_bytes() {
    std::FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long long size = 0, resident = 0;
    int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    if (got != 2) return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t peak_rss_bytes() {
    struct rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

uint64_t bytes_under(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return 0;
    uint64_t total = 0;
    while (struct dirent *entry = readdir(d)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string path = dir + "/" + entry->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            total += bytes_under(path);
        } else if (S_ISREG(st.st_mode)) {
            total += static_cast<uint64_t>(st.st_size);
        }
    }
    closedir(d);
    return total;
}

void remove_tree(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        unlink(dir.c_str());
        return;
    }
    while (struct dirent *entry = readdir(d)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        std::string path = dir + "/" + entry->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            remove_tree(path);
        } else {
            unlink(path.c_str());
        }
    }
    closedir(d);
    rmdir(dir.c_str());
}

bool fresh_directory(const std::string &dir) {
    remove_tree(dir);
    return mkdir(dir.c_str(), 0755) == 0;
}

bool make_directories(const std::string &dir) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        mkdir(dir.substr(0, slash).c_str(), 0755);
    }
    mkdir(dir.c_str(), 0755);
    struct stat st {};
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Flags::Flags(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) continue;
        std::string name = arg.substr(2);
        std::string value = "1";
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        } else if (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0) {
            value = argv[++i];
        }
        values_[name] = value;
    }
}

std::string Flags::get(const std::string &name, const std::string &fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

uint64_t Flags::get_u64(const std::string &name, uint64_t fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : std::strtoull(it->second.c_str(), nullptr, 10);
}

double Flags::get_double(const std::string &name, double fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
}

bool Flags::has(const std::string &name) const { return values_.count(name) != 0; }

namespace {
std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}
}  // namespace

JsonRecord &JsonRecord::str(const std::string &key, const std::string &value) {
    fields_.emplace_back(key, quoted(value));
    return *this;
}

JsonRecord &JsonRecord::num(const std::string &key, double value) {
    char buf[64];
    if (std::isfinite(value)) {
        std::snprintf(buf, sizeof buf, "%.6g", value);
    } else {
        std::snprintf(buf, sizeof buf, "null");
    }
    fields_.emplace_back(key, buf);
    return *this;
}

JsonRecord &JsonRecord::integer(const std::string &key, uint64_t value) {
    fields_.emplace_back(key, std::to_string(value));
    return *this;
}

JsonRecord &JsonRecord::append(const JsonRecord &other) {
    fields_.insert(fields_.end(), other.fields_.begin(), other.fields_.end());
    return *this;
}

std::string JsonRecord::text() const {
    std::string out = "{";
    for (size_t i = 0; i < fields_.size(); i++) {
        if (i) out += ", ";
        out += quoted(fields_[i].first) + ": " + fields_[i].second;
    }
    return out + "}";
}

ResultLog::ResultLog(const std::string &path) : file_(std::fopen(path.c_str(), "a")) {
    if (file_ == nullptr) std::fprintf(stderr, "cannot open %s: %s\n", path.c_str(), std::strerror(errno));
}

ResultLog::~ResultLog() {
    if (file_ != nullptr) std::fclose(file_);
}

void ResultLog::write(const JsonRecord &record) {
    std::string line = record.text();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    if (file_ != nullptr) {
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }
}

std::string machine_description() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor";
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            size_t colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    double mem_gib = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
                     (1024.0 * 1024.0 * 1024.0);
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s, %ld cores, %.0f GiB", model.c_str(), cores, mem_gib);
    return buf;
}

}  // namespace bench
