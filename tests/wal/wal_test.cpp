// Write-ahead log: file bytes, sync modes, replay, damaged tails, truncation.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "morvadb.h"
#include "util/coding.h"
#include "wal/wal.h"

namespace {

class TempDir {
public:
    TempDir() {
        char shm[] = "/dev/shm/morva_wal_XXXXXX";
        char tmp[] = "/tmp/morva_wal_XXXXXX";
        char *d = mkdtemp(shm);
        if (d == nullptr) d = mkdtemp(tmp);
        if (d != nullptr) path_ = d;
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Replayed {
    int is_delete;
    uint64_t table_id;
    std::string key;
    std::string value;
    bool value_null;
};

int collect(int is_delete, uint64_t table_id, const void *key, uint64_t key_len, const void *value,
            uint64_t value_len, void *ctx) {
    auto *out = static_cast<std::vector<Replayed> *>(ctx);
    EXPECT_NE(key, nullptr);
    out->push_back({is_delete, table_id, std::string(static_cast<const char *>(key), key_len),
                    value ? std::string(static_cast<const char *>(value), value_len) : std::string(),
                    value == nullptr});
    return 0;
}

int32_t put(wal *w, const std::string &k, const std::string &v, uint64_t table = 1) {
    return wal_append(w, WAL_OP_PUT, table, k.data(), k.size(), v.data(), v.size());
}

TEST(WalFormat, NewLogHeaderAndRecordBytes) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::vector<uint8_t> header = read_file(path);
    ASSERT_EQ(header.size(), 20u);
    const uint8_t expected[20] = {0x53, 0x49, 0x44, 0x4C, 0x45, 0x56, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(header.data(), expected, 20));

    // A small put stays in the buffer in mode 0.
    ASSERT_EQ(put(w, "0123456789", "abcdefghijklmnopqrst", 7), DB_OK);
    EXPECT_EQ(read_file(path).size(), 20u);
    ASSERT_EQ(wal_append(w, WAL_OP_DELETE, 7, "0123456789", 10, "ignored", 7), DB_OK);
    ASSERT_EQ(wal_sync(w), DB_OK);
    std::vector<uint8_t> bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 20u + 63u + 43u);
    const uint8_t *rec = bytes.data() + 20;
    EXPECT_EQ(morva::get_u64(rec), 1u);
    EXPECT_EQ(rec[8], 0);
    EXPECT_EQ(morva::get_u64(rec + 9), 7u);
    EXPECT_EQ(morva::get_u64(rec + 17), 10u);
    EXPECT_EQ(morva::get_u64(rec + 25), 20u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(rec + 33), 30), "0123456789abcdefghijklmnopqrst");
    const uint8_t *del = rec + 63;
    EXPECT_EQ(morva::get_u64(del), 2u);
    EXPECT_EQ(del[8], 1);
    EXPECT_EQ(morva::get_u64(del + 25), 7u);  // the length as passed; no value bytes follow
    EXPECT_EQ(w->file_bytes, bytes.size());
    wal_destroy(w);
}

TEST(WalFormat, BufferWrittenOutAboveThresholdAndOnDestroy) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::string value(1000 - 33 - 3, 'v');
    for (int i = 0; i < 32; i++) ASSERT_EQ(put(w, "k" + std::to_string(i + 10), value), DB_OK);
    EXPECT_EQ(w->buffered, 32000u);  // not above 32,767 yet
    EXPECT_EQ(read_file(path).size(), 20u);
    ASSERT_EQ(put(w, "k99", value), DB_OK);  // 33,000 buffered: written out
    EXPECT_EQ(w->buffered, 0u);
    EXPECT_EQ(w->file_bytes, 20u + 33000u);
    ASSERT_EQ(put(w, "tail", "x"), DB_OK);
    wal_destroy(w);
    EXPECT_EQ(read_file(path).size(), 20u + 33000u + 38u);
}

