// Memory-mapped log: file layout, append/read round trips, reuse, switching,
// and a reader that must survive damaged or hostile files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "morvadb.h"
#include "util/coding.h"
#include "wal/mapped_log.h"

namespace {

using morva::get_u32;
using morva::get_u64;
using morva::put_u64;

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/morva_mlog_XXXXXX";
        if (char *d = mkdtemp(tmpl)) path_ = d;
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

uint64_t file_size(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Writes the first bytes of a file in place.
void patch_file(const std::string &path, uint64_t offset, const void *bytes, size_t n) {
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, bytes, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
    ::close(fd);
}

struct Entry {
    uint64_t seq = 0;
    int32_t is_delete = 0;
    uint64_t table = 0;
    std::string key;
    std::string value;
    bool value_null = true;
};

bool read_one(wal_mmap *log, Entry *e) {
    const uint8_t *k = nullptr, *v = nullptr;
    uint64_t kl = 0, vl = 0;
    if (wal_mmap_read_entry(log, &e->seq, &e->is_delete, &e->table, &k, &kl, &v, &vl) != 0) return false;
    e->key.assign(reinterpret_cast<const char *>(k), kl);
    e->value_null = v == nullptr;
    e->value = v ? std::string(reinterpret_cast<const char *>(v), vl) : std::string();
    return true;
}

constexpr uint64_t kSmall = 8128;  // data size of most test logs: two pages with the header
constexpr uint64_t kSmallFile = 8192;

TEST(MappedLogFile, NewLogHasExactSizeAndHeader) {
    TempDir dir;
    std::string path = dir.file("db.wal.mmap");
    wal_mmap log;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 67108864, &log), 0);
    EXPECT_EQ(file_size(path), 67112960u);
    EXPECT_EQ(log.capacity, 67112896u);
    EXPECT_EQ(log.data, log.header + 64);
    EXPECT_EQ(wal_mmap_get_write_pos(&log), 64u);
    const uint8_t magic[8] = {0x53, 0x49, 0x44, 0x4C, 0x45, 0x56, 0, 0};
    EXPECT_EQ(std::memcmp(log.header, magic, 8), 0);
    EXPECT_EQ(get_u32(log.header + 8), 1u);
    EXPECT_EQ(get_u32(log.header + 12), 0u);
    EXPECT_EQ(get_u64(log.header + 24), 67112896u);
    for (int i = 32; i < 64; ++i) EXPECT_EQ(log.header[i], 0) << i;
    wal_mmap_close(&log);
    EXPECT_EQ(log.file.fd, -1);
    wal_mmap_close(&log);  // twice is harmless
}

TEST(MappedLogFile, SizeRoundsUpToPages) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap log;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 1, &log), 0);
    EXPECT_EQ(file_size(path), 4096u);
    EXPECT_EQ(log.capacity, 4032u);
    wal_mmap_close(&log);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 4032, &log), 0);
    EXPECT_EQ(file_size(path), 4096u);
    wal_mmap_close(&log);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 4033, &log), 0);
    EXPECT_EQ(file_size(path), 8192u);
    wal_mmap_close(&log);
    // A data size so large that rounding would wrap is refused.
    EXPECT_EQ(wal_mmap_open(dir.file("huge").c_str(), 1, UINT64_MAX - 10, &log), -1);
}

