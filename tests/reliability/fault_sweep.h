// Shared parts of the storage fault sweeps: what a key may hold after a run
// in which some writes failed, and the choice of calls to fail.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "morvadb.h"
#include "reliability/fault_injection.h"

namespace reliability {

// The states each key may be in. A write acknowledged with DB_OK must be
// there after a reopen; a write that failed may or may not have happened,
// so the key may hold the state its last acknowledged write left or that
// of any later failed write.
class KeyModel {
public:
    // Records a put (value) or a delete (nullopt) and its status.
    void record(const std::string &key, const std::optional<std::string> &value, int32_t status);
    // Every key of the model holds one of its allowed states in the handle.
    void expect_held_by(db_handle *db, const char *table) const;
    // Weaker, for a close that reported lost writes: every key holds a value
    // once written to it, or nothing.
    void expect_only_written_values(db_handle *db, const char *table) const;
    size_t size() const { return keys_.size(); }

private:
    struct Key {
        std::optional<std::string> acknowledged;             // nothing: absent
        std::vector<std::optional<std::string>> uncertain;  // failed since then
        std::set<std::string> written;
    };
    std::map<std::string, Key> keys_;
};

// The value db_get returns for key, nullopt for DB_ERR_NOT_FOUND; any other
// status fails the test and reads as nullopt.
std::optional<std::string> read_key(db_handle *db, const char *table, const std::string &key);

// The points (1-based) to fail among the counted calls. With collapse_runs,
// a run of one call repeated on one file (filling a file in pages) is
// represented by its first and its last call.
std::vector<uint64_t> failure_points(const std::vector<std::string> &calls, bool collapse_runs);

// The kinds every write-path sweep runs.
const std::vector<faults::Fault> &write_fault_kinds();

// Copies the regular files of one directory into another (created).
void copy_files(const std::string &from, const std::string &to);

// "point <i> of <n>: <call>" for failure messages.
std::string describe_point(uint64_t point, const std::vector<std::string> &calls);

}  // namespace reliability
