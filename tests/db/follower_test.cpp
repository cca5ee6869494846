// Read-only followers against a writer in another process: visibility after
// a refresh and after one interval, several followers, switched mapped logs,
// unpublished writes, read-only behaviour and the reader count.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "db/db_support.h"
#include "db/follower_support.h"
#include "morvadb.h"
#include "util/coding.h"
#include "wal/mapped_log.h"

namespace {

using dbtest::get_value;
using dbtest::kMissing;
using dbtest::WriterProcess;

class FollowerTest : public ::testing::Test {
protected:
    void SetUp() override { prefix_ = dir_.path() + "/db"; }
    void TearDown() override {
        for (db_handle *f : followers_) db_close(f);
    }

    db_handle *open_follower(int32_t refresh_ms = 10) {
        db_options o = dbtest::options_with_memtable(65536);
        o.refresh_interval_ms = refresh_ms;
        db_handle *f = nullptr;
        EXPECT_EQ(db_open_reader(prefix_.c_str(), &o, &f), DB_OK);
        if (f) followers_.push_back(f);
        return f;
    }
    void close_follower(db_handle *f) {
        std::erase(followers_, f);
        EXPECT_EQ(db_close(f), DB_OK);
    }
    uint32_t reader_count() {
        shared_meta meta;
        EXPECT_EQ(morvadb_shared_meta_open(prefix_.c_str(), &meta), 0);
        return meta.reader_count;
    }

    dbtest::TempDir dir_;
    std::string prefix_;
    std::vector<db_handle *> followers_;
};

TEST_F(FollowerTest, PutsAndDeletesBecomeVisible) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    EXPECT_EQ(dbtest::file_size(prefix_ + ".wal.mmap"), 67112960);
    EXPECT_EQ(dbtest::file_size(prefix_ + ".shared"), 24);
    ASSERT_EQ(writer.cmd("put before 1"), DB_OK);

    db_handle *f = open_follower(60000);  // the thread stays out of the way
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->is_follower, 1);
    EXPECT_EQ(get_value(f, "before"), "1");  // open applies what is published

    ASSERT_EQ(writer.cmd("put k v1"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "k"), "v1");
    ASSERT_EQ(writer.cmd("put k v2"), DB_OK);
    ASSERT_EQ(writer.cmd("del before"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "k"), "v2");
    EXPECT_EQ(get_value(f, "before"), kMissing);

    // Through the follower thread alone.
    db_handle *g = open_follower(10);
    ASSERT_EQ(writer.cmd("put k v3"), DB_OK);
    EXPECT_TRUE(dbtest::wait_for_value(g, "k", "v3", 5000));
    ASSERT_EQ(writer.cmd("del k"), DB_OK);
    EXPECT_TRUE(dbtest::wait_for_value(g, "k", kMissing, 5000));
    ASSERT_EQ(writer.cmd("close"), DB_OK);
}

TEST_F(FollowerTest, FlushedTablesAndNewTablesReachTheFollower) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 4096"), DB_OK);  // small memtables: many flushes
    ASSERT_EQ(writer.cmd("bulk 200 a 100"), DB_OK);
    db_handle *f = open_follower(60000);
    ASSERT_EQ(writer.cmd("bulk 200 b 100"), DB_OK);
    ASSERT_EQ(writer.cmd("del a7"), DB_OK);
    ASSERT_EQ(writer.cmd("table later"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(get_value(f, "b" + std::to_string(i)), WriterProcess::bulk_value("b", i, 100)) << i;
        if (i != 7) {
            ASSERT_EQ(get_value(f, "a" + std::to_string(i)), WriterProcess::bulk_value("a", i, 100)) << i;
        }
    }
    EXPECT_EQ(get_value(f, "a7"), kMissing);
    const void *v;
    uint64_t len;
    EXPECT_EQ(db_get(f, "later", "b1", 2, &v, &len), DB_OK);  // the table created after the open
}

