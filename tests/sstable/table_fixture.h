// Shared helpers of the sorted table tests: a temporary directory, whole
// file reads and writes, and building a table from a list of entries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "morvadb.h"

namespace sstable_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct Entry {
    std::string key;
    std::string value;
    uint8_t flags = SSTABLE_FLAG_VALUE;
};

std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
bool file_exists(const std::string &path);

// Writes entries (already in key order) as a finished table at path.
int32_t write_table(const std::string &path, const std::vector<Entry> &entries, uint64_t sequence);

// Every entry of a table in file order; empty when it does not open.
std::vector<Entry> scan_table(const std::string &path);

// "key00042" style keys that sort in numeric order.
std::string numbered_key(int i);

}  // namespace sstable_test
