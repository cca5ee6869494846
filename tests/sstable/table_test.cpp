// Sorted tables: the bytes a writer produces, lookups, scans and the
// writer's life cycle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "morvadb.h"
#include "sstable/table_fixture.h"
#include "util/coding.h"
#include "util/crc32.h"

using namespace sstable_test;
using morva::get_u32;
using morva::get_u64;

namespace {

std::vector<Entry> numbered(int n) {
    std::vector<Entry> v;
    for (int i = 0; i < n; i++) v.push_back({numbered_key(i), "value-" + std::to_string(i)});
    return v;
}

TEST(TableFormat, EmptyTableIs64Bytes) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    ASSERT_EQ(write_table(path, {}, 9), DB_OK);
    EXPECT_FALSE(file_exists(path + ".tmp"));
    std::vector<uint8_t> b = read_file(path);
    ASSERT_EQ(b.size(), 64u);
    EXPECT_EQ(b[0], 0x54);
    EXPECT_EQ(b[1], 0x4E);
    EXPECT_EQ(b[2], 0x53);
    EXPECT_EQ(b[3], 0x4D);
    EXPECT_EQ(get_u32(&b[4]), 2u);
    EXPECT_EQ(get_u64(&b[8]), 0u);    // entries
    EXPECT_EQ(get_u64(&b[16]), 0u);   // data size
    EXPECT_EQ(get_u64(&b[24]), 56u);  // index offset
    EXPECT_EQ(get_u64(&b[32]), 0u);   // no bloom block
    EXPECT_EQ(get_u64(&b[40]), 9u);
    EXPECT_GT(get_u64(&b[48]), 1600000000u);
    EXPECT_EQ(get_u32(&b[56]), 0u);  // index count
    EXPECT_EQ(get_u32(&b[60]), morva::crc32(&b[56], 4));

    sstable_reader *r = sstable_reader_open(path.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(sstable_reader_crc_ok(r), 1);
    EXPECT_EQ(sstable_reader_num_entries(r), 0u);
    EXPECT_EQ(sstable_reader_sequence(r), 9u);
    EXPECT_EQ(sstable_reader_get(r, "a", 1, nullptr, nullptr, nullptr), DB_ERR_NOT_FOUND);
    EXPECT_TRUE(scan_table(path).empty());
    sstable_reader_close(r);
}

TEST(TableFormat, EntryIndexBloomAndCrcBytes) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    std::vector<Entry> entries = {{"ab", "xyz"}, {"b", "", SSTABLE_FLAG_TOMBSTONE}};
    ASSERT_EQ(write_table(path, entries, 5), DB_OK);
    std::vector<uint8_t> b = read_file(path);
    // Entries: (4 + 2 + 1 + 4 + 3) + (4 + 1 + 1 + 4 + 0) = 24 bytes.
    EXPECT_EQ(get_u64(&b[8]), 2u);
    EXPECT_EQ(get_u64(&b[16]), 24u);
    uint64_t index_offset = get_u64(&b[24]);
    EXPECT_EQ(index_offset, 80u);
    const uint8_t first[] = {2, 0, 0, 0, 'a', 'b', 1, 3, 0, 0, 0, 'x', 'y', 'z'};
    EXPECT_EQ(0, memcmp(&b[56], first, sizeof first));
    const uint8_t second[] = {1, 0, 0, 0, 'b', 2, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(&b[70], second, sizeof second));
    // One index point: count 1, key "ab", offset 56.
    EXPECT_EQ(get_u32(&b[80]), 1u);
    EXPECT_EQ(get_u32(&b[84]), 2u);
    EXPECT_EQ(b[88], 'a');
    EXPECT_EQ(get_u64(&b[90]), 56u);
    uint64_t bloom_offset = get_u64(&b[32]);
    EXPECT_EQ(bloom_offset, 98u);
    EXPECT_EQ(get_u32(&b[98]), 655360u);
    EXPECT_EQ(get_u32(&b[102]), 7u);
    EXPECT_EQ(get_u32(&b[106]), 65536u);
    ASSERT_EQ(b.size(), 98u + 81932u + 4u);
    EXPECT_EQ(get_u32(&b[b.size() - 4]), morva::crc32(&b[56], b.size() - 60));
}