// The writer's background thread merges level-0 tables while the follower
// runs and while another follower opens: neither may lose a key.
TEST_F(FollowerTest, CompactionWhileFollowing) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 2048"), DB_OK);
    ASSERT_EQ(writer.cmd("bulk 300 c 200"), DB_OK);  // dozens of level-0 tables
    db_handle *f = open_follower(5);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    int round = 0;
    // Keep writing until the background cycle (every five seconds) has
    // merged level 0 into level 1.
    while (std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(writer.cmd("put r" + std::to_string(round) + " x" + std::to_string(round)), DB_OK);
        ++round;
        bool merged = false;
        for (const std::string &name : dbtest::list_files(dir_.path()))
            if (name.rfind("db.sst.1.", 0) == 0) merged = true;
        if (merged && round > 20) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    db_handle *late = open_follower(60000);
    ASSERT_EQ(writer.cmd("del c5"), DB_OK);
    for (db_handle *h : {f, late}) {
        ASSERT_EQ(db_reader_refresh(h), DB_OK);
        for (int i = 0; i < 300; ++i) {
            if (i == 5) continue;
            ASSERT_EQ(get_value(h, "c" + std::to_string(i)), WriterProcess::bulk_value("c", i, 200)) << i;
        }
        EXPECT_EQ(get_value(h, "c5"), kMissing);
        for (int r = 0; r < round; ++r) ASSERT_EQ(get_value(h, "r" + std::to_string(r)), "x" + std::to_string(r));
    }
}

struct FollowerChildArgs {
    const char *prefix;
    int ready_fd;
    int go_fd;
};

// A follower process: opens, reports ready, waits for the go byte, then
// waits (through its thread only) for the final state of phase "p".
int follower_child(void *raw) {
    auto *args = static_cast<FollowerChildArgs *>(raw);
    db_handle *f = nullptr;
    if (db_open_reader(args->prefix, nullptr, &f) != DB_OK) return 2;
    char byte = 'r';
    if (::write(args->ready_fd, &byte, 1) != 1) return 3;
    if (::read(args->go_fd, &byte, 1) != 1) return 4;
    int failures = 0;
    for (int i = 0; i < 100; ++i) {
        std::string key = "p" + std::to_string(i);
        std::string expected = i % 10 == 0 ? kMissing : WriterProcess::bulk_value("p", i, 50);
        if (!dbtest::wait_for_value(f, key, expected, 5000)) ++failures;
    }
    db_put(f, "t", "x", 1, "y", 1);
    db_close(f);
    return failures == 0 ? 0 : 1;
}

TEST_F(FollowerTest, SeveralFollowerProcessesAtOnceAndTheReaderCount) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    constexpr int kFollowers = 3;
    int ready[2], go[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(go), 0);
    FollowerChildArgs args{prefix_.c_str(), ready[1], go[0]};
    std::vector<pid_t> children;
    for (int i = 0; i < kFollowers; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(follower_child(&args));
        children.push_back(pid);
    }
    for (int i = 0; i < kFollowers; ++i) {
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    }
    EXPECT_EQ(reader_count(), static_cast<uint32_t>(kFollowers));
    ASSERT_EQ(writer.cmd("bulk 100 p 50"), DB_OK);
    for (int i = 0; i < 100; i += 10) ASSERT_EQ(writer.cmd("del p" + std::to_string(i)), DB_OK);
    std::string go_bytes(kFollowers, 'g');
    ASSERT_EQ(::write(go[1], go_bytes.data(), go_bytes.size()), kFollowers);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(reader_count(), 0u);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) ::close(fd);
}

