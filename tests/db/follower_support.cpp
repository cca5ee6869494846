#include "db/follower_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "db/db_support.h"

namespace dbtest {
namespace {

bool read_line(int fd, std::string *line) {
    line->clear();
    char c;
    while (true) {
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) return false;
        if (c == '\n') return true;
        line->push_back(c);
    }
}

void write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

int ensure_table(db_handle *db, const char *name) {
    const char *columns[] = {"v"};
    int32_t types[] = {COL_STRING};
    int32_t st = db_create_table(db, name, columns, types, 1, nullptr);
    return st == DB_ERR_EXISTS ? DB_OK : st;
}

int execute(db_handle **db, const std::string &prefix, const std::string &line) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "open") {
        int shared = 0;
        uint64_t memtable = 65536;
        in >> shared >> memtable;
        db_options o = options_with_memtable(memtable);
        o.shared_mode = shared;
        int st = db_open(prefix.c_str(), &o, db);
        return st == DB_OK ? ensure_table(*db, "t") : st;
    }
    if (op == "close") {
        int st = db_close(*db);
        *db = nullptr;
        return st;
    }
    if (op == "put") {
        std::string key, value;
        in >> key >> value;
        return db_put(*db, "t", key.data(), key.size(), value.data(), value.size());
    }
    if (op == "del") {
        std::string key;
        in >> key;
        return db_delete(*db, "t", key.data(), key.size());
    }
    if (op == "bulk") {
        int count = 0;
        std::string key_prefix;
        size_t bytes = 0;
        in >> count >> key_prefix >> bytes;
        for (int i = 0; i < count; ++i) {
            std::string key = key_prefix + std::to_string(i);
            std::string value = WriterProcess::bulk_value(key_prefix, i, bytes);
            int st = db_put(*db, "t", key.data(), key.size(), value.data(), value.size());
            if (st != DB_OK) return st;
        }
        return DB_OK;
    }
    if (op == "table") {
        std::string name;
        in >> name;
        return ensure_table(*db, name.c_str());
    }
    return -99;
}

}  // namespace

WriterProcess::WriterProcess(const std::string &prefix) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(down[1]);
        ::close(up[0]);
        db_handle *db = nullptr;
        std::string line;
        while (read_line(down[0], &line)) {
            int st = execute(&db, prefix, line);
            write_all(up[1], std::to_string(st) + "\n");
        }
        if (db) db_close(db);
        ::_exit(0);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_child_ = down[1];
    from_child_ = up[0];
}

WriterProcess::~WriterProcess() {
    if (to_child_ >= 0) ::close(to_child_);
    if (from_child_ >= 0) ::close(from_child_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
}

int WriterProcess::cmd(const std::string &line) {
    if (pid_ <= 0) return -100;
    write_all(to_child_, line + "\n");
    std::string reply;
    if (!read_line(from_child_, &reply)) return -100;
    return std::atoi(reply.c_str());
}

std::string WriterProcess::bulk_value(const std::string &prefix, int i, size_t bytes) {
    std::string seed = prefix + ":" + std::to_string(i) + ";";
    std::string value;
    while (value.size() < bytes) value += seed;
    value.resize(bytes);
    return value;
}

int run_in_child(int (*fn)(void *), void *arg) {
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(fn(arg));
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string get_value(db_handle *db, const std::string &key) {
    const void *value = nullptr;
    uint64_t len = 0;
    if (db_get(db, "t", key.data(), key.size(), &value, &len) != DB_OK) return kMissing;
    return std::string(static_cast<const char *>(value), len);
}

bool wait_for_value(db_handle *db, const std::string &key, const std::string &expected, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (get_value(db, key) == expected) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return get_value(db, key) == expected;
}

}  // namespace dbtest
