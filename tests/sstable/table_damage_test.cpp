// Damaged table files: truncations, flipped bytes and hostile header and
// index fields must be rejected or read safely, never read out of bounds
// (run under AddressSanitizer to make an overrun fail loudly). The merge's
// buffered stream must accept exactly the files a reader accepts and yield
// exactly the entries a scan yields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvadb.h"
#include "sstable/table_fixture.h"
#include "sstable/table_stream.h"
#include "util/coding.h"

using namespace sstable_test;
using morva::get_u64;
using morva::put_u32;
using morva::put_u64;

namespace {

std::vector<Entry> sample_entries() {
    std::vector<Entry> v;
    for (int i = 0; i < 80; i++) {
        Entry e{numbered_key(i), std::string(static_cast<size_t>(i % 9), static_cast<char>('a' + i % 26))};
        if (i % 11 == 0) e.flags = SSTABLE_FLAG_TOMBSTONE;
        v.push_back(e);
    }
    return v;
}

// Streams the table at path through the smallest buffer and checks the
// stream against a reader: it opens exactly when the reader does and
// yields the entries of a scan, in order.
void expect_stream_matches_scan(const std::string &path) {
    sstable_reader *r = sstable_reader_open(path.c_str());
    morva::TableStream stream;
    int32_t opened = stream.open(path, 0);
    EXPECT_EQ(opened == DB_OK, r != nullptr);
    if (r == nullptr) EXPECT_EQ(opened, DB_ERR_CORRUPT);
    std::vector<Entry> scanned;
    if (r != nullptr) {
        auto collect = [](const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags,
                          void *ctx) -> int {
            static_cast<std::vector<Entry> *>(ctx)->push_back(
                {std::string(static_cast<const char *>(key), key_len),
                 std::string(value ? static_cast<const char *>(value) : "", value_len), static_cast<uint8_t>(flags)});
            return 0;
        };
        sstable_reader_scan(r, collect, &scanned);
        sstable_reader_close(r);
    }
    std::vector<Entry> streamed;
    morva::TableEntry e;
    while (stream.next(&e)) {
        streamed.push_back({std::string(reinterpret_cast<const char *>(e.key), e.key_len),
                            std::string(reinterpret_cast<const char *>(e.value), e.value_len), e.flags});
    }
    ASSERT_EQ(streamed.size(), scanned.size());
    for (size_t i = 0; i < scanned.size(); i++) {
        EXPECT_EQ(streamed[i].key, scanned[i].key);
        EXPECT_EQ(streamed[i].value, scanned[i].value);
        EXPECT_EQ(streamed[i].flags, scanned[i].flags);
    }
}

// Opens path and, when it opens, looks up every sample key and some absent
// ones and scans it; the values handed out must lie inside the mapping.
void exercise(const std::string &path, const std::vector<Entry> &entries) {
    expect_stream_matches_scan(path);
    sstable_reader *r = sstable_reader_open(path.c_str());
    if (r == nullptr) return;
    for (const Entry &e : entries) {
        const void *value = nullptr;
        uint64_t len = 0;
        if (sstable_reader_get(r, e.key.data(), e.key.size(), &value, &len, nullptr) == DB_OK && len > 0) {
            const uint8_t *v = static_cast<const uint8_t *>(value);
            ASSERT_GE(v, r->map);
            ASSERT_LE(v + len, r->map + r->map_size);
        }
    }
    sstable_reader_get(r, "", 0, nullptr, nullptr, nullptr);
    sstable_reader_get(r, "zzzz", 4, nullptr, nullptr, nullptr);
    uint64_t total = 0;
    auto sum = [](const void *key, uint64_t key_len, const void *value, uint64_t value_len, int, void *ctx) -> int {
        // Touch the first and last byte of key and value.
        uint64_t *t = static_cast<uint64_t *>(ctx);
        if (key_len > 0) *t += static_cast<const uint8_t *>(key)[0] + static_cast<const uint8_t *>(key)[key_len - 1];
        if (value_len > 0)
            *t += static_cast<const uint8_t *>(value)[0] + static_cast<const uint8_t *>(value)[value_len - 1];
        return 0;
    };
    sstable_reader_scan(r, sum, &total);
    sstable_reader_close(r);
}

class TableDamage : public ::testing::Test {
protected:
    void SetUp() override {
        entries_ = sample_entries();
        path_ = dir_.file("t.sst");
        ASSERT_EQ(write_table(path_, entries_, 7), DB_OK);
        good_ = read_file(path_);
        index_offset_ = get_u64(&good_[24]);
        bloom_offset_ = get_u64(&good_[32]);
    }

