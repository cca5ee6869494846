// Listing the table files of a path prefix.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "morvadb.h"
#include "sstable/table_dir.h"
#include "sstable/table_fixture.h"

using namespace sstable_test;

namespace {

std::vector<std::string> list(const std::string &prefix, int max_paths, uint64_t *max_seq, int *count) {
    std::vector<char *> raw(static_cast<size_t>(max_paths), nullptr);
    *count = sstable_scan_dir(prefix.c_str(), raw.data(), max_paths, max_seq);
    std::vector<std::string> out;
    for (int i = 0; i < *count; i++) {
        out.push_back(raw[static_cast<size_t>(i)]);
        std::free(raw[static_cast<size_t>(i)]);
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(TableDir, ListsOnlyTheTablesOfThePrefix) {
    TempDir dir;
    std::string data = dir.file("data");
    ASSERT_EQ(::mkdir(data.c_str(), 0755), 0);
    for (const char *name : {"db.sst.0.5", "db.sst.1.9", "db.sst.0.12.tmp", "db.sst.tmp", "db.seq", "db2.sst.0.1",
                             "other.sst.0.1", "db.wal"})
        write_file(data + "/" + name, {1});
    ASSERT_EQ(::mkdir((data + "/db.sst.3.77").c_str(), 0755), 0);  // directories are passed over

    uint64_t max_seq = 0;
    int count = 0;
    std::vector<std::string> got = list(data + "/db", 16, &max_seq, &count);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(got, (std::vector<std::string>{data + "/db.sst.0.12.tmp", data + "/db.sst.0.5", data + "/db.sst.1.9"}));
    EXPECT_EQ(max_seq, 12u);

    // max_paths bounds the listing.
    got = list(data + "/db", 2, &max_seq, &count);
    EXPECT_EQ(count, 2);

    // A prefix without a slash lists the current directory with bare names.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(data.c_str()), 0);
    got = list("db", 16, nullptr, &count);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(got, (std::vector<std::string>{"db.sst.0.12.tmp", "db.sst.0.5", "db.sst.1.9"}));

    // A directory that cannot be opened lists nothing and leaves the maximum alone.
    max_seq = 99;
    got = list(dir.file("absent/db"), 4, &max_seq, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(max_seq, 99u);

    char *slot[1];
    EXPECT_EQ(sstable_scan_dir(nullptr, slot, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(sstable_scan_dir("db", nullptr, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(sstable_scan_dir("db", slot, 0, nullptr), DB_ERR_INVALID);
}

TEST(TableDir, NameParsing) {
    int64_t level = 0;
    const char *rest = nullptr;
    EXPECT_TRUE(morva::parse_table_name("db", "db.sst.3.42", &level, &rest));
    EXPECT_EQ(level, 3);
    EXPECT_STREQ(rest, "42");
    EXPECT_TRUE(morva::parse_table_name("db", "db.sst.-1.4", &level, &rest));
    EXPECT_EQ(level, -1);
    EXPECT_FALSE(morva::parse_table_name("db", "db.sst.x.4", &level, &rest));
    EXPECT_FALSE(morva::parse_table_name("db", "db.sst.3", &level, &rest));
    EXPECT_FALSE(morva::parse_table_name("db", "db2.sst.3.1", &level, &rest));
    EXPECT_TRUE(morva::parse_table_name("db", "db.sst.99999999999999999999.1", &level, &rest));
    EXPECT_EQ(level, INT64_MAX);  // saturates instead of wrapping
    EXPECT_EQ(morva::leading_decimal("18446744073709551615x"), INT64_MAX);
    EXPECT_EQ(morva::leading_decimal("tmp"), 0);
    EXPECT_TRUE(morva::is_temporary_name("db.sst.0.1.tmp"));
    EXPECT_FALSE(morva::is_temporary_name("tmp"));
}

}  // namespace