TEST(TableFormat, IndexPointEvery32Entries) {
    TempDir dir;
    for (int n : {31, 32, 33, 64, 65, 100}) {
        std::string path = dir.file("t" + std::to_string(n));
        ASSERT_EQ(write_table(path, numbered(n), 1), DB_OK);
        sstable_reader *r = sstable_reader_open(path.c_str());
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->num_index, static_cast<uint64_t>((n + 31) / 32)) << n;
        for (uint64_t i = 0; i < r->num_index; i++) {
            std::string key(reinterpret_cast<const char *>(r->index[i].key), r->index[i].key_len);
            EXPECT_EQ(key, numbered_key(static_cast<int>(i * 32)));
            // The point's offset holds the entry with that key.
            EXPECT_EQ(get_u32(r->map + r->index[i].offset), key.size());
            EXPECT_EQ(0, memcmp(r->map + r->index[i].offset + 4, key.data(), key.size()));
        }
        sstable_reader_close(r);
    }
}

TEST(TableLookup, FindsEveryKeyAndOnlyThoseKeys) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    std::vector<Entry> entries;
    for (int i = 0; i < 500; i++) {
        Entry e{numbered_key(i * 2), "v" + std::to_string(i)};
        if (i % 7 == 3) e = {numbered_key(i * 2), "", SSTABLE_FLAG_TOMBSTONE};
        entries.push_back(e);
    }
    ASSERT_EQ(write_table(path, entries, 3), DB_OK);
    sstable_reader *r = sstable_reader_open(path.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(sstable_reader_crc_ok(r), 1);
    ASSERT_NE(r->filter, nullptr);
    for (const Entry &e : entries) {
        const void *value = nullptr;
        uint64_t len = 0;
        uint8_t flags = 0;
        int32_t rc = sstable_reader_get(r, e.key.data(), e.key.size(), &value, &len, &flags);
        EXPECT_EQ(flags, e.flags) << e.key;
        if (e.flags == SSTABLE_FLAG_TOMBSTONE) {
            EXPECT_EQ(rc, DB_ERR_NOT_FOUND);
            continue;
        }
        ASSERT_EQ(rc, DB_OK) << e.key;
        EXPECT_EQ(std::string(static_cast<const char *>(value), len), e.value);
        // No copy: the value points into the mapping.
        EXPECT_GE(static_cast<const uint8_t *>(value), r->map);
        EXPECT_LT(static_cast<const uint8_t *>(value), r->map + r->map_size);
    }
    // Keys between, below and above the stored ones, and prefix relations.
    for (const std::string &k : {numbered_key(1), numbered_key(63), numbered_key(65), std::string("a"),
                                 std::string("zzz"), std::string("key"), numbered_key(0) + "x",
                                 numbered_key(998) + std::string(1, '\0'), std::string()}) {
        uint8_t flags = 0xEE;
        EXPECT_EQ(sstable_reader_get(r, k.data(), k.size(), nullptr, nullptr, &flags), DB_ERR_NOT_FOUND) << k;
        EXPECT_EQ(flags, 0xEE) << k;  // untouched for a key the table does not hold
    }
    // A hit with only one of the two value outs stores neither.
    const void *value = &value;
    EXPECT_EQ(sstable_reader_get(r, entries[0].key.data(), entries[0].key.size(), &value, nullptr, nullptr), DB_OK);
    EXPECT_EQ(value, &value);
    EXPECT_EQ(sstable_reader_get(nullptr, "k", 1, nullptr, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(sstable_reader_get(r, nullptr, 1, nullptr, nullptr, nullptr), DB_ERR_INVALID);

    // Lookups share one reader across threads.
    std::vector<std::thread> threads;
    std::vector<int> hits(4, 0);
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (const Entry &e : entries)
                if (sstable_reader_get(r, e.key.data(), e.key.size(), nullptr, nullptr, nullptr) == DB_OK) hits[t]++;
        });
    for (auto &th : threads) th.join();
    for (int h : hits) EXPECT_EQ(h, 500 - 71);
    sstable_reader_close(r);
}