    void check(const std::vector<uint8_t> &bytes) {
        write_file(path_, bytes);
        exercise(path_, entries_);
    }

    TempDir dir_;
    std::string path_;
    std::vector<Entry> entries_;
    std::vector<uint8_t> good_;
    uint64_t index_offset_ = 0;
    uint64_t bloom_offset_ = 0;
};

TEST_F(TableDamage, TruncatedAtManyOffsets) {
    for (size_t cut = 0; cut < good_.size(); cut += cut < bloom_offset_ + 32 ? 1 : 1021) {
        std::vector<uint8_t> bytes(good_.begin(), good_.begin() + static_cast<long>(cut));
        write_file(path_, bytes);
        sstable_reader *r = sstable_reader_open(path_.c_str());
        // Without the whole index block there is no table.
        if (cut < bloom_offset_) {
            EXPECT_EQ(r, nullptr) << cut;
        }
        sstable_reader_close(r);
        if (cut >= bloom_offset_) exercise(path_, entries_);
        else expect_stream_matches_scan(path_);
    }
}

TEST_F(TableDamage, FlippedBytesEverywhereBeforeTheBloomBlock) {
    for (size_t at = 0; at < bloom_offset_ + 16; at++) {
        for (uint8_t mask : {0x01, 0xFF}) {
            std::vector<uint8_t> bytes = good_;
            bytes[at] ^= mask;
            check(bytes);
        }
    }
}

TEST_F(TableDamage, HostileHeaderFields) {
    const uint64_t size = good_.size();
    const uint64_t hostile[] = {0, 1, 55, 56, index_offset_ - 1, index_offset_ + 1, size - 4, size - 1, size,
                                size + 1, UINT32_MAX, UINT64_MAX / 2, UINT64_MAX - 11, UINT64_MAX - 3, UINT64_MAX};
    for (size_t field : {8u, 16u, 24u, 32u}) {
        for (uint64_t v : hostile) {
            std::vector<uint8_t> bytes = good_;
            put_u64(&bytes[field], v);
            check(bytes);
        }
    }
    // Index count and index points pointing anywhere.
    for (uint32_t count : {0u, 1u, 3u, 4u, 1000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bytes = good_;
        put_u32(&bytes[index_offset_], count);
        check(bytes);
    }
    uint64_t first_point = index_offset_ + 4;
    for (uint64_t v : hostile) {
        std::vector<uint8_t> bytes = good_;
        put_u64(&bytes[first_point + 4 + entries_[0].key.size()], v);  // entry offset
        check(bytes);
        bytes = good_;
        put_u32(&bytes[first_point], static_cast<uint32_t>(v));  // key length
        check(bytes);
    }
    // Entry fields: key and value lengths running past the data.
    for (uint32_t len : {9u, 100u, 5000u, 1u << 20, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bytes = good_;
        put_u32(&bytes[56], len);
        check(bytes);
        bytes = good_;
        put_u32(&bytes[56 + 4 + entries_[0].key.size() + 1], len);
        check(bytes);
    }
    // A bloom block claiming more bits than the file holds.
    for (uint32_t bits : {0u, 64u, 655360u + 8u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bytes = good_;
        put_u32(&bytes[bloom_offset_], bits);
        check(bytes);
    }
}

// Entries up to several times the stream's buffer, each crossing a refill.
TEST(TableStream, EntriesLargerThanItsBuffer) {
    TempDir dir;
    std::vector<Entry> entries;
    for (int i = 0; i < 40; i++)
        entries.push_back({numbered_key(i), std::string(static_cast<size_t>(i * 397 % 13000), static_cast<char>('a' + i))});
    std::string path = dir.file("big.sst");
    ASSERT_EQ(write_table(path, entries, 3), DB_OK);
    expect_stream_matches_scan(path);
}

}  // namespace
