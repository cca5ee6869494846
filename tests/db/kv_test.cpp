// Put, get and delete through the C interface, and the files a flush leaves.
#include <cstring>
#include <string>

#include "db/db_support.h"

using namespace dbtest;

namespace {

class KeyValue : public DbFixture {};

TEST_F(KeyValue, PutGetDeleteShareOneKeySpaceAcrossTables) {
    const char *cols[] = {"a"};
    int32_t types[] = {4};
    ASSERT_EQ(db_create_table(db_, "other", cols, types, 1, nullptr), DB_OK);

    ASSERT_EQ(put("alpha", "one"), DB_OK);
    EXPECT_EQ(get("alpha"), "one");
    const void *v = nullptr;
    uint64_t len = 0;
    ASSERT_EQ(db_get(db_, "other", "alpha", 5, &v, &len), DB_OK);
    EXPECT_EQ(std::string(static_cast<const char *>(v), len), "one");

    ASSERT_EQ(put("alpha", "two"), DB_OK);
    EXPECT_EQ(get("alpha"), "two");
    ASSERT_EQ(del("alpha"), DB_OK);
    EXPECT_EQ(get("alpha"), kMissing);
    EXPECT_EQ(db_last_error(db_), DB_ERR_NOT_FOUND);
    // Deleting a key that never existed still succeeds.
    EXPECT_EQ(del("never"), DB_OK);
    EXPECT_EQ(get("never"), kMissing);
}

TEST_F(KeyValue, EmptyKeyAndEmptyValueAreStored) {
    ASSERT_EQ(db_put(db_, "t", "", 0, "x", 1), DB_OK);
    ASSERT_EQ(db_put(db_, "t", "e", 1, nullptr, 0), DB_OK);
    EXPECT_EQ(get(""), "x");
    EXPECT_EQ(get("e"), "");
    reopen();
    EXPECT_EQ(get(""), "x");
    EXPECT_EQ(get("e"), "");
}

TEST_F(KeyValue, ArgumentErrorsAreNotStoredAsLastError) {
    const void *v = nullptr;
    uint64_t len = 0;
    ASSERT_EQ(put("k", "v"), DB_OK);
    EXPECT_EQ(db_get(db_, "t", "k", 1, nullptr, &len), DB_ERR_INVALID);
    EXPECT_EQ(db_get(db_, "t", "k", 1, &v, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_get(db_, "t", nullptr, 1, &v, &len), DB_ERR_INVALID);
    EXPECT_EQ(db_put(db_, nullptr, "k", 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(db_put(db_, "t", "k", 1, nullptr, 3), DB_ERR_INVALID);
    EXPECT_EQ(db_delete(db_, "t", nullptr, 0), DB_ERR_INVALID);
    EXPECT_EQ(db_last_error(db_), DB_OK);
    EXPECT_EQ(db_put(nullptr, "t", "k", 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(db_get(nullptr, "t", "k", 1, &v, &len), DB_ERR_INVALID);
    EXPECT_EQ(db_delete(nullptr, "t", "k", 1), DB_ERR_INVALID);
    EXPECT_EQ(db_last_error(nullptr), DB_ERR_INVALID);
}

TEST_F(KeyValue, UnknownTableWritesNothingToTheLog) {
    ASSERT_EQ(db_put(db_, "t", "k", 1, "v", 1), DB_OK);
    reopen();  // the put above is now in a table and the log is empty
    int64_t before = file_size(file(".wal"));
    EXPECT_EQ(db_put(db_, "nope", "k", 1, "v", 1), DB_ERR_NOT_FOUND);
    EXPECT_EQ(db_last_error(db_), DB_ERR_NOT_FOUND);
    EXPECT_EQ(db_delete(db_, "nope", "k", 1), DB_ERR_NOT_FOUND);
    const void *v;
    uint64_t len;
    EXPECT_EQ(db_get(db_, "nope", "k", 1, &v, &len), DB_ERR_NOT_FOUND);
    close();
    EXPECT_EQ(file_size(file(".wal")), before);
    open();
    EXPECT_EQ(get("k"), "v");
}

TEST_F(KeyValue, OversizedRecordFailsWithIoAndChangesNothing) {
    std::string big(65536 - 33, 'x');
    EXPECT_EQ(db_put(db_, "t", "k", 1, big.data(), big.size()), DB_ERR_IO);
    EXPECT_EQ(db_last_error(db_), DB_ERR_IO);
    EXPECT_EQ(get("k"), kMissing);
    std::string fits(65536 - 34, 'y');
    EXPECT_EQ(db_put(db_, "t", "k", 1, fits.data(), fits.size()), DB_OK);
    EXPECT_EQ(get("k"), fits);
}

TEST_F(KeyValue, DeleteHidesAnOlderValueAlreadyInATable) {
    db_options small = options_with_memtable(256);
    reopen(&small);
    ASSERT_EQ(put("victim", "old"), DB_OK);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(put("fill" + std::to_string(i), std::string(20, 'f')), DB_OK);
    ASSERT_TRUE(file_exists(file(".sst.0.1")));
    ASSERT_EQ(del("victim"), DB_OK);
    EXPECT_EQ(get("victim"), kMissing);
    reopen(&small);
    EXPECT_EQ(get("victim"), kMissing);
}

TEST_F(KeyValue, ZeroMemtableSizeWritesOneTablePerWrite) {
    db_options zero = options_with_memtable(0);
    reopen(&zero);
    uint64_t first = 0;
    {
        std::string seq = read_file(file(".seq"));
        if (seq.size() == 8) std::memcpy(&first, seq.data(), 8);
    }
    ASSERT_EQ(put("a", "1"), DB_OK);
    ASSERT_EQ(put("b", "2"), DB_OK);
    ASSERT_EQ(del("a"), DB_OK);
    std::string seq = read_file(file(".seq"));
    ASSERT_EQ(seq.size(), 8u);
    uint64_t last = 0;
    std::memcpy(&last, seq.data(), 8);
    EXPECT_EQ(last, first + 3);
    auto tomb = read_table(file(".sst.0." + std::to_string(last)));
    ASSERT_EQ(tomb.size(), 1u);
    EXPECT_EQ(tomb[0].key, "a");
    EXPECT_EQ(tomb[0].flags, 2);
    EXPECT_EQ(file_size(file(".wal")), 20);
    EXPECT_EQ(get("a"), kMissing);
    EXPECT_EQ(get("b"), "2");
}

TEST_F(KeyValue, FlushWritesNumberedLevelZeroTablesAndEmptiesTheLog) {
    db_options small = options_with_memtable(200);
    reopen(&small);
    // Nothing flushed yet: the catalog's creation wrote no table.
    EXPECT_FALSE(file_exists(file(".seq")));
    int i = 0;
    while (!file_exists(file(".sst.0.1"))) ASSERT_EQ(put("k" + std::to_string(i++), "value"), DB_OK);
    EXPECT_EQ(read_file(file(".seq")), std::string("\x01\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(file_size(file(".wal")), 20);
    auto entries = read_table(file(".sst.0.1"));
    ASSERT_EQ(static_cast<int>(entries.size()), i);
    for (const auto &e : entries) {
        EXPECT_EQ(e.flags, 1);
        EXPECT_EQ(e.value, "value");
    }
    // Numbering continues across a reopen.
    reopen(&small);
    int j = 0;
    while (!file_exists(file(".sst.0.2"))) ASSERT_EQ(put("m" + std::to_string(j++), "value"), DB_OK);
    EXPECT_FALSE(file_exists(file(".sst.0.1.tmp")));
    EXPECT_FALSE(file_exists(file(".sst.0.2.tmp")));
    EXPECT_EQ(get("k0"), "value");
    EXPECT_EQ(get("m0"), "value");
}

}  // namespace