TEST_F(FollowerTest, FollowersAreReadOnly) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    ASSERT_EQ(writer.cmd("put k v"), DB_OK);
    db_handle *f = open_follower(60000);
    std::string catalog = dbtest::read_file(prefix_ + ".system");
    // The entries all lie in the first page; the rest of the file is zeros.
    std::string log_before = dbtest::read_file(prefix_ + ".wal.mmap").substr(0, 1 << 16);

    EXPECT_EQ(db_put(f, "t", "k", 1, "w", 1), DB_ERR_INVALID);
    EXPECT_EQ(db_last_error(f), DB_ERR_INVALID);
    EXPECT_EQ(db_delete(f, "t", "k", 1), DB_ERR_INVALID);
    EXPECT_EQ(db_put(f, "nosuch", "k", 1, "w", 1), DB_ERR_NOT_FOUND);
    const char *columns[] = {"c"};
    int32_t types[] = {COL_INT32};
    EXPECT_EQ(db_create_table(f, "mine", columns, types, 1, nullptr), DB_ERR_INVALID);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(dbtest::read_file(prefix_ + ".system"), catalog);
    EXPECT_EQ(dbtest::read_file(prefix_ + ".wal.mmap").substr(0, 1 << 16), log_before);
    EXPECT_EQ(get_value(f, "k"), "v");
}

TEST_F(FollowerTest, AFollowerCreatesAMissingLogThatTheWriterThenUses) {
    WriterProcess writer(prefix_);  // forked before any follower thread exists
    db_handle *f = open_follower(60000);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(dbtest::file_size(prefix_ + ".wal.mmap"), 67112960);
    EXPECT_EQ(reader_count(), 1u);
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    ASSERT_EQ(writer.cmd("put k v"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "k"), "v");
    close_follower(f);
    EXPECT_EQ(reader_count(), 0u);
}

// Writes made while no log was published (a writer without shared mode)
// must still reach a follower that stayed open, and one that opens later.
TEST_F(FollowerTest, UnpublishedWritesAreRecoveredAfterTheWriterReturns) {
    WriterProcess writer(prefix_);  // forked before any follower thread exists
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    ASSERT_EQ(writer.cmd("put k shared1"), DB_OK);
    ASSERT_EQ(writer.cmd("put gone x"), DB_OK);
    ASSERT_EQ(writer.cmd("close"), DB_OK);
    db_handle *f = open_follower(60000);
    EXPECT_EQ(get_value(f, "k"), "shared1");
    {
        ASSERT_EQ(writer.cmd("open 0 65536"), DB_OK);
        ASSERT_EQ(writer.cmd("put k private"), DB_OK);
        ASSERT_EQ(writer.cmd("del gone"), DB_OK);
        ASSERT_EQ(writer.cmd("close"), DB_OK);
        ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
        ASSERT_EQ(db_reader_refresh(f), DB_OK);
        EXPECT_EQ(get_value(f, "k"), "private");
        EXPECT_EQ(get_value(f, "gone"), kMissing);
        ASSERT_EQ(writer.cmd("put k shared2"), DB_OK);
        ASSERT_EQ(db_reader_refresh(f), DB_OK);
        EXPECT_EQ(get_value(f, "k"), "shared2");
        db_handle *late = open_follower(60000);
        EXPECT_EQ(get_value(late, "k"), "shared2");
        EXPECT_EQ(get_value(late, "gone"), kMissing);
    }
}