TEST(WalFormat, SyncAlwaysWritesEveryAppend) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_ALWAYS);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(put(w, "a", "b"), DB_OK);
    EXPECT_EQ(read_file(path).size(), 20u + 35u);
    EXPECT_EQ(w->appends_since_flush, 0);
    wal_destroy(w);

    wal *batch = wal_create(path.c_str(), WAL_SYNC_BATCH);
    ASSERT_NE(batch, nullptr);
    for (int i = 0; i < 999; i++) ASSERT_EQ(put(batch, "a", "b"), DB_OK);
    EXPECT_EQ(batch->appends_since_flush, 999);
    wal_destroy(batch);
}

TEST(WalAppend, RecordSizeLimits) {
    TempDir dir;
    wal *w = wal_create(dir.file("db.wal").c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::string key(10, 'k');
    std::string big(65503 - 10, 'v');  // 33 + 65,503 = 65,536 exactly
    EXPECT_EQ(put(w, key, big), DB_OK);
    std::string bigger(big.size() + 1, 'v');
    EXPECT_EQ(put(w, key, bigger), DB_ERR_IO);
    EXPECT_EQ(wal_last_seq(w), 2u);  // the failed append still consumed its number

    // With records buffered, a record larger than the whole buffer is
    // refused instead of being copied past the buffer's end.
    ASSERT_EQ(put(w, "small", "v"), DB_OK);
    uint64_t buffered = w->buffered;
    std::string huge(70000, 'h');
    EXPECT_EQ(put(w, "k", huge), DB_ERR_IO);
    EXPECT_EQ(w->buffered, buffered);

    // Lengths that would wrap 64-bit arithmetic.
    EXPECT_EQ(wal_append(w, WAL_OP_PUT, 1, "k", UINT64_MAX - 10, "v", 1), DB_ERR_IO);
    EXPECT_EQ(wal_append(w, WAL_OP_PUT, 1, "k", 1, "v", UINT64_MAX - 20), DB_ERR_IO);
    EXPECT_EQ(wal_append(w, WAL_OP_DELETE, 1, "k", UINT64_MAX, nullptr, 0), DB_ERR_IO);

    // Records replay could not read back are refused.
    EXPECT_EQ(wal_append(w, WAL_OP_PUT, 1, "k", 1, nullptr, 5), DB_ERR_INVALID);
    EXPECT_EQ(wal_append(w, WAL_OP_DELETE, 1, "k", 1, nullptr, 2000000), DB_ERR_INVALID);
    EXPECT_EQ(wal_append(w, WAL_OP_PUT, 1, nullptr, 3, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(wal_append(nullptr, WAL_OP_PUT, 1, "k", 1, "v", 1), DB_ERR_INVALID);

    std::vector<Replayed> got;
    EXPECT_EQ(wal_replay(w, collect, &got), DB_OK);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].value.size(), big.size());
    EXPECT_EQ(got[1].key, "small");
    wal_destroy(w);
}

TEST(WalReplay, RecordsAndNumberingSurviveReopen) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(put(w, "alpha", "one", 3), DB_OK);
    ASSERT_EQ(wal_append(w, WAL_OP_DELETE, 4, "beta", 4, nullptr, 0), DB_OK);
    ASSERT_EQ(put(w, "", "empty-key"), DB_OK);
    ASSERT_EQ(wal_append(w, 9, 5, "gamma", 5, nullptr, 0), DB_OK);  // other ops are puts
    wal_destroy(w);

    w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(wal_last_seq(w), 0u);
    std::vector<Replayed> got;
    ASSERT_EQ(wal_replay(w, collect, &got), DB_OK);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].is_delete, 0);
    EXPECT_EQ(got[0].table_id, 3u);
    EXPECT_EQ(got[0].key, "alpha");
    EXPECT_EQ(got[0].value, "one");
    EXPECT_EQ(got[1].is_delete, 1);
    EXPECT_TRUE(got[1].value_null);
    EXPECT_EQ(got[2].key, "");
    EXPECT_EQ(got[3].is_delete, 0);
    EXPECT_TRUE(got[3].value_null);
    EXPECT_EQ(wal_last_seq(w), 4u);
    ASSERT_EQ(put(w, "next", "v"), DB_OK);
    ASSERT_EQ(wal_sync(w), DB_OK);
    std::vector<uint8_t> bytes = read_file(path);
    EXPECT_EQ(morva::get_u64(bytes.data() + bytes.size() - 38), 5u);
    wal_destroy(w);
}

