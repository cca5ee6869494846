#include "reliability/reliability_support.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

namespace reliability {

TempDir::TempDir() {
    // Memory-backed when possible: these tests sync after every write, and
    // what they check (survival of a killed process, races) does not depend
    // on the disk.
    std::filesystem::path base =
        access("/dev/shm", W_OK) == 0 ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path();
    std::string pattern = (base / "morvadb-rel-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

int64_t env_int(const char *name, int64_t fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char *end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    return (end != text && *end == '\0' && v > 0) ? v : fallback;
}

uint64_t test_seed() {
    int64_t fixed = env_int("MORVADB_TEST_SEED", 0);
    if (fixed > 0) return static_cast<uint64_t>(fixed);
    return std::random_device{}() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::string value_for(uint32_t key, uint32_t version) {
    char head[64];
    int n = std::snprintf(head, sizeof head, "key=%u version=%u|", key, version);
    std::string value(head, static_cast<size_t>(n));
    value.append((version * 37u) % 300u, static_cast<char>('a' + version % 26));
    return value;
}

std::string key_for(uint32_t key) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "key%04u", key);
    return std::string(text, static_cast<size_t>(n));
}

db_options small_options(int32_t sync_mode, uint64_t memtable_size) {
    db_options options;
    std::memset(&options, 0, sizeof options);
    options.sync_mode = sync_mode;
    options.reserved2 = 65536;
    options.memtable_size = memtable_size;
    options.reserved3 = 1;
    options.refresh_interval_ms = 10;
    options.reserved4 = 4;
    options.reserved5 = 10485760;
    options.reserved6 = 10.0;
    return options;
}

}  // namespace reliability
