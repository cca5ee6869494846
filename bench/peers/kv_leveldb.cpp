// LevelDB with a 4 MiB write buffer, no compression and unsynced writes.
#include <leveldb/cache.h>
#include <leveldb/db.h>
#include <leveldb/options.h>
#include <leveldb/write_batch.h>

#include "kv_engine.h"

namespace bench {
namespace {

class LevelDbEngine : public KvEngine {
public:
    ~LevelDbEngine() override { close(); }

    bool open(const std::string &dir, std::string &error) override {
        leveldb::Options options;
        options.create_if_missing = true;
        options.write_buffer_size = 4u << 20;
        options.compression = leveldb::kNoCompression;
        leveldb::DB *db = nullptr;
        leveldb::Status status = leveldb::DB::Open(options, dir, &db);
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
        return db_->Put(write_options_, leveldb::Slice(key.data(), key.size()),
                        leveldb::Slice(value.data(), value.size()))
            .ok();
    }

    bool del(std::string_view key) override {
        return db_->Delete(write_options_, leveldb::Slice(key.data(), key.size())).ok();
    }

    bool get(std::string_view key, std::string &out) override {
        return db_->Get(read_options_, leveldb::Slice(key.data(), key.size()), &out).ok();
    }

    bool compact_all() override {
        db_->CompactRange(nullptr, nullptr);
        return true;
    }

    std::string settings() const override { return "write_buffer_size 4 MiB, no compression, sync false"; }

private:
    std::unique_ptr<leveldb::DB> db_;
    leveldb::WriteOptions write_options_;
    leveldb::ReadOptions read_options_;
};

}  // namespace

std::unique_ptr<KvEngine> make_leveldb_engine() { return std::make_unique<LevelDbEngine>(); }

}  // namespace bench
