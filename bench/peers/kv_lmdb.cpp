// LMDB without syncing, one write transaction per 1,000 writes and one
// read transaction reused (reset and renewed) for 1,000 reads.
#include <lmdb.h>

#include "kv_engine.h"

namespace bench {
namespace {

constexpr size_t kMapSize = size_t{16} << 30;

class LmdbEngine : public KvEngine {
public:
    ~LmdbEngine() override { close(); }

    bool open(const std::string &dir, std::string &error) override {
        int rc = mdb_env_create(&env_);
        if (rc == 0) rc = mdb_env_set_mapsize(env_, kMapSize);
        // NOTLS: the latency run reads on one thread while another writes.
        if (rc == 0) rc = mdb_env_open(env_, dir.c_str(), MDB_NOSYNC | MDB_NOTLS, 0644);
        MDB_txn *txn = nullptr;
        if (rc == 0) rc = mdb_txn_begin(env_, nullptr, 0, &txn);
        if (rc == 0) rc = mdb_dbi_open(txn, nullptr, 0, &dbi_);
        if (rc == 0) rc = mdb_txn_commit(txn);
        if (rc != 0) {
            error = mdb_strerror(rc);
            close();
            return false;
        }
        return true;
    }

    void close() override {
        if (env_ == nullptr) return;
        sync_batch();
        if (read_txn_ != nullptr) mdb_txn_abort(read_txn_);
        read_txn_ = nullptr;
        mdb_env_close(env_);
        env_ = nullptr;
    }

    bool put(std::string_view key, std::string_view value) override {
        if (!begin_write()) return false;
        MDB_val k{key.size(), const_cast<char *>(key.data())};
        MDB_val v{value.size(), const_cast<char *>(value.data())};
        if (mdb_put(write_txn_, dbi_, &k, &v, 0) != 0) return false;
        return count_write();
    }

    bool del(std::string_view key) override {
        if (!begin_write()) return false;
        MDB_val k{key.size(), const_cast<char *>(key.data())};
        int rc = mdb_del(write_txn_, dbi_, &k, nullptr);
        if (rc != 0 && rc != MDB_NOTFOUND) return false;
        return count_write();
    }

    bool get(std::string_view key, std::string &out) override {
        if (read_txn_ == nullptr) {
            if (mdb_txn_begin(env_, nullptr, MDB_RDONLY, &read_txn_) != 0) return false;
        } else if (reads_in_txn_ == 0) {
            if (mdb_txn_renew(read_txn_) != 0) return false;
        }
        MDB_val k{key.size(), const_cast<char *>(key.data())};
        MDB_val v{};
        bool found = mdb_get(read_txn_, dbi_, &k, &v) == 0;
        if (found) out.assign(static_cast<const char *>(v.mv_data), v.mv_size);
        if (++reads_in_txn_ == kWritesPerTransaction) {
            mdb_txn_reset(read_txn_);
            reads_in_txn_ = 0;
        }
        return found;
    }

    void sync_batch() override {
        if (write_txn_ != nullptr) mdb_txn_commit(write_txn_);
        write_txn_ = nullptr;
        writes_in_txn_ = 0;
        if (read_txn_ != nullptr && reads_in_txn_ != 0) {
            mdb_txn_reset(read_txn_);
            reads_in_txn_ = 0;
        }
    }

    std::string settings() const override {
        return "MDB_NOSYNC, 1,000 writes per transaction, 1,000 reads per read transaction";
    }

private:
    bool begin_write() {
        if (write_txn_ != nullptr) return true;
        return mdb_txn_begin(env_, nullptr, 0, &write_txn_) == 0;
    }

    bool count_write() {
        if (++writes_in_txn_ < kWritesPerTransaction) return true;
        int rc = mdb_txn_commit(write_txn_);
        write_txn_ = nullptr;
        writes_in_txn_ = 0;
        return rc == 0;
    }

    MDB_env *env_ = nullptr;
    MDB_dbi dbi_ = 0;
    MDB_txn *write_txn_ = nullptr;
    MDB_txn *read_txn_ = nullptr;
    int writes_in_txn_ = 0;
    int reads_in_txn_ = 0;
};

}  // namespace

std::unique_ptr<KvEngine> make_lmdb_engine() { return std::make_unique<LmdbEngine>(); }

}  // namespace bench
