// RocksDB with a 4 MiB write buffer, no compression and unsynced writes.
#include <rocksdb/db.h>
#include <rocksdb/options.h>

#include "kv_engine.h"

namespace bench {
namespace {

class RocksDbEngine : public KvEngine {
public:
    ~RocksDbEngine() override { close(); }

    bool open(const std::string &dir, std::string &error) override {
        rocksdb::Options options;
        options.create_if_missing = true;
        options.write_buffer_size = 4u << 20;
        options.compression = rocksdb::kNoCompression;
        options.bottommost_compression = rocksdb::kNoCompression;
        rocksdb::DB *db = nullptr;
        rocksdb::Status status = rocksdb::DB::Open(options, dir, &db);
        if (!status.ok()) {
            error = status.ToString();
            return false;
        }
        db_.reset(db);
        write_options_.sync = false;
        return true;
    }

    void close() override { db_.reset(); }

    bool put(std::string_view key, std::string_view value) override {
        return db_->Put(write_options_, rocksdb::Slice(key.data(), key.size()),
                        rocksdb::Slice(value.data(), value.size()))
            .ok();
    }

    bool del(std::string_view key) override {
        return db_->Delete(write_options_, rocksdb::Slice(key.data(), key.size())).ok();
    }

    bool get(std::string_view key, std::string &out) override {
        return db_->Get(read_options_, rocksdb::Slice(key.data(), key.size()), &out).ok();
    }

    bool compact_all() override {
        rocksdb::CompactRangeOptions options;
        return db_->CompactRange(options, nullptr, nullptr).ok();
    }

    std::string settings() const override { return "write_buffer_size 4 MiB, no compression, sync false"; }

private:
    std::unique_ptr<rocksdb::DB> db_;
    rocksdb::WriteOptions write_options_;
    rocksdb::ReadOptions read_options_;
};

}  // namespace

std::unique_ptr<KvEngine> make_rocksdb_engine() { return std::make_unique<RocksDbEngine>(); }

}  // namespace bench
