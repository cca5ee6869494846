// This library through its public C interface, as a host would use it: one
// table, every key in it, db_get copying the value out before the next call.
#include <cstring>

#include "kv_engine.h"
#include "morvadb.h"

namespace bench {
namespace {

constexpr const char *kTable = "kv";

class MorvaEngine : public KvEngine {
public:
    explicit MorvaEngine(bool tuned) : tuned_(tuned) {}
    ~MorvaEngine() override { close(); }

    bool open(const std::string &dir, std::string &error) override {
        // The database is a path prefix; its files land in `dir` as db.*.
        std::string prefix = dir + "/db";
        db_options options{};
        options.sync_mode = 0;
        options.reserved1 = 0;
        options.reserved2 = 65536;
        options.memtable_size = tuned_ ? 4u << 20 : 65536;
        options.reserved3 = 1;
        options.shared_mode = 0;
        options.refresh_interval_ms = 10;
        options.reserved4 = 4;
        options.reserved5 = 10485760;
        options.reserved6 = 10.0;
        int32_t status = db_open(prefix.c_str(), tuned_ ? &options : nullptr, &db_);
        if (status != DB_OK) {
            error = std::string("db_open: ") + db_error_string(status);
            db_ = nullptr;
            return false;
        }
        const char *columns[] = {"value"};
        const int32_t types[] = {COL_BLOB};
        status = db_create_table(db_, kTable, columns, types, 1, nullptr);
        if (status != DB_OK && status != DB_ERR_EXISTS) {
            error = std::string("db_create_table: ") + db_error_string(status);
            return false;
        }
        return true;
    }

    void close() override {
        if (db_ != nullptr) db_close(db_);
        db_ = nullptr;
    }

    bool put(std::string_view key, std::string_view value) override {
        return db_put(db_, kTable, key.data(), key.size(), value.data(), value.size()) == DB_OK;
    }

    bool del(std::string_view key) override { return db_delete(db_, kTable, key.data(), key.size()) == DB_OK; }

    bool get(std::string_view key, std::string &out) override {
        const void *value = nullptr;
        uint64_t length = 0;
        if (db_get(db_, kTable, key.data(), key.size(), &value, &length) != DB_OK) return false;
        // The pointer is only good until the next call on the handle.
        out.assign(static_cast<const char *>(value), length);
        return true;
    }

    std::string settings() const override {
        return tuned_ ? "sync_mode 0, memtable_size 4 MiB" : "default options (sync_mode 0, memtable_size 64 KiB)";
    }

private:
    bool tuned_;
    db_handle *db_ = nullptr;
};

}  // namespace

std::unique_ptr<KvEngine> make_morvadb_engine(bool tuned) { return std::make_unique<MorvaEngine>(tuned); }

}  // namespace bench
