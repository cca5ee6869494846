// Many threads on one handle: writers, readers, table creation and the
// background compaction running together.
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "db/background.h"
#include "db/db_support.h"

using namespace dbtest;

namespace {

class Concurrency : public DbFixture {};

TEST_F(Concurrency, WritersReadersAndCompactionTogether) {
    db_options small = options_with_memtable(2048);
    reopen(&small);
    // Stable keys live in tables before the threads start and are never
    // rewritten, so their value pointers stay valid while others write.
    for (int i = 0; i < 200; ++i) ASSERT_EQ(put("stable" + std::to_string(i), "s" + std::to_string(i)), DB_OK);
    reopen(&small);

    constexpr int kWriters = 4, kReaders = 3, kOps = 1500;
    std::atomic<bool> stop{false};
    std::atomic<int> reader_errors{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWriters; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kOps; ++i) {
                std::string key = "w" + std::to_string(t) + "_" + std::to_string(i % 300);
                std::string value = "v" + std::to_string(i);
                if (i % 5 == 4) {
                    EXPECT_EQ(db_delete(db_, "t", key.data(), key.size()), DB_OK);
                } else {
                    EXPECT_EQ(db_put(db_, "t", key.data(), key.size(), value.data(), value.size()), DB_OK);
                }
            }
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            int i = r;
            while (!stop.load()) {
                std::string key = "stable" + std::to_string(i++ % 200);
                const void *v = nullptr;
                uint64_t len = 0;
                if (db_get(db_, "t", key.data(), key.size(), &v, &len) != DB_OK ||
                    std::string(static_cast<const char *>(v), len) != "s" + key.substr(6)) {
                    reader_errors++;
                }
                // Lookups of keys being written only check the status.
                std::string hot = "w0_" + std::to_string(i % 300);
                int32_t st = db_get(db_, "t", hot.data(), hot.size(), &v, &len);
                if (st != DB_OK && st != DB_ERR_NOT_FOUND) reader_errors++;
            }
        });
    }
    threads.emplace_back([&] {
        const char *cols[] = {"c"};
        int32_t types[] = {4};
        for (int i = 0; i < 20 && !stop.load(); ++i) {
            std::string name = "side" + std::to_string(i);
            EXPECT_EQ(db_create_table(db_, name.c_str(), cols, types, 1, nullptr), DB_OK);
            morva::compact_once(db_);
        }
    });
    for (int t = 0; t < kWriters; ++t) threads[t].join();
    stop.store(true);
    for (size_t t = kWriters; t < threads.size(); ++t) threads[t].join();
    EXPECT_EQ(reader_errors.load(), 0);

    // Each writer's keys end at the value of their last operation.
    auto expected = [](int t, int k) -> std::string {
        (void)t;
        int last = -1;
        for (int i = 0; i < kOps; ++i)
            if (i % 300 == k) last = i;
        return last % 5 == 4 ? std::string(kMissing) : "v" + std::to_string(last);
    };
    for (int round = 0; round < 2; ++round) {
        for (int t = 0; t < kWriters; ++t)
            for (int k = 0; k < 300; ++k)
                ASSERT_EQ(get("w" + std::to_string(t) + "_" + std::to_string(k)), expected(t, k));
        for (int i = 0; i < 200; ++i) ASSERT_EQ(get("stable" + std::to_string(i)), "s" + std::to_string(i));
        reopen(&small);
    }
}

}  // namespace

namespace {

// A value handed out by db_get must stay readable while other threads
// overwrite the same key and flush memtables: the caller's copy is its own.
TEST_F(Concurrency, GetValuesSurviveConcurrentOverwritesAndFlushes) {
    db_options small = options_with_memtable(1024);
    reopen(&small);
    const std::string key = "hot";
    const std::string first(200, 'a');
    ASSERT_EQ(put(key, first), DB_OK);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread writer([&] {
        for (int i = 0; i < 3000; ++i) {
            // Every value is 200 copies of one letter, so a reader can tell a
            // whole value from bytes freed or rewritten under it.
            std::string value(200, static_cast<char>('a' + i % 26));
            EXPECT_EQ(db_put(db_, "t", key.data(), key.size(), value.data(), value.size()), DB_OK);
        }
        stop.store(true);
    });
    std::thread reader([&] {
        while (!stop.load()) {
            const void *v = nullptr;
            uint64_t len = 0;
            if (db_get(db_, "t", key.data(), key.size(), &v, &len) != DB_OK || len != 200) {
                torn++;
                continue;
            }
            const char *bytes = static_cast<const char *>(v);
            std::this_thread::yield();  // give the writer time to free what we hold
            for (uint64_t i = 1; i < len; ++i) {
                if (bytes[i] != bytes[0]) {
                    torn++;
                    break;
                }
            }
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace

namespace {

// A writer must finish a fixed number of puts while several threads call
// db_get in a tight loop: readers may not starve it of the memtable and
// store locks (no time limit: the test only has to end). Every answer the
// readers get must be right: a key loaded before the threads start keeps
// its value, and a key being written reads as absent or as one of the
// values the writer gives it.
TEST_F(Concurrency, WriterFinishesPutsWhileReadersSpinOnGet) {
    db_options small = options_with_memtable(8192);
    reopen(&small);
    constexpr int kStable = 300, kHotKeys = 400, kPuts = 6000, kReaders = 3;
    for (int i = 0; i < kStable; ++i) ASSERT_EQ(put("stable" + std::to_string(i), "s" + std::to_string(i)), DB_OK);
    reopen(&small);

    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::atomic<uint64_t> gets{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&, r] {
            uint64_t n = 0;
            for (int i = r; !done.load(std::memory_order_relaxed); ++i, ++n) {
                const void *v = nullptr;
                uint64_t len = 0;
                std::string stable = "stable" + std::to_string(i % kStable);
                if (db_get(db_, "t", stable.data(), stable.size(), &v, &len) != DB_OK ||
                    std::string(static_cast<const char *>(v), len) != "s" + std::to_string(i % kStable))
                    wrong++;
                std::string hot = "hot" + std::to_string(i % kHotKeys);
                int32_t st = db_get(db_, "t", hot.data(), hot.size(), &v, &len);
                if (st == DB_OK) {
                    if (std::string(static_cast<const char *>(v), len).rfind(hot + "=", 0) != 0) wrong++;
                } else if (st != DB_ERR_NOT_FOUND) {
                    wrong++;
                }
            }
            gets += n;
        });
    }
    for (int i = 0; i < kPuts; ++i) {
        std::string key = "hot" + std::to_string(i % kHotKeys);
        std::string value = key + "=" + std::to_string(i);
        ASSERT_EQ(db_put(db_, "t", key.data(), key.size(), value.data(), value.size()), DB_OK);
    }
    done.store(true);
    for (std::thread &t : readers) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(gets.load(), 0u);
    for (int k = 0; k < kHotKeys; ++k) {
        int last = kPuts - kHotKeys + k;
        ASSERT_EQ(get("hot" + std::to_string(k)), "hot" + std::to_string(k) + "=" + std::to_string(last));
    }
}

}  // namespace
