// A writer in shared mode publishes every put and delete into P.wal.mmap
// under the write-ahead log's sequence numbers and keeps P.shared.
#include <cstring>
#include <string>

#include "db/db_support.h"

using namespace dbtest;

namespace {

struct Published {
    uint64_t sequence;
    int32_t is_delete;
    uint64_t table_id;
    std::string key, value;
};

std::vector<Published> read_published(const std::string &path) {
    std::vector<Published> out;
    wal_mmap log;
    if (wal_mmap_open(path.c_str(), 0, 0, &log) != 0) return out;
    Published p;
    const uint8_t *k, *v;
    uint64_t kl, vl;
    while (wal_mmap_read_entry(&log, &p.sequence, &p.is_delete, &p.table_id, &k, &kl, &v, &vl) == 0) {
        p.key.assign(reinterpret_cast<const char *>(k), kl);
        p.value = v ? std::string(reinterpret_cast<const char *>(v), vl) : std::string();
        out.push_back(p);
    }
    wal_mmap_close(&log);
    return out;
}

class SharedMode : public DbFixture {
protected:
    db_options shared_options() {
        db_options o = options_with_memtable(65536);
        o.shared_mode = 1;
        return o;
    }
};

TEST_F(SharedMode, WritesArePublishedUnderTheLogSequence) {
    db_options o = shared_options();
    reopen(&o);
    EXPECT_EQ(db_->options.shared_mode, 1);
    EXPECT_EQ(file_size(file(".wal.mmap")), 67112960);
    std::string meta = read_file(file(".shared"));
    ASSERT_EQ(meta.size(), 24u);
    EXPECT_EQ(meta.substr(0, 8), std::string("\0BDAVROM", 8));

    uint64_t base = wal_last_seq(db_->log);
    ASSERT_EQ(put("k1", "v1"), DB_OK);
    ASSERT_EQ(del("k2"), DB_OK);
    ASSERT_EQ(db_put(db_, "nope", "x", 1, "y", 1), DB_ERR_NOT_FOUND);
    auto entries = read_published(file(".wal.mmap"));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].sequence, base + 1);
    EXPECT_EQ(entries[0].is_delete, 0);
    EXPECT_EQ(entries[0].table_id, 1u);
    EXPECT_EQ(entries[0].key, "k1");
    EXPECT_EQ(entries[0].value, "v1");
    EXPECT_EQ(entries[1].sequence, base + 2);
    EXPECT_EQ(entries[1].is_delete, 1);
    EXPECT_EQ(entries[1].key, "k2");

    // A reopened writer keeps the published entries and continues after them.
    reopen(&o);
    ASSERT_EQ(put("k3", "v3"), DB_OK);
    entries = read_published(file(".wal.mmap"));
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].key, "k3");
    EXPECT_GT(entries[2].sequence, entries[1].sequence);
}

TEST_F(SharedMode, OffByDefaultPublishesNothing) {
    ASSERT_EQ(put("k", "v"), DB_OK);
    EXPECT_FALSE(file_exists(file(".wal.mmap")));
    EXPECT_FALSE(file_exists(file(".shared")));
}

}  // namespace
