// The key/value engines under test behind one small interface. Each engine
// is compiled in only when its package was found; `make_kv_engine` returns
// null for a name that is unknown or absent from this build.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

class KvEngine {
public:
    virtual ~KvEngine() = default;
    // Opens (creating) a database in an empty directory. False with a message on failure.
    virtual bool open(const std::string &dir, std::string &error) = 0;
    virtual void close() = 0;
    // Engines that group writes into transactions commit every `batch` writes
    // inside put/del and at `sync_batch`; the others ignore the grouping.
    virtual bool put(std::string_view key, std::string_view value) = 0;
    virtual bool del(std::string_view key) = 0;
    // Finds a key; on success copies its value into `out`. False when absent.
    virtual bool get(std::string_view key, std::string &out) = 0;
    // Ends any open write or read transaction so that a phase ends with
    // everything committed.
    virtual void sync_batch() {}
    // Whether get() may run on one thread while put() runs on another.
    virtual bool concurrent_read_write() const { return true; }
    // Starts a full manual compaction when the engine has one (run on its
    // own thread by the harness); false when the engine compacts on its own.
    virtual bool compact_all() { return false; }
    // Free-form description of the options used, for the report.
    virtual std::string settings() const = 0;
};

std::unique_ptr<KvEngine> make_kv_engine(const std::string &name);
// The engines compiled into this build, in report order.
std::vector<std::string> kv_engine_names();

// One factory per engine, defined in that engine's file.
std::unique_ptr<KvEngine> make_morvadb_engine(bool tuned);
std::unique_ptr<KvEngine> make_leveldb_engine();
std::unique_ptr<KvEngine> make_rocksdb_engine();
std::unique_ptr<KvEngine> make_lmdb_engine();
std::unique_ptr<KvEngine> make_sqlite_engine();

// Writes per transaction for the engines that group writes (LMDB, SQLite).
constexpr int kWritesPerTransaction = 1000;

}  // namespace bench
