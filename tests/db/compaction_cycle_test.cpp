// Flushes and compactions across many reopen cycles: every key must read its
// newest value and deleted keys must stay deleted.
#include <chrono>
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
    // Files of the database at one level.
    std::vector<std::string> level_files(int level) {
        std::vector<std::string> out;
        std::string stem = "db.sst." + std::to_string(level) + ".";
        for (const auto &name : list_files(dir_.path()))
            if (name.compare(0, stem.size(), stem) == 0) out.push_back(name);
        return out;
    }
    // Writes until `count` more level-0 tables exist.
    void write_level0_tables(int count, const std::string &tag, std::map<std::string, std::string> *model) {
        size_t target = level_files(0).size() + static_cast<size_t>(count);
        for (int i = 0; level_files(0).size() < target; ++i) {
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
    reopen(&small);
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
    reopen(&small);
    expect_model(model);
}

TEST_F(Compaction, LeftoverTemporaryFilesAreNotTables) {
    db_options small = options_with_memtable(400);
    reopen(&small);
    write_level0_tables(3, "a", nullptr);
    write_file(file(".sst.0.99.tmp"), "partial");
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    EXPECT_EQ(level_files(1).size(), 0u);
    EXPECT_TRUE(file_exists(file(".sst.0.99.tmp")));
    // The leftover number does not make later tables skip or reuse numbers
    // of real tables.
    reopen(&small);
    write_level0_tables(1, "b", nullptr);
    EXPECT_TRUE(file_exists(file(".sst.0.4")));
}

TEST_F(Compaction, TombstonesSurviveWhileOlderTablesBelowMayHoldTheKey) {
    db_options small = options_with_memtable(400);
    reopen(&small);
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
    reopen(&small);
    EXPECT_EQ(get("victim"), kMissing);
    expect_model(model);
}

TEST_F(Compaction, DropsTombstonesWhenNothingOlderRemains) {
    db_options small = options_with_memtable(400);
    reopen(&small);
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
    reopen(&small);
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
            if (op % 97 == 0) ASSERT_EQ(morva::compact_once(db_), DB_OK);
        }
        reopen(&small);
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
    reopen(&big);
    std::map<std::string, std::string> model;
    std::string payload(50000, 'p');
    // About 12 MiB: level 1 outgrows its 10 MiB limit.
    for (int round = 0; round < 5 && level_files(2).empty(); ++round) {
        for (int i = 0; i < 100; ++i) {
            std::string k = "big" + std::to_string(i);
            std::string v = payload + std::to_string(round);
            ASSERT_EQ(put(k, v), DB_OK);
            model[k] = v;
            if (level_files(0).size() >= 4) ASSERT_EQ(morva::compact_once(db_), DB_OK);
        }
        ASSERT_EQ(put("small", "r" + std::to_string(round)), DB_OK);
        model["small"] = "r" + std::to_string(round);
        while (level_files(0).size() >= 4 || level_files(1).size() > 0) {
            auto before = list_files(dir_.path());
            ASSERT_EQ(morva::compact_once(db_), DB_OK);
            if (list_files(dir_.path()) == before) break;
        }
    }
    ASSERT_FALSE(level_files(2).empty());
    ASSERT_EQ(del("big7"), DB_OK);
    model.erase("big7");
    ASSERT_EQ(put("big8", "fresh"), DB_OK);
    model["big8"] = "fresh";
    reopen(&big);
    expect_model(model);
    EXPECT_EQ(get("big7"), kMissing);
    write_level0_tables(4, "z", &model);
    ASSERT_EQ(morva::compact_once(db_), DB_OK);
    reopen(&big);
    expect_model(model);
    EXPECT_EQ(get("big7"), kMissing);
}

TEST_F(Compaction, BackgroundThreadCompactsWithinOneCycle) {
    db_options small = options_with_memtable(400);
    reopen(&small);
    std::map<std::string, std::string> model;
    write_level0_tables(4, "a", &model);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (level_files(1).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(level_files(1).size(), 1u);
    EXPECT_TRUE(level_files(0).empty());
    expect_model(model);
}

}  // namespace