TEST(TableLookup, EmptyKeyAndLongEntries) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    std::string big(SSTABLE_MAX_VALUE_LEN, 'v');
    std::string big_key(SSTABLE_MAX_KEY_LEN, 'k');
    ASSERT_EQ(write_table(path, {{"", "empty"}, {big_key, big}}, 1), DB_OK);
    sstable_reader *r = sstable_reader_open(path.c_str());
    ASSERT_NE(r, nullptr);
    const void *value = nullptr;
    uint64_t len = 0;
    ASSERT_EQ(sstable_reader_get(r, "", 0, &value, &len, nullptr), DB_OK);
    EXPECT_EQ(std::string(static_cast<const char *>(value), len), "empty");
    ASSERT_EQ(sstable_reader_get(r, big_key.data(), big_key.size(), &value, &len, nullptr), DB_OK);
    EXPECT_EQ(len, big.size());
    sstable_reader_close(r);

    sstable_writer *w = sstable_writer_create(dir.file("x.tmp").c_str(), dir.file("x").c_str(), 1);
    ASSERT_NE(w, nullptr);
    std::string too_big(SSTABLE_MAX_VALUE_LEN + 1, 'v');
    EXPECT_EQ(sstable_writer_add(w, "k", 1, too_big.data(), too_big.size(), 1), DB_ERR_INVALID);
    EXPECT_EQ(sstable_writer_add(w, too_big.data(), too_big.size(), "v", 1, 1), DB_ERR_INVALID);
    EXPECT_EQ(sstable_writer_add(w, nullptr, 0, "v", 1, 1), DB_ERR_INVALID);
    EXPECT_EQ(sstable_writer_add(w, "k", 1, nullptr, 3, 1), DB_ERR_INVALID);
    EXPECT_EQ(w->num_entries, 0u);
    sstable_writer_destroy(w);
}

