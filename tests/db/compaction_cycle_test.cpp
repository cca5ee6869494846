// Flushes and compactions across many reopen cycles: every key must read its
// newest value and deleted keys must stay deleted.
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "db/background.h"
#include "db/db_support.h"

using namespace dbtest;

namespace {

class Compaction : public DbFixture {
protected:
    // These tests drive compaction step by step; the background thread
    // would otherwise compact on its own schedule in the middle of them.
    void open_manual(const db_options *options) {
        reopen(options);
        morva::stop_background(db_);
    }
    uint64_t last_table_number() {
        std::string seq = read_file(file(".seq"));
        uint64_t n = 0;
        if (seq.size() == 8) std::memcpy(&n, seq.data(), 8);
        return n;
    }
    // Files of the database at one level.
    std::vector<std::string> level_files(int level) {
        std::vector<std::string> out;
        std::string stem = "db.sst." + std::to_string(level) + ".";
        for (const auto &name : list_files(dir_.path()))
            if (name.compare(0, stem.size(), stem) == 0) out.push_back(name);
        return out;
    }
    // Writes until `count` more level-0 tables were flushed.
    void write_level0_tables(int count, const std::string &tag, std::map<std::string, std::string> *model) {
        uint64_t target = last_table_number() + static_cast<uint64_t>(count);
        for (int i = 0; last_table_number() < target; ++i) {
            std::string k = tag + std::to_string(i), v = tag + "-value-" + std::to_string(i);
            ASSERT_EQ(put(k, v), DB_OK);
            if (model) (*model)[k] = v;
        }
    }
    void expect_model(const std::map<std::string, std::string> &model) {
        for (const auto &[k, v] : model) ASSERT_EQ(get(k), v) << k;
    }
};

TEST_F(Compaction, FourLevelZeroTablesMergeIntoOneNamedByTheNewestInput) {
    db_options small = options_with_memtable(400);
    open_manual(&small);
    std::map<std::string, std::string> model;
    write_level0_tables(3, "a", &model);
    EXPECT_EQ(morva::compact_once(db_), DB_OK);
    EXPECT_EQ(level_files(1).size(), 0u);  // three files are not enough
    write_level0_tables(1, "b", &model);
    auto inputs = level_files(0);
    ASSERT_EQ(inputs.size(), 4u);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    EXPECT_TRUE(level_files(0).empty());
    ASSERT_EQ(level_files(1).size(), 1u);
    EXPECT_EQ(level_files(1)[0], "db.sst.1.4");
    expect_model(model);
    open_manual(&small);
    expect_model(model);
}

TEST_F(Compaction, LeftoverTemporaryFilesAreNotTables) {
    db_options small = options_with_memtable(400);
    open_manual(&small);
    write_level0_tables(3, "a", nullptr);
    write_file(file(".sst.0.99.tmp"), "partial");
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    EXPECT_EQ(level_files(1).size(), 0u);
    EXPECT_TRUE(file_exists(file(".sst.0.99.tmp")));
    // The leftover number does not make later tables skip or reuse numbers
    // of real tables.
    open_manual(&small);
    write_level0_tables(1, "b", nullptr);
    EXPECT_TRUE(file_exists(file(".sst.0.4")));
}

TEST_F(Compaction, TombstonesSurviveWhileOlderTablesBelowMayHoldTheKey) {
    db_options small = options_with_memtable(400);
    open_manual(&small);
    std::map<std::string, std::string> model;
    ASSERT_EQ(put("victim", "old"), DB_OK);
    write_level0_tables(4, "a", &model);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    ASSERT_EQ(level_files(1).size(), 1u);
    ASSERT_EQ(del("victim"), DB_OK);
    write_level0_tables(4, "b", &model);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    ASSERT_EQ(level_files(1).size(), 2u);
    EXPECT_EQ(get("victim"), kMissing);
    open_manual(&small);
    EXPECT_EQ(get("victim"), kMissing);
    expect_model(model);
}

TEST_F(Compaction, DropsTombstonesWhenNothingOlderRemains) {
    db_options small = options_with_memtable(400);
    open_manual(&small);
    ASSERT_EQ(put("gone", "v"), DB_OK);
    ASSERT_EQ(del("gone"), DB_OK);
    write_level0_tables(4, "a", nullptr);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    ASSERT_EQ(level_files(1).size(), 1u);
    for (const auto &e : read_table(dir_.path() + "/" + level_files(1)[0])) EXPECT_NE(e.key, "gone");
    EXPECT_EQ(get("gone"), kMissing);
}

TEST_F(Compaction, NewestValueWinsAcrossManyReopenCycles) {
    db_options small = options_with_memtable(600);
    open_manual(&small);
    std::mt19937 rng(12345);
    std::map<std::string, std::string> model;
    for (int cycle = 0; cycle < 12; ++cycle) {
        for (int op = 0; op < 400; ++op) {
            std::string key = "key" + std::to_string(rng() % 150);
            if (rng() % 4 == 0) {
                ASSERT_EQ(del(key), DB_OK);
                model.erase(key);
            } else {
                std::string value = "c" + std::to_string(cycle) + "o" + std::to_string(op);
                ASSERT_EQ(put(key, value), DB_OK);
                model[key] = value;
            }
            if (op % 97 == 0) {
                ASSERT_EQ(morva::compact_once(db_), DB_OK);
            }
        }
        open_manual(&small);
        for (int k = 0; k < 150; ++k) {
            std::string key = "key" + std::to_string(k);
            auto it = model.find(key);
            ASSERT_EQ(get(key), it == model.end() ? std::string(kMissing) : it->second)
                << "cycle " << cycle << " " << key;
        }
    }
    EXPECT_GE(level_files(1).size(), 2u);
}

TEST_F(Compaction, DeeperLevelsKeepNewestValuesAndDeletes) {
    db_options big = options_with_memtable(1 << 20);
    open_manual(&big);
    std::map<std::string, std::string> model;
    // About 12 MiB of values: level 1 outgrows its 10 MiB limit and is merged
    // into level 2.
    std::string payload(60000, 'p');
    for (int i = 0; i < 260; ++i) {
        std::string k = "big" + std::to_string(i % 180), v = payload + std::to_string(i);
        ASSERT_EQ(put(k, v), DB_OK);
        model[k] = v;
        if (level_files(0).size() >= 4) {
            ASSERT_EQ(morva::compact_once(db_), DB_OK);
        }
    }
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    ASSERT_FALSE(level_files(2).empty());
    ASSERT_EQ(del("big7"), DB_OK);
    model.erase("big7");
    ASSERT_EQ(put("big8", "fresh"), DB_OK);
    model["big8"] = "fresh";
    open_manual(&big);
    expect_model(model);
    EXPECT_EQ(get("big7"), kMissing);
    // The tombstone of big7 now reaches level 1 above the old value in level 2.
    write_level0_tables(4, "z", &model);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    open_manual(&big);
    expect_model(model);
    EXPECT_EQ(get("big7"), kMissing);
}

TEST_F(Compaction, BackgroundThreadCompactsWithinOneCycle) {
    db_options small = options_with_memtable(400);
    reopen(&small);
    std::map<std::string, std::string> model;
    write_level0_tables(4, "a", &model);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    // The output appears before the inputs are deleted.
    while ((level_files(1).empty() || !level_files(0).empty()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(level_files(1).size(), 1u);
    EXPECT_TRUE(level_files(0).empty());
    expect_model(model);
}

}  // namespace
