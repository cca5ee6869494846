// Table catalog: creation rules, the P.system file and reloading it.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "db/db_support.h"

using namespace dbtest;

namespace {

class Catalog : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = dir_.path() + "/db";
        ASSERT_EQ(db_open(prefix_.c_str(), nullptr, &db_), DB_OK);
    }
    void TearDown() override {
        if (db_) db_close(db_);
    }
    void reopen() {
        ASSERT_EQ(db_close(db_), DB_OK);
        db_ = nullptr;
        ASSERT_EQ(db_open(prefix_.c_str(), nullptr, &db_), DB_OK);
    }
    int32_t create(const std::string &name, std::vector<std::string> cols, std::vector<int32_t> types,
                   const char *key = nullptr) {
        std::vector<const char *> names;
        for (auto &c : cols) names.push_back(c.c_str());
        return db_create_table(db_, name.c_str(), names.data(), types.data(), static_cast<int32_t>(cols.size()), key);
    }

    TempDir dir_;
    std::string prefix_;
    db_handle *db_ = nullptr;
};

TEST_F(Catalog, FileHoldsCountThenOneEntryPerSlot) {
    ASSERT_EQ(create("users", {"id", "name"}, {1, 4}, "id"), DB_OK);
    auto entries = read_table(prefix_ + ".system");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].key, std::string("tables_count\0", 13));
    EXPECT_EQ(entries[0].value, std::string("1\0", 2));
    EXPECT_EQ(entries[1].key, std::string("table:0:users\0", 14));
    EXPECT_EQ(entries[1].value, std::string("2|0|1:id|4:name\0", 16));
    EXPECT_EQ(entries[1].flags, 1);
    EXPECT_FALSE(file_exists(prefix_ + ".system.tmp"));
}

TEST_F(Catalog, DuplicatesLimitsAndKeyColumns) {
    EXPECT_EQ(create("t", {"a"}, {0}), DB_OK);
    EXPECT_EQ(create("t", {"a"}, {0}), DB_ERR_EXISTS);
    EXPECT_EQ(db_last_error(db_), DB_ERR_EXISTS);
    EXPECT_EQ(db_->table_count, 1);
    EXPECT_EQ(create("k1", {"a", "b"}, {0, 0}, "zzz"), DB_OK);
    EXPECT_EQ(db_->tables[1].key_column, -1);
    EXPECT_EQ(create("k2", {"a", "b", "b"}, {0, 0, 0}, "b"), DB_OK);
    EXPECT_EQ(db_->tables[2].key_column, 1);
    for (int i = 3; i < 64; ++i) ASSERT_EQ(create("x" + std::to_string(i), {"c"}, {6}), DB_OK);
    EXPECT_EQ(create("overflow", {"c"}, {6}), DB_ERR_NOMEM);
    EXPECT_EQ(db_last_error(db_), DB_ERR_NOMEM);
    EXPECT_EQ(db_->table_count, 64);
}

TEST_F(Catalog, NamesAreCutTo63BytesBeforeComparison) {
    std::string long_name(70, 'n');
    ASSERT_EQ(create(long_name, {"a"}, {0}), DB_OK);
    EXPECT_EQ(std::string(db_->tables[0].name), std::string(63, 'n'));
    // Another name with the same first 63 bytes is the same table.
    EXPECT_EQ(create(std::string(63, 'n') + "different", {"a"}, {0}), DB_ERR_EXISTS);
    ASSERT_EQ(db_put(db_, std::string(63, 'n').c_str(), "k", 1, "v", 1), DB_OK);
    EXPECT_EQ(db_put(db_, long_name.c_str(), "k", 1, "v", 1), DB_ERR_NOT_FOUND);
    reopen();
    EXPECT_EQ(db_->table_count, 1);
    EXPECT_EQ(std::string(db_->tables[0].name), std::string(63, 'n'));
}

