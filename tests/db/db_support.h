// Fixtures shared by the database engine tests: a fresh temporary directory
// per test and small helpers around the C interface.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "morvadb.h"

namespace dbtest {

// A temporary directory removed with everything in it when the test ends.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Names of the regular files in a directory, sorted.
std::vector<std::string> list_files(const std::string &dir);
// Whole content of a file; empty when it cannot be read.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
int64_t file_size(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// Options with the defaults and a given memtable limit.
db_options options_with_memtable(uint64_t memtable_size);

// Every entry of a sorted table file in file order: key -> (value, flags).
struct TableEntry {
    std::string key;
    std::string value;
    int flags;
};
std::vector<TableEntry> read_table(const std::string &path);

// A database under <dir>/db with one table "t" created on first open.
class DbFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens (or reopens) the database; creates table "t" when it is missing.
    void open(const db_options *options = nullptr);
    void close();
    void reopen(const db_options *options = nullptr) {
        close();
        open(options);
    }

    int32_t put(const std::string &key, const std::string &value);
    int32_t del(const std::string &key);
    // The value of key, or "<missing>" when db_get reports not found.
    std::string get(const std::string &key);

    std::string file(const std::string &suffix) const { return prefix_ + suffix; }

    TempDir dir_;
    std::string prefix_;
    db_handle *db_ = nullptr;
};

constexpr const char *kMissing = "<missing>";

}  // namespace dbtest