TEST(MappedLogEntries, PutAndDeleteRoundTripThroughASecondMapping) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w, r;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 0, kSmall, &r), 0);
    EXPECT_EQ(wal_mmap_read_entry(&r, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);

    EXPECT_EQ(wal_mmap_append(&w, 7, 0, 3, "abc", 3, "hello", 5), 41);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 105u);
    EXPECT_EQ(w.cursor, 41u);
    EXPECT_EQ(wal_mmap_append(&w, 8, 1, 3, "abc", 3, "ignored", 7), 36);
    EXPECT_EQ(wal_mmap_append(&w, 9, 5, 2, "k", 1, nullptr, 0), 34);  // any op but 1 is a put

    const uint8_t *k, *v;
    uint64_t seq, table, kl, vl;
    int32_t del;
    ASSERT_EQ(wal_mmap_read_entry(&r, &seq, &del, &table, &k, &kl, &v, &vl), 0);
    EXPECT_EQ(seq, 7u);
    EXPECT_EQ(del, 0);
    EXPECT_EQ(table, 3u);
    EXPECT_EQ(k, r.data + 33);
    EXPECT_EQ(v, r.data + 36);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(v), vl), "hello");

    Entry e;
    ASSERT_TRUE(read_one(&r, &e));
    EXPECT_EQ(e.seq, 8u);
    EXPECT_EQ(e.is_delete, 1);
    EXPECT_EQ(e.key, "abc");
    EXPECT_TRUE(e.value_null);
    ASSERT_TRUE(read_one(&r, &e));
    EXPECT_EQ(e.is_delete, 0);
    EXPECT_TRUE(e.value_null);  // empty values read back as null
    EXPECT_EQ(r.data[41 + 36 + 8], 0);  // the op byte of a put is stored as 0
    EXPECT_FALSE(read_one(&r, &e));
    EXPECT_EQ(r.cursor, w.cursor);

    // The stored delete keeps the value length its caller passed.
    EXPECT_EQ(get_u64(w.data + 41 + 25), 7u);
    wal_mmap_close(&r);
    wal_mmap_close(&w);
}

TEST(MappedLogEntries, FullLogRefusesWithoutChangingAnything) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 4032, &w), 0);
    std::string value(4032 - 33 - 1, 'v');
    EXPECT_EQ(wal_mmap_append(&w, 1, 0, 1, "k", 1, value.data(), value.size()), 4032);
    EXPECT_EQ(wal_mmap_append(&w, 2, 1, 1, "", 0, nullptr, 0), -1);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 4096u);
    // Lengths whose sum wraps around 64 bits never fit.
    EXPECT_EQ(wal_mmap_append(&w, 3, 0, 1, "k", UINT64_MAX - 20, "v", 100), -1);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 4096u);
    wal_mmap_close(&w);
    EXPECT_EQ(wal_mmap_append(&w, 3, 0, 1, "k", 1, "v", 1), -1);  // closed
}

TEST(MappedLogReuse, WritableReopenKeepsEntriesAndPosition) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    ASSERT_EQ(wal_mmap_append(&w, 1, 0, 1, "key", 3, "val", 3), 39);
    wal_mmap_close(&w);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 64u + 39);
    Entry e;
    ASSERT_TRUE(read_one(&w, &e));
    EXPECT_EQ(e.key, "key");
    EXPECT_EQ(e.value, "val");
    ASSERT_EQ(wal_mmap_append(&w, 2, 0, 1, "k2", 2, "v", 1), 36);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 64u + 39 + 36);
    wal_mmap_close(&w);
}

TEST(MappedLogReuse, DamagedHeaderIsReformatted) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    ASSERT_GT(wal_mmap_append(&w, 1, 0, 1, "key", 3, "val", 3), 0);
    wal_mmap_close(&w);

    // A write position past the capacity would let the writer scribble
    // beyond its mapping: the log is started afresh instead.
    uint8_t pos[8];
    put_u64(pos, 64 + kSmall + 4096);
    patch_file(path, 16, pos, 8);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 64u);
    EXPECT_EQ(w.data[0], 0);  // old entry bytes zeroed
    wal_mmap_close(&w);

    // Another magic: not a log, formatted.
    patch_file(path, 0, "garbage!", 8);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    EXPECT_EQ(get_u64(w.header), morva::kMappedLogMagic);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 64u);
    wal_mmap_close(&w);
}

TEST(MappedLogHostile, ShortOrMissingFilesAreRefused) {
    TempDir dir;
    wal_mmap r;
    std::string missing = dir.file("none");
    EXPECT_EQ(wal_mmap_open(missing.c_str(), 0, kSmall, &r), -1);
    EXPECT_NE(::access(missing.c_str(), F_OK), 0);  // read-only never creates
    EXPECT_EQ(r.file.fd, -1);

    std::string tiny = dir.file("tiny");
    ::close(::open(tiny.c_str(), O_CREAT | O_WRONLY, 0644));
    patch_file(tiny, 0, "0123456789", 10);
    EXPECT_EQ(wal_mmap_open(tiny.c_str(), 0, 0, &r), -1);
    EXPECT_EQ(wal_mmap_open(tiny.c_str(), 0, kSmall, &r), -1);
    EXPECT_EQ(wal_mmap_open(tiny.c_str(), 1, 0, &r), -1);
    EXPECT_EQ(r.file.fd, -1);
    EXPECT_EQ(wal_mmap_open(tiny.c_str(), 2, 0, &r), -1);
    EXPECT_EQ(wal_mmap_open(nullptr, 0, 0, &r), -1);
    EXPECT_EQ(wal_mmap_open(tiny.c_str(), 0, 0, nullptr), -1);
}