TEST_F(Catalog, RefusesWhatCouldNotComeBackWhole) {
    const char *one[] = {"a"};
    int32_t types[65] = {};
    EXPECT_EQ(db_create_table(db_, "t", one, types, 0, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_create_table(db_, "t", nullptr, types, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_create_table(db_, "t", one, nullptr, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_create_table(nullptr, "t", one, types, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(create("bar", {"a|b"}, {0}), DB_ERR_INVALID);
    EXPECT_EQ(create("empty", {""}, {0}), DB_ERR_INVALID);
    EXPECT_EQ(create("longcol", {std::string(256, 'c')}, {0}), DB_ERR_INVALID);
    EXPECT_EQ(create("okcol", {std::string(255, 'c')}, {0}), DB_OK);
    std::vector<std::string> many;
    std::vector<int32_t> many_types;
    for (int i = 0; i < 65; ++i) {
        many.push_back("c" + std::to_string(i));
        many_types.push_back(0);
    }
    EXPECT_EQ(create("wide", many, many_types), DB_ERR_INVALID);
    // 64 columns fit by count, but not in the 2,048-byte catalog entry.
    std::vector<std::string> fat;
    for (int i = 0; i < 64; ++i) fat.push_back(std::string(40, static_cast<char>('a' + i % 26)) + std::to_string(i));
    EXPECT_EQ(create("fat", fat, std::vector<int32_t>(64, 1)), DB_ERR_INVALID);
    many.pop_back();
    many_types.pop_back();
    EXPECT_EQ(create("wide", many, many_types), DB_OK);
    EXPECT_EQ(db_->table_count, 2);
    reopen();
    ASSERT_EQ(db_->table_count, 2);
    EXPECT_EQ(std::string(db_->tables[0].column_names[0]), std::string(255, 'c'));
    EXPECT_EQ(db_->tables[1].column_count, 64);
    EXPECT_EQ(std::string(db_->tables[1].column_names[63]), "c63");
}

TEST_F(Catalog, ReopenRestoresEveryTableInSlotOrder) {
    for (int i = 0; i < 15; ++i) {
        std::vector<std::string> cols;
        std::vector<int32_t> types;
        for (int c = 0; c <= i % 4; ++c) {
            cols.push_back("col" + std::to_string(c) + ":x");
            types.push_back((i + c) % 7);
        }
        std::string key = "col" + std::to_string(i % 4) + ":x";
        ASSERT_EQ(create("table" + std::to_string(i), cols, types, i % 3 ? key.c_str() : nullptr), DB_OK);
    }
    reopen();
    ASSERT_EQ(db_->table_count, 15);
    for (int i = 0; i < 15; ++i) {
        const table_schema &t = db_->tables[i];
        EXPECT_EQ(std::string(t.name), "table" + std::to_string(i));
        EXPECT_EQ(t.table_id, i + 1);
        ASSERT_EQ(t.column_count, i % 4 + 1);
        for (int c = 0; c <= i % 4; ++c) {
            EXPECT_EQ(std::string(t.column_names[c]), "col" + std::to_string(c) + ":x");
            EXPECT_EQ(t.column_types[c], (i + c) % 7);
        }
        EXPECT_EQ(t.key_column, i % 3 ? i % 4 : -1);
    }
}

TEST_F(Catalog, FailedCatalogWriteCreatesNothing) {
    ASSERT_EQ(create("first", {"a"}, {0}), DB_OK);
    std::string tmp = prefix_ + ".system.tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0755), 0);
    EXPECT_NE(create("second", {"a"}, {0}), DB_OK);
    EXPECT_EQ(db_->table_count, 1);
    ::rmdir(tmp.c_str());
    EXPECT_EQ(create("second", {"a"}, {0}), DB_OK);
    reopen();
    EXPECT_EQ(db_->table_count, 2);
}

TEST_F(Catalog, DamagedEntriesAreSkippedOrClamped) {
    ASSERT_EQ(db_close(db_), DB_OK);
    db_ = nullptr;
    // A hand-written catalog: a key column out of range, a column count that
    // overstates the columns present, an entry without a name separator.
    std::string final_path = prefix_ + ".system", temp = final_path + ".tmp";
    sstable_writer *w = sstable_writer_create(temp.c_str(), final_path.c_str(), 0);
    ASSERT_NE(w, nullptr);
    auto add = [&](const std::string &k, const std::string &v) {
        ASSERT_EQ(sstable_writer_add(w, k.c_str(), k.size() + 1, v.c_str(), v.size() + 1, 1), DB_OK);
    };
    add("tables_count", "3");
    add("table:0:a", "1|7|1:x");
    add("table:1:b", "1000000|0|2:y");
    add("tablenocolon", "1|0|1:z");
    add("table:2:c", "garbage");
    ASSERT_EQ(sstable_writer_finish(w), DB_OK);
    sstable_writer_destroy(w);
    ASSERT_EQ(db_open(prefix_.c_str(), nullptr, &db_), DB_OK);
    ASSERT_EQ(db_->table_count, 2);
    EXPECT_EQ(db_->tables[0].key_column, -1);
    EXPECT_EQ(db_->tables[1].column_count, 1);
    EXPECT_EQ(std::string(db_->tables[1].column_names[0]), "y");
    EXPECT_EQ(db_->tables[1].table_id, 2);
}

}  // namespace
