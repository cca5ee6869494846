// Helpers shared by the crash-recovery and stress tests: scratch directories,
// run lengths taken from the environment, and deterministic test values.
#pragma once

#include <cstdint>
#include <string>

#include "morvadb.h"

namespace reliability {

// A temporary directory (in /dev/shm when it exists) removed with everything
// in it when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// The integer in environment variable `name`, or `fallback` when it is unset
// or not a positive number. Lets CI run short and a developer run long.
int64_t env_int(const char *name, int64_t fallback);

// The seed for a test's random choices: MORVADB_TEST_SEED when set, else a
// fresh one. Tests print it so a failure can be replayed.
uint64_t test_seed();

// The value written for (key, version): self-describing, so a reader can tell
// which write it came from, and of a length that varies with the version so
// that records of many sizes reach the log and the tables.
std::string value_for(uint32_t key, uint32_t version);

// The key text of key number `key`.
std::string key_for(uint32_t key);

// Options for a writer: the given sync mode and a small memtable so that
// flushes (and with them compactions) happen after a few hundred writes.
db_options small_options(int32_t sync_mode, uint64_t memtable_size = 4096);

}  // namespace reliability