int stop_at_second(int, uint64_t, const void *, uint64_t, const void *, uint64_t, void *ctx) {
    return ++*static_cast<int *>(ctx) == 2 ? 77 : 0;
}

TEST(WalReplay, CallbackResultStopsReplay) {
    TempDir dir;
    wal *w = wal_create(dir.file("db.wal").c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 5; i++) ASSERT_EQ(put(w, "k", "v"), DB_OK);
    int calls = 0;
    EXPECT_EQ(wal_replay(w, stop_at_second, &calls), 77);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(wal_replay(nullptr, collect, nullptr), DB_ERR_INVALID);
    wal_destroy(w);
}

TEST(WalReplay, BadHeadersAreRejected) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    write_file(path, {'S', 'I', 'D', 'L', 'E', 'V', 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(wal_create(path.c_str(), 0), nullptr);
    write_file(path, {'S', 'I', 'D', 'L', 'E', 'V', 0, 0, 2, 0});  // torn, but not our version
    EXPECT_EQ(wal_create(path.c_str(), 0), nullptr);
    // A header cut short while a new log was created holds no records: the
    // log starts afresh instead of keeping the database from opening.
    write_file(path, {'S', 'I', 'D', 'L', 'E', 'V', 0, 0, 1, 0, 0, 0, 5});
    wal *torn = wal_create(path.c_str(), 0);
    ASSERT_NE(torn, nullptr);
    EXPECT_EQ(wal_last_seq(torn), 0u);
    wal_destroy(torn);
    EXPECT_EQ(read_file(path).size(), 20u);
    write_file(path, {'X', 'I', 'D', 'L', 'E', 'V', 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(wal_create(path.c_str(), 0), nullptr);
    EXPECT_EQ(wal_create(dir.file("missing/db.wal").c_str(), 0), nullptr);
    EXPECT_EQ(wal_create(nullptr, 0), nullptr);
}

// Cuts a log of known records at every offset (and flips bytes): replay
// never crashes, applies exactly the whole records before the damage, and
// leaves the file so that new records are found by the next replay.
TEST(WalReplay, DamagedTailsAtEveryOffset) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::vector<uint64_t> ends;
    for (int i = 0; i < 6; i++) {
        ASSERT_EQ(put(w, "key" + std::to_string(i), std::string(i * 3, 'x')), DB_OK);
        ASSERT_EQ(wal_sync(w), DB_OK);
        ends.push_back(w->file_bytes);
    }
    ASSERT_EQ(wal_append(w, WAL_OP_DELETE, 1, "gone", 4, nullptr, 0), DB_OK);
    wal_destroy(w);
    std::vector<uint8_t> full = read_file(path);
    ends.push_back(full.size());

    for (size_t cut = 20; cut <= full.size(); cut++) {
        write_file(path, std::vector<uint8_t>(full.begin(), full.begin() + static_cast<long>(cut)));
        wal *r = wal_create(path.c_str(), WAL_SYNC_NONE);
        ASSERT_NE(r, nullptr);
        size_t whole = 0;
        while (whole < ends.size() && ends[whole] <= cut) whole++;
        std::vector<Replayed> got;
        morva::WalReplayReport report;
        int32_t rc = morva::replay_log(r, collect, &got, &report, true);
        EXPECT_TRUE(rc == DB_OK || rc == DB_ERR_CORRUPT) << cut;
        ASSERT_EQ(got.size(), whole) << cut;
        EXPECT_EQ(report.end_offset, whole == 0 ? 20u : ends[whole - 1]);
        EXPECT_EQ(report.damaged_tail, report.end_offset != cut);
        EXPECT_EQ(wal_last_seq(r), whole);
        ASSERT_EQ(put(r, "after", "cut"), DB_OK);
        wal_destroy(r);

        r = wal_create(path.c_str(), WAL_SYNC_NONE);
        ASSERT_NE(r, nullptr);
        got.clear();
        EXPECT_EQ(wal_replay(r, collect, &got), DB_OK) << cut;
        ASSERT_EQ(got.size(), whole + 1) << cut;
        EXPECT_EQ(got.back().key, "after");
        EXPECT_EQ(wal_last_seq(r), whole + 1);
        wal_destroy(r);
    }

    // Oversized lengths stop the replay as corrupt after the earlier records.
    std::vector<uint8_t> bad = full;
    morva::put_u64(bad.data() + ends[1] + 17, 2000000);
    write_file(path, bad);
    w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::vector<Replayed> got;
    EXPECT_EQ(wal_replay(w, collect, &got), DB_ERR_CORRUPT);
    EXPECT_EQ(got.size(), 2u);
    wal_destroy(w);

    // Flipped bytes anywhere: no crash, and replay stops or reads on.
    for (size_t at = 20; at < full.size(); at++) {
        std::vector<uint8_t> flipped = full;
        flipped[at] ^= 0xA5;
        write_file(path, flipped);
        wal *f = wal_create(path.c_str(), WAL_SYNC_NONE);
        ASSERT_NE(f, nullptr);
        got.clear();
        int32_t rc = wal_replay(f, collect, &got);
        EXPECT_TRUE(rc == DB_OK || rc == DB_ERR_CORRUPT);
        wal_destroy(f);
    }
}

TEST(WalTruncate, KeepsNumberingAndStaysReplayable) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    for (int i = 0; i < 3; i++) ASSERT_EQ(put(w, "k", "v"), DB_OK);
    ASSERT_EQ(wal_truncate(w), DB_OK);
    std::vector<uint8_t> bytes = read_file(path);
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(morva::get_u64(bytes.data() + 12), 3u);
    EXPECT_EQ(w->file_bytes, 20u);

    // Appends after a truncation land at the end and replay in this session.
    ASSERT_EQ(put(w, "after", "v"), DB_OK);
    std::vector<Replayed> got;
    ASSERT_EQ(wal_replay(w, collect, &got), DB_OK);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].key, "after");
    wal_destroy(w);

    w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(wal_last_seq(w), 3u);
    got.clear();
    ASSERT_EQ(wal_replay(w, collect, &got), DB_OK);
    EXPECT_EQ(wal_last_seq(w), 4u);
    EXPECT_EQ(wal_truncate(nullptr), DB_ERR_INVALID);
    wal_destroy(w);
}

TEST(WalTruncate, KeepsRecordsNewerThanAFlush) {
    TempDir dir;
    std::string path = dir.file("db.wal");
    wal *w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    for (int i = 1; i <= 5; i++) ASSERT_EQ(put(w, "k" + std::to_string(i), "v"), DB_OK);
    ASSERT_EQ(morva::truncate_log_after(w, 3), DB_OK);
    ASSERT_EQ(put(w, "k6", "v"), DB_OK);
    wal_destroy(w);

    w = wal_create(path.c_str(), WAL_SYNC_NONE);
    ASSERT_NE(w, nullptr);
    std::vector<Replayed> got;
    ASSERT_EQ(wal_replay(w, collect, &got), DB_OK);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].key, "k4");
    EXPECT_EQ(got[2].key, "k6");
    EXPECT_EQ(wal_last_seq(w), 6u);

    // Nothing newer: the same as a plain truncation.
    ASSERT_EQ(morva::truncate_log_after(w, 6), DB_OK);
    EXPECT_EQ(read_file(path).size(), 20u);
    EXPECT_EQ(wal_last_seq(w), 6u);
    wal_destroy(w);
}

}  // namespace
