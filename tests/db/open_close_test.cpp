// Opening, closing, reopening and crash recovery of a writer.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "db/db_support.h"

using namespace dbtest;

namespace {

// Runs fn in a child process that ends with _exit(fn()) without closing
// anything: to the files, the child crashed. Returns the child's exit code.
template <class Fn>
int run_and_crash(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

db_options synced(uint64_t memtable_size) {
    db_options o = options_with_memtable(memtable_size);
    o.sync_mode = 2;  // every record reaches the file before the put returns
    return o;
}

// Opens prefix in the child, creates table "t" and writes keys
// <tag><0..count) with values v<i>; returns 0 on success.
int crash_after_writes(const std::string &prefix, const std::string &tag, int count, uint64_t memtable_size) {
    db_options o = synced(memtable_size);
    db_handle *db = nullptr;
    if (db_open(prefix.c_str(), &o, &db) != DB_OK) return 1;
    const char *cols[] = {"k"};
    int32_t types[] = {4};
    int32_t st = db_create_table(db, "t", cols, types, 1, nullptr);
    if (st != DB_OK && st != DB_ERR_EXISTS) return 2;
    for (int i = 0; i < count; ++i) {
        std::string k = tag + std::to_string(i), v = "v" + std::to_string(i);
        if (db_put(db, "t", k.data(), k.size(), v.data(), v.size()) != DB_OK) return 3;
    }
    return 0;
}

class OpenClose : public DbFixture {};

TEST(OpenCloseArgs, NullArgumentsAndMissingDirectory) {
    db_handle *db = nullptr;
    EXPECT_EQ(db_open(nullptr, nullptr, &db), DB_ERR_INVALID);
    EXPECT_EQ(db_open("/tmp/x", nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_close(nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_open("/nonexistent-dir-of-morvadb/db", nullptr, &db), DB_ERR_IO);
    EXPECT_EQ(db, nullptr);
    // A prefix so long that the engine's file names would be cut short.
    TempDir dir;
    std::string longprefix = dir.path() + "/" + std::string(490, 'p');
    EXPECT_EQ(db_open(longprefix.c_str(), nullptr, &db), DB_ERR_INVALID);
}

TEST_F(OpenClose, NullOptionsSelectTheDefaults) {
    db_options defaults = options_with_memtable(65536);
    EXPECT_EQ(std::memcmp(&db_->options, &defaults, sizeof defaults), 0);
    EXPECT_EQ(db_->is_follower, 0);
    EXPECT_NE(db_->memtables, nullptr);
    EXPECT_NE(db_->tree, nullptr);
    EXPECT_NE(db_->log, nullptr);
    EXPECT_NE(db_->fts, nullptr);
    // A new log is exactly its 20-byte header.
    std::string wal = read_file(file(".wal"));
    ASSERT_EQ(wal.size(), 20u);
    EXPECT_EQ(wal.substr(0, 8), std::string("SIDLEV\0\0", 8));
}

TEST_F(OpenClose, CloseWritesMemtableAndCheckpoint) {
    ASSERT_EQ(put("b", "2"), DB_OK);
    ASSERT_EQ(put("a", "1"), DB_OK);
    ASSERT_EQ(del("b"), DB_OK);
    close();
    auto table = read_table(file(".sst.0.1"));
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].key, "a");
    EXPECT_EQ(table[1].key, "b");
    EXPECT_EQ(table[1].flags, 2);
    auto ckpt = read_table(file(".ckpt.0"));
    ASSERT_EQ(ckpt.size(), 1u);
    EXPECT_EQ(ckpt[0].key, "a");
    EXPECT_EQ(ckpt[0].value, "1");
    EXPECT_EQ(ckpt[0].flags, 1);
    EXPECT_EQ(file_size(file(".wal")), 20);
    open();
    EXPECT_EQ(get("a"), "1");
    EXPECT_EQ(get("b"), kMissing);
}

TEST_F(OpenClose, SecondWriterIsRefusedInThisAndAnotherProcess) {
    ASSERT_EQ(put("k", "v"), DB_OK);
    std::vector<std::string> before = list_files(dir_.path());
    db_handle *second = nullptr;
    EXPECT_EQ(db_open(prefix_.c_str(), nullptr, &second), DB_ERR_BUSY);
    EXPECT_EQ(second, nullptr);
    int code = run_and_crash([&] {
        db_handle *other = nullptr;
        return db_open(prefix_.c_str(), nullptr, &other) == DB_ERR_BUSY ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(list_files(dir_.path()), before);
    EXPECT_EQ(get("k"), "v");
    // Once the writer closes, the prefix can be opened again.
    reopen();
    EXPECT_EQ(get("k"), "v");
}

TEST_F(OpenClose, CrashedWriterIsRecoveredFromTheLog) {
    close();
    ASSERT_EQ(run_and_crash([&] { return crash_after_writes(prefix_, "k", 50, 1 << 20); }), 0);
    EXPECT_GT(file_size(file(".wal")), 20);
    open();
    for (int i = 0; i < 50; ++i) EXPECT_EQ(get("k" + std::to_string(i)), "v" + std::to_string(i));
}

TEST_F(OpenClose, ReplayLongerThanOneMemtableLosesNothing) {
    close();
    // Written with a large memtable, recovered with a tiny one.
    ASSERT_EQ(run_and_crash([&] { return crash_after_writes(prefix_, "key", 2000, 1 << 20); }), 0);
    db_options tiny = options_with_memtable(512);
    open(&tiny);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(get("key" + std::to_string(i)), "v" + std::to_string(i)) << i;
    reopen(&tiny);
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(get("key" + std::to_string(i)), "v" + std::to_string(i)) << i;
}

TEST_F(OpenClose, TornLogTailIsCutBeforeNewRecords) {
    close();
    ASSERT_EQ(run_and_crash([&] { return crash_after_writes(prefix_, "a", 10, 1 << 20); }), 0);
    int64_t whole = file_size(file(".wal"));
    // Half a record header, as a crash in the middle of a write leaves it.
    std::string wal = read_file(file(".wal"));
    write_file(file(".wal"), wal + std::string(17, '\x07'));
    ASSERT_EQ(run_and_crash([&] { return crash_after_writes(prefix_, "b", 10, 1 << 20); }), 0);
    EXPECT_GT(file_size(file(".wal")), whole);
    open();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(get("a" + std::to_string(i)), "v" + std::to_string(i));
        EXPECT_EQ(get("b" + std::to_string(i)), "v" + std::to_string(i));
    }
}

TEST_F(OpenClose, LogOrderMatchesMemoryOrderUnderConcurrentWriters) {
    close();
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int code = run_and_crash([&] {
        db_options o = synced(4096);
        db_handle *db = nullptr;
        if (db_open(prefix_.c_str(), &o, &db) != DB_OK) return 1;
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; ++t) {
            writers.emplace_back([db, t] {
                for (int i = 0; i < 300; ++i) {
                    std::string key = "hot" + std::to_string(i % 7);
                    std::string value = std::to_string(t) + ":" + std::to_string(i);
                    db_put(db, "t", key.data(), key.size(), value.data(), value.size());
                }
            });
        }
        for (auto &w : writers) w.join();
        std::string report;
        for (int k = 0; k < 7; ++k) {
            std::string key = "hot" + std::to_string(k);
            const void *v;
            uint64_t len;
            if (db_get(db, "t", key.data(), key.size(), &v, &len) != DB_OK) return 2;
            report += std::string(static_cast<const char *>(v), len) + "\n";
        }
        if (write(pipe_fds[1], report.data(), report.size()) != static_cast<ssize_t>(report.size())) return 3;
        return 0;
    });
    ::close(pipe_fds[1]);
    ASSERT_EQ(code, 0);
    std::string expected;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) expected.append(buf, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    open();
    std::string recovered;
    for (int k = 0; k < 7; ++k) recovered += get("hot" + std::to_string(k)) + "\n";
    EXPECT_EQ(recovered, expected);
}

TEST_F(OpenClose, FailedFlushKeepsRecordsUntilALaterFlushWritesThem) {
    db_options small = options_with_memtable(300);
    reopen(&small);
    // Directories in place of the next temporary table names make the
    // table writer fail.
    std::vector<std::string> blockers;
    for (int n = 1; n <= 3; ++n) {
        blockers.push_back(file(".sst.0." + std::to_string(n) + ".tmp"));
        ASSERT_EQ(mkdir(blockers.back().c_str(), 0755), 0);
    }
    int i = 0, failures = 0;
    while (failures == 0 && i < 1000) {
        if (put("k" + std::to_string(i++), "value") != DB_OK) failures++;
    }
    ASSERT_EQ(failures, 1);
    EXPECT_FALSE(file_exists(file(".sst.0.1")));
    // The records stay readable and stay in the log.
    for (int k = 0; k < i; ++k) ASSERT_EQ(get("k" + std::to_string(k)), "value");
    EXPECT_GT(db_->log->file_bytes + db_->log->buffered, 20u);
    for (const auto &b : blockers) ::rmdir(b.c_str());
    // Later writes fill the next memtable; its flush writes the kept one
    // (as table 2) and then the new one (table 3).
    int written = i;
    while (!file_exists(file(".sst.0.3")) && written < 5000) ASSERT_EQ(put("k" + std::to_string(written++), "value"), DB_OK);
    EXPECT_EQ(file_size(file(".wal")), 20);
    reopen(&small);
    for (int k = 0; k < written; ++k) ASSERT_EQ(get("k" + std::to_string(k)), "value") << k;
}

}  // namespace
