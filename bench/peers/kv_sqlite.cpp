// SQLite in WAL mode with synchronous off and prepared statements. Writes go
// through one connection, one transaction per 1,000 writes; reads through a
// second connection, one read transaction per 1,000 reads, so that a reader
// thread never joins the writer's open transaction.
#include <sqlite3.h>

#include "kv_engine.h"

namespace bench {
namespace {

class Statement {
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool prepare(sqlite3 *db, const char *sql) { return sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) == SQLITE_OK; }
    sqlite3_stmt *get() const { return stmt_; }
    void finalize() {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

// One connection with BEGIN/COMMIT statements and a counter of operations
// in the open transaction.
struct Connection {
    sqlite3 *db = nullptr;
    Statement begin, commit;
    int in_txn = 0;

    bool open(const std::string &path, std::string &error) {
        if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
            error = db ? sqlite3_errmsg(db) : "sqlite3_open failed";
            return false;
        }
        const char *setup = "PRAGMA journal_mode=WAL; PRAGMA synchronous=OFF;"
                            "CREATE TABLE IF NOT EXISTS kv(k BLOB PRIMARY KEY, v BLOB) WITHOUT ROWID;";
        if (sqlite3_exec(db, setup, nullptr, nullptr, nullptr) != SQLITE_OK ||
            !begin.prepare(db, "BEGIN") || !commit.prepare(db, "COMMIT")) {
            error = sqlite3_errmsg(db);
            return false;
        }
        return true;
    }
    bool step_done(sqlite3_stmt *s) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE;
    }
    bool enter() { return in_txn > 0 || step_done(begin.get()); }
    bool count(int limit) {
        if (++in_txn < limit) return true;
        in_txn = 0;
        return step_done(commit.get());
    }
    void finish() {
        if (in_txn > 0) step_done(commit.get());
        in_txn = 0;
    }
    void close() {
        if (db == nullptr) return;
        finish();
        begin.finalize();
        commit.finalize();
        sqlite3_close(db);
        db = nullptr;
    }
};

class SqliteEngine : public KvEngine {
public:
    ~SqliteEngine() override { close(); }

    bool open(const std::string &dir, std::string &error) override {
        std::string path = dir + "/kv.sqlite";
        if (!writer_.open(path, error) || !reader_.open(path, error)) return false;
        if (!put_.prepare(writer_.db, "INSERT OR REPLACE INTO kv(k, v) VALUES(?, ?)") ||
            !del_.prepare(writer_.db, "DELETE FROM kv WHERE k = ?") ||
            !get_.prepare(reader_.db, "SELECT v FROM kv WHERE k = ?")) {
            error = sqlite3_errmsg(writer_.db);
            return false;
        }
        return true;
    }

    void close() override {
        put_.finalize();
        del_.finalize();
        get_.finalize();
        reader_.close();
        writer_.close();
    }

    bool put(std::string_view key, std::string_view value) override {
        if (!writer_.enter()) return false;
        sqlite3_stmt *s = put_.get();
        sqlite3_bind_blob(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        sqlite3_bind_blob(s, 2, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        if (!writer_.step_done(s)) return false;
        return writer_.count(kWritesPerTransaction);
    }

    bool del(std::string_view key) override {
        if (!writer_.enter()) return false;
        sqlite3_stmt *s = del_.get();
        sqlite3_bind_blob(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        if (!writer_.step_done(s)) return false;
        return writer_.count(kWritesPerTransaction);
    }

    bool get(std::string_view key, std::string &out) override {
        if (!reader_.enter()) return false;
        sqlite3_stmt *s = get_.get();
        sqlite3_bind_blob(s, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
        bool found = sqlite3_step(s) == SQLITE_ROW;
        if (found) {
            out.assign(static_cast<const char *>(sqlite3_column_blob(s, 0)),
                       static_cast<size_t>(sqlite3_column_bytes(s, 0)));
        }
        sqlite3_reset(s);
        reader_.count(kWritesPerTransaction);
        return found;
    }

    void sync_batch() override {
        writer_.finish();
        reader_.finish();
    }

    std::string settings() const override {
        return "WAL, synchronous OFF, WITHOUT ROWID table, prepared statements, 1,000 writes per transaction, "
               "1,000 reads per read transaction";
    }

private:
    Connection writer_, reader_;
    Statement put_, del_, get_;
};

}  // namespace

std::unique_ptr<KvEngine> make_sqlite_engine() { return std::make_unique<SqliteEngine>(); }

}  // namespace bench