TEST(MappedLogHostile, ReaderStaysInsideItsMapping) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w, r;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 4032, &w), 0);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 0, 0, &r), 0);
    ASSERT_EQ(wal_mmap_append(&w, 1, 0, 1, "ab", 2, "cd", 2), 37);

    // Write position far beyond the file: only the mapped bytes are examined.
    uint64_t *pos = reinterpret_cast<uint64_t *>(w.header + 16);
    *pos = UINT64_MAX;
    Entry e;
    ASSERT_TRUE(read_one(&r, &e));
    EXPECT_EQ(e.key, "ab");
    // The zero bytes after it read as empty entries; what matters is that
    // reading ends inside the mapping.
    int guard = 0;
    while (read_one(&r, &e) && ++guard < 1000) ASSERT_LE(r.cursor, r.capacity);
    EXPECT_LT(guard, 1000);
    EXPECT_LE(r.capacity - r.cursor, 32u);

    // Lengths that would wrap around when added to the cursor.
    *pos = 64 + 37 + 33 + 10;
    r.cursor = 37;
    put_u64(w.data + 37 + 17, UINT64_MAX - 5);
    EXPECT_FALSE(read_one(&r, &e));
    put_u64(w.data + 37 + 17, 2);
    put_u64(w.data + 37 + 25, UINT64_MAX);
    w.data[37 + 8] = 0;
    EXPECT_FALSE(read_one(&r, &e));
    EXPECT_EQ(r.cursor, 37u);  // unavailable entries leave the cursor alone

    // A write position below the header, and a cursor beyond the end.
    *pos = 3;
    EXPECT_FALSE(read_one(&r, &e));
    *pos = 64 + 37;
    r.cursor = 1u << 30;
    EXPECT_FALSE(read_one(&r, &e));
    wal_mmap_close(&r);
    wal_mmap_close(&w);
}

TEST(MappedLogHostile, TornEntryIsNotYetAvailable) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w, r;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 0, kSmall, &r), 0);
    ASSERT_EQ(wal_mmap_append(&w, 1, 0, 1, "key", 3, "value", 5), 41);
    uint64_t *pos = reinterpret_cast<uint64_t *>(w.header + 16);
    for (uint64_t cut = 64; cut < 64 + 41; ++cut) {
        *pos = cut;
        Entry e;
        EXPECT_FALSE(read_one(&r, &e)) << cut;
        EXPECT_EQ(r.cursor, 0u);
    }
    *pos = 64 + 41;
    Entry e;
    EXPECT_TRUE(read_one(&r, &e));
    wal_mmap_close(&r);
    wal_mmap_close(&w);
}

TEST(MappedLogSwitch, FreshFileReplacesTheLog) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);
    ASSERT_GT(wal_mmap_append(&w, 1, 0, 1, "key", 3, "val", 3), 0);
    morva::FileIdentity before, after;
    ASSERT_TRUE(morva::identity_of_path(path.c_str(), &before));

    // A leftover from an interrupted switch that still carries entries must
    // not come back as the new log.
    wal_mmap leftover;
    std::string next = path + ".new";
    ASSERT_EQ(wal_mmap_open(next.c_str(), 1, kSmall, &leftover), 0);
    ASSERT_GT(wal_mmap_append(&leftover, 5, 0, 1, "old", 3, "x", 1), 0);
    wal_mmap_close(&leftover);

    ASSERT_EQ(wal_mmap_switch_file(path.c_str(), &w), 0);
    EXPECT_EQ(wal_mmap_get_write_pos(&w), 64u);
    EXPECT_EQ(w.capacity, kSmall);
    EXPECT_EQ(file_size(path), kSmallFile);
    EXPECT_NE(::access(next.c_str(), F_OK), 0);
    ASSERT_TRUE(morva::identity_of_path(path.c_str(), &after));
    EXPECT_FALSE(before == after);
    ASSERT_TRUE(morva::identity_of_log(&w, &before));
    EXPECT_TRUE(before == after);
    wal_mmap_close(&w);
}