TEST(TableScan, VisitsEntriesInOrderAndStopsOnRequest) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    std::vector<Entry> entries = numbered(70);
    entries[5] = {numbered_key(5), "", SSTABLE_FLAG_TOMBSTONE};
    ASSERT_EQ(write_table(path, entries, 1), DB_OK);
    std::vector<Entry> got = scan_table(path);
    ASSERT_EQ(got.size(), entries.size());
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].key, entries[i].key);
        EXPECT_EQ(got[i].value, entries[i].value);
        EXPECT_EQ(got[i].flags, entries[i].flags);
    }
    sstable_reader *r = sstable_reader_open(path.c_str());
    ASSERT_NE(r, nullptr);
    int calls = 0;
    auto stop = [](const void *, uint64_t, const void *value, uint64_t len, int, void *ctx) -> int {
        if (len == 0 && value != nullptr) return -100;  // empty values come as null
        return ++*static_cast<int *>(ctx) == 10 ? 42 : 0;
    };
    EXPECT_EQ(sstable_reader_scan(r, stop, &calls), 42);
    EXPECT_EQ(calls, 10);
    EXPECT_EQ(sstable_reader_scan(r, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(sstable_reader_scan(nullptr, stop, &calls), DB_ERR_INVALID);
    sstable_reader_close(r);
}

TEST(TableWriter, LifeCycle) {
    TempDir dir;
    std::string tmp = dir.file("t.tmp"), final_path = dir.file("t");
    sstable_writer *w = sstable_writer_create(tmp.c_str(), final_path.c_str(), 4);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(read_file(tmp).size(), 56u);  // placeholder header
    ASSERT_EQ(sstable_writer_add(w, "a", 1, "1", 1, 1), DB_OK);
    EXPECT_FALSE(file_exists(final_path));
    ASSERT_EQ(sstable_writer_finish(w), DB_OK);
    EXPECT_TRUE(file_exists(final_path));
    EXPECT_FALSE(file_exists(tmp));
    EXPECT_EQ(sstable_writer_add(w, "b", 1, "2", 1, 1), DB_ERR_INVALID);
    EXPECT_EQ(sstable_writer_finish(w), DB_ERR_INVALID);
    sstable_writer_destroy(w);
    EXPECT_TRUE(file_exists(final_path));

    // An abandoned writer leaves nothing behind.
    w = sstable_writer_create(tmp.c_str(), dir.file("u").c_str(), 4);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(sstable_writer_add(w, "a", 1, "1", 1, 1), DB_OK);
    sstable_writer_destroy(w);
    EXPECT_FALSE(file_exists(tmp));
    EXPECT_FALSE(file_exists(dir.file("u")));

    // A failed rename keeps the closed temporary file.
    w = sstable_writer_create(tmp.c_str(), dir.file("missing/t").c_str(), 4);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(sstable_writer_finish(w), DB_ERR_IO);
    sstable_writer_destroy(w);
    EXPECT_TRUE(file_exists(tmp));

    EXPECT_EQ(sstable_writer_create(dir.file("missing/t.tmp").c_str(), final_path.c_str(), 1), nullptr);
    EXPECT_EQ(sstable_writer_create(nullptr, final_path.c_str(), 1), nullptr);
    EXPECT_EQ(sstable_writer_add(nullptr, "a", 1, "1", 1, 1), DB_ERR_INVALID);
    EXPECT_EQ(sstable_writer_finish(nullptr), DB_ERR_INVALID);
    sstable_writer_destroy(nullptr);
}

TEST(TableReader, CrcStateAndHeaderChecks) {
    TempDir dir;
    std::string path = dir.file("t.sst");
    ASSERT_EQ(write_table(path, numbered(40), 1), DB_OK);
    std::vector<uint8_t> good = read_file(path);
    uint64_t index_offset = get_u64(&good[24]);
    uint64_t bloom_offset = get_u64(&good[32]);
    // Every byte after the header is covered by the CRC (the bloom block is
    // sampled: it is large and uniform). A damaged index block may instead
    // make the table unreadable.
    for (size_t at = 56; at < good.size(); at += at < bloom_offset + 16 ? 1 : 4099) {
        std::vector<uint8_t> bad = good;
        bad[at] ^= 0x01;
        write_file(path, bad);
        sstable_reader *r = sstable_reader_open(path.c_str());
        if (r == nullptr && at >= index_offset && at < bloom_offset) continue;
        ASSERT_NE(r, nullptr) << at;
        EXPECT_EQ(sstable_reader_crc_ok(r), -1) << at;
        EXPECT_EQ(r->filter, nullptr);  // a damaged table is searched without its filter
        sstable_reader_close(r);
    }
    std::vector<uint8_t> bad = good;
    bad[0] = 'X';
    write_file(path, bad);
    EXPECT_EQ(sstable_reader_open(path.c_str()), nullptr);
    bad = good;
    morva::put_u32(&bad[4], 3);
    write_file(path, bad);
    EXPECT_EQ(sstable_reader_open(path.c_str()), nullptr);
    bad = good;
    morva::put_u32(&bad[4], 1);  // older versions are read, without a filter
    write_file(path, bad);
    sstable_reader *r = sstable_reader_open(path.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->filter, nullptr);
    EXPECT_EQ(sstable_reader_get(r, numbered_key(39).data(), 8, nullptr, nullptr, nullptr), DB_OK);
    sstable_reader_close(r);
    write_file(path, {});
    EXPECT_EQ(sstable_reader_open(path.c_str()), nullptr);
    EXPECT_EQ(sstable_reader_open(dir.file("absent").c_str()), nullptr);
    EXPECT_EQ(sstable_reader_open(nullptr), nullptr);
    EXPECT_EQ(sstable_reader_crc_ok(nullptr), 0);
    EXPECT_EQ(sstable_reader_num_entries(nullptr), 0u);
    EXPECT_EQ(sstable_reader_sequence(nullptr), 0u);
    sstable_reader_close(nullptr);
}

}  // namespace