// Enough data to pass 80 % of the 64 MiB log: the writer switches files.
// A follower open across the switch, and one opened after it while the last
// writes sat only in the writer's memtable, both end at the writer's state.
TEST_F(FollowerTest, FollowersSurviveASwitchToAFreshLog) {
    WriterProcess writer(prefix_);
    ASSERT_EQ(writer.cmd("open 1 8388608"), DB_OK);
    db_handle *early = open_follower(60000);
    ASSERT_EQ(writer.cmd("put pre before-switch"), DB_OK);
    ASSERT_EQ(db_reader_refresh(early), DB_OK);
    const std::string log = prefix_ + ".wal.mmap";
    std::string header = dbtest::read_file(log).substr(0, 64);
    uint64_t start_pos = morva::get_u64(reinterpret_cast<const uint8_t *>(header.data()) + 16);

    // 60,000-byte values, about 140 per 8 MiB memtable: at the switch (near
    // put 895) the memtable holds the puts since about 840, which no sorted
    // table has yet and which stay there until the end of the test.
    constexpr int kPuts = 900;
    constexpr size_t kValue = 60000;
    ASSERT_EQ(writer.cmd("bulk " + std::to_string(kPuts) + " s " + std::to_string(kValue)), DB_OK);
    ASSERT_EQ(writer.cmd("put tail in-memtable"), DB_OK);
    header = dbtest::read_file(log).substr(0, 64);
    uint64_t end_pos = morva::get_u64(reinterpret_cast<const uint8_t *>(header.data()) + 16);
    EXPECT_LT(end_pos, start_pos + static_cast<uint64_t>(kPuts) * kValue);  // a switch happened
    EXPECT_FALSE(dbtest::file_exists(log + ".new"));

    db_handle *late = open_follower(60000);
    ASSERT_EQ(db_reader_refresh(early), DB_OK);
    for (db_handle *f : {early, late}) {
        EXPECT_EQ(get_value(f, "pre"), "before-switch");
        EXPECT_EQ(get_value(f, "tail"), "in-memtable");
        for (int i = 0; i < kPuts; i += 37) {
            ASSERT_EQ(get_value(f, "s" + std::to_string(i)), WriterProcess::bulk_value("s", i, kValue)) << i;
        }
        ASSERT_EQ(get_value(f, "s" + std::to_string(kPuts - 1)), WriterProcess::bulk_value("s", kPuts - 1, kValue));
    }
    ASSERT_EQ(writer.cmd("del pre"), DB_OK);
    ASSERT_EQ(db_reader_refresh(early), DB_OK);
    ASSERT_EQ(db_reader_refresh(late), DB_OK);
    EXPECT_EQ(get_value(early, "pre"), kMissing);
    EXPECT_EQ(get_value(late, "pre"), kMissing);
}

// A short file, a file that is not a log, and a log whose header and
// entries lie: the follower refuses or bounds them, and once a writer
// formats the file in place the follower picks up its entries.
TEST_F(FollowerTest, DamagedLogsNeverCrashAFollower) {
    WriterProcess writer(prefix_);  // forked before any follower thread exists
    const std::string log = prefix_ + ".wal.mmap";
    dbtest::write_file(log, "0123456789");
    db_handle *f = open_follower(60000);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(db_reader_refresh(f), DB_ERR_IO);
    dbtest::write_file(log, std::string(8192, 'x'));  // no magic: not followed
    EXPECT_EQ(db_reader_refresh(f), DB_ERR_IO);

    // A small "log" with the magic, a write position far past the file and
    // entries whose lengths overflow when added up.
    std::string bytes(8192, '\0');
    auto *b = reinterpret_cast<uint8_t *>(bytes.data());
    morva::put_u64(b, morva::kMappedLogMagic);
    morva::put_u32(b + 8, 1);
    morva::put_u64(b + 16, UINT64_MAX);
    morva::put_u64(b + 24, 8192 - 64);
    morva::put_u64(b + 64 + 17, 3);  // one sane delete of "abc"
    b[64 + 8] = 1;
    std::memcpy(b + 64 + 33, "abc", 3);
    morva::put_u64(b + 64 + 36 + 17, UINT64_MAX - 30);  // then a lying key length
    dbtest::write_file(log, bytes);
    EXPECT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(db_reader_refresh(f), DB_OK);

    // The writer finds the write position past its capacity and starts the
    // log afresh in the same file, extended to full size.
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    EXPECT_EQ(dbtest::file_size(log), 67112960);
    ASSERT_EQ(writer.cmd("put k v"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "k"), "v");
    ASSERT_EQ(writer.cmd("bulk 300 g 1000"), DB_OK);  // beyond the follower's first 8 KiB mapping
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "g299"), WriterProcess::bulk_value("g", 299, 1000));
}