TEST(MappedLogSwitch, NeverOpenedRecordsLeaveStrayDescriptorsAlone) {
    TempDir dir;
    if (::fcntl(0, F_GETFD) == -1) {
        ASSERT_EQ(::open("/dev/null", O_RDONLY), 0);
    }
    wal_mmap zeroed;
    std::memset(&zeroed, 0, sizeof zeroed);
    wal_mmap_close(&zeroed);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
    std::memset(&zeroed, 0, sizeof zeroed);
    std::string path = dir.file("l");
    ASSERT_EQ(wal_mmap_switch_file(path.c_str(), &zeroed), 0);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
    EXPECT_EQ(file_size(path), 67112960u);  // capacity 0 selects the default size
    wal_mmap_close(&zeroed);
    EXPECT_EQ(wal_mmap_sync(&zeroed), -1);
    EXPECT_EQ(wal_mmap_get_write_pos(&zeroed), 0u);
}

TEST(MappedLogSync, WholeAndPartialSyncsSucceed) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 3 * 4096, &w), 0);
    std::string value(5000, 'z');
    ASSERT_GT(wal_mmap_append(&w, 1, 0, 1, "k", 1, value.data(), value.size()), 0);
    EXPECT_EQ(wal_mmap_sync(&w), 0);
    EXPECT_EQ(morva::mapped_log_sync_through(&w, wal_mmap_get_write_pos(&w)), 0);
    EXPECT_EQ(morva::mapped_log_sync_through(&w, 1u << 30), 0);  // clamped to the mapping
    wal_mmap_close(&w);
    EXPECT_EQ(morva::mapped_log_sync_through(&w, 10), -1);
}

// A writer thread and a reader thread on separate mappings of one file: the
// reader must see every entry whole and in order (run under TSan as well).
TEST(MappedLogConcurrency, ReaderFollowsWriterEntryByEntry) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap w, r;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, 1 << 20, &w), 0);
    ASSERT_EQ(wal_mmap_open(path.c_str(), 0, 0, &r), 0);
    constexpr int kEntries = 5000;
    std::thread writer([&] {
        for (int i = 0; i < kEntries; ++i) {
            std::string key = "key" + std::to_string(i);
            std::string value(static_cast<size_t>(i % 50), static_cast<char>('a' + i % 26));
            ASSERT_GT(wal_mmap_append(&w, static_cast<uint64_t>(i + 1), i % 7 == 0 ? 1 : 0, 1, key.data(),
                                      key.size(), value.data(), value.size()),
                      0);
        }
    });
    int seen = 0;
    while (seen < kEntries) {
        Entry e;
        if (!read_one(&r, &e)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(e.seq, static_cast<uint64_t>(seen + 1));
        ASSERT_EQ(e.key, "key" + std::to_string(seen));
        if (seen % 7 == 0) {
            ASSERT_EQ(e.is_delete, 1);
        } else {
            ASSERT_EQ(e.value, std::string(static_cast<size_t>(seen % 50), static_cast<char>('a' + seen % 26)));
        }
        ++seen;
    }
    writer.join();
    wal_mmap_close(&r);
    wal_mmap_close(&w);
}

TEST(MappedLogFollowerOpen, CreatesAMissingLogAndMapsReadOnly) {
    TempDir dir;
    std::string path = dir.file("l");
    wal_mmap r;
    ASSERT_EQ(morva::mapped_log_open_follower(path.c_str(), kSmall, &r), 0);
    EXPECT_EQ(file_size(path), kSmallFile);
    EXPECT_EQ(wal_mmap_get_write_pos(&r), 64u);
    wal_mmap w;
    ASSERT_EQ(wal_mmap_open(path.c_str(), 1, kSmall, &w), 0);  // the writer reuses it
    ASSERT_GT(wal_mmap_append(&w, 1, 0, 1, "k", 1, "v", 1), 0);
    Entry e;
    EXPECT_TRUE(read_one(&r, &e));
    wal_mmap_close(&w);
    wal_mmap_close(&r);
    // An existing log, entries included, is mapped as it is.
    ASSERT_EQ(morva::mapped_log_open_follower(path.c_str(), kSmall, &r), 0);
    EXPECT_TRUE(read_one(&r, &e));
    EXPECT_EQ(e.key, "k");
    wal_mmap_close(&r);
}

}  // namespace
