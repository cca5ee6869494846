// Test helper: a database handle assembled from the building blocks, so
// query tests can place each version of a key exactly (active memtable,
// flushing memtable or B-tree) without going through flushes.
#pragma once

#include <string>
#include <vector>

#include "morvadb.h"

namespace morva_test {

class FakeDb {
public:
    FakeDb();
    ~FakeDb();
    FakeDb(const FakeDb &) = delete;
    FakeDb &operator=(const FakeDb &) = delete;

    db_handle *handle() { return db_; }

    void add_table(const std::string &name, const std::vector<std::string> &columns, const std::vector<int32_t> &types);

    // Writes into one source. Fill the flushing memtable before the active
    // one: the first flushing write rotates the (empty) active memtable.
    void put_active(const std::string &key, const std::vector<uint8_t> &value);
    void delete_active(const std::string &key);
    void put_flushing(const std::string &key, const std::vector<uint8_t> &value);
    void delete_flushing(const std::string &key);
    void put_tree(const std::string &key, const std::vector<uint8_t> &value);

private:
    memtable *flushing();
    db_handle *db_;
};

}  // namespace morva_test