// A writer that extends a short log in place keeps its entries; a follower
// that mapped the short file maps it again and reads on.
TEST_F(FollowerTest, AFollowerFollowsALogExtendedInPlace) {
    WriterProcess writer(prefix_);
    wal_mmap small;
    ASSERT_EQ(wal_mmap_open((prefix_ + ".wal.mmap").c_str(), 1, 4032, &small), 0);
    ASSERT_GT(wal_mmap_append(&small, 0, 0, 1, "early", 5, "e", 1), 0);
    wal_mmap_close(&small);
    db_handle *f = open_follower(60000);  // maps the 4 KiB file
    ASSERT_EQ(writer.cmd("open 1 65536"), DB_OK);
    ASSERT_EQ(writer.cmd("bulk 50 h 1000"), DB_OK);
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    EXPECT_EQ(get_value(f, "h49"), WriterProcess::bulk_value("h", 49, 1000));
    EXPECT_EQ(get_value(f, "early"), "e");
}

TEST_F(FollowerTest, RefreshArguments) {
    EXPECT_EQ(db_reader_refresh(nullptr), DB_ERR_INVALID);
    db_handle *out = nullptr;
    EXPECT_EQ(db_open_reader(nullptr, nullptr, &out), DB_ERR_INVALID);
    EXPECT_EQ(db_open_reader(prefix_.c_str(), nullptr, nullptr), DB_ERR_INVALID);
    db_handle *writer = nullptr;
    ASSERT_EQ(db_open(prefix_.c_str(), nullptr, &writer), DB_OK);
    EXPECT_EQ(db_reader_refresh(writer), DB_ERR_INVALID);  // a writer never refreshes from its own log
    EXPECT_EQ(db_close(writer), DB_OK);
}

// Writer and follower in one process, with host threads reading while the
// follower thread applies entries (a data-race check under TSan).
TEST_F(FollowerTest, SameProcessWriterAndBusyFollower) {
    db_options o = dbtest::options_with_memtable(8192);
    o.shared_mode = 1;
    db_handle *w = nullptr;
    ASSERT_EQ(db_open(prefix_.c_str(), &o, &w), DB_OK);
    const char *columns[] = {"v"};
    int32_t types[] = {COL_STRING};
    ASSERT_EQ(db_create_table(w, "t", columns, types, 1, nullptr), DB_OK);
    db_handle *f = open_follower(1);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            get_value(f, "k" + std::to_string(std::rand() % 500));
            db_reader_refresh(f);
        }
    });
    for (int i = 0; i < 600; ++i) {
        std::string key = "k" + std::to_string(i % 500);
        std::string value = "v" + std::to_string(i);
        // EXPECT, not ASSERT: the reader thread must be joined either way.
        EXPECT_EQ(db_put(w, "t", key.data(), key.size(), value.data(), value.size()), DB_OK);
        if (i % 7 == 0) {
            EXPECT_EQ(db_delete(w, "t", key.data(), key.size()), DB_OK);
        }
    }
    done = true;
    reader.join();
    ASSERT_EQ(db_reader_refresh(f), DB_OK);
    for (int k = 0; k < 500; ++k) {
        std::string key = "k" + std::to_string(k);
        const void *wv, *fv;
        uint64_t wl, fl;
        int32_t ws = db_get(w, "t", key.data(), key.size(), &wv, &wl);
        int32_t fs = db_get(f, "t", key.data(), key.size(), &fv, &fl);
        ASSERT_EQ(ws, fs) << key;
        if (ws == DB_OK) {
            ASSERT_EQ(std::string(static_cast<const char *>(wv), wl), std::string(static_cast<const char *>(fv), fl));
        }
    }
    EXPECT_EQ(db_close(w), DB_OK);
}

}  // namespace
