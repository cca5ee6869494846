#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "morvadb.h"

namespace {

int open_fd_count() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++n;
    closedir(d);
    return n;
}

class MappedFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/morva_map_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string write_file(const char *name, const std::string &content) {
        std::string path = dir_ + "/" + name;
        FILE *f = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    }

    static bool is_closed(const mapped_file &m) {
        return m.map_base == MAP_FAILED && m.map_addr == MAP_FAILED && m.map_size == 0 && m.fd == -1;
    }

    std::string dir_;
};

TEST_F(MappedFileTest, ReadOnlyMappingOfWholeFile) {
    std::string path = write_file("a", "hello mapping");
    mapped_file m;
    ASSERT_EQ(morvadb_mmap_open(path.c_str(), 0, 0, &m), 0);
    EXPECT_EQ(m.map_size, 13u);
    EXPECT_EQ(m.map_base, m.map_addr);
    EXPECT_GE(m.fd, 0);
    EXPECT_EQ(std::memcmp(m.map_addr, "hello mapping", 13), 0);
    EXPECT_EQ(morvadb_mmap_sync(&m), 0);
    morvadb_mmap_close(&m);
    EXPECT_TRUE(is_closed(m));
    morvadb_mmap_close(&m);  // a second close is harmless
    EXPECT_TRUE(is_closed(m));
}

TEST_F(MappedFileTest, WritesReachTheFileAfterSync) {
    std::string path = write_file("w", std::string(4096, 'x'));
    mapped_file m;
    ASSERT_EQ(morvadb_mmap_open(path.c_str(), 1, 0, &m), 0);
    std::memcpy(m.map_addr, "ABCD", 4);
    ASSERT_EQ(morvadb_mmap_sync(&m), 0);
    morvadb_mmap_close(&m);
    FILE *f = std::fopen(path.c_str(), "rb");
    char buf[4];
    ASSERT_EQ(std::fread(buf, 1, 4, f), 4u);
    std::fclose(f);
    EXPECT_EQ(std::memcmp(buf, "ABCD", 4), 0);
}

TEST_F(MappedFileTest, ExplicitSizeLargerThanFileMaps) {
    std::string path = write_file("s", "abc");
    mapped_file m;
    ASSERT_EQ(morvadb_mmap_open(path.c_str(), 0, 8192, &m), 0);
    EXPECT_EQ(m.map_size, 8192u);
    morvadb_mmap_close(&m);
}

TEST_F(MappedFileTest, FailuresLeaveRecordClosedAndNoDescriptor) {
    int fds = open_fd_count();
    mapped_file m;
    std::string missing = dir_ + "/missing";
    errno = 0;
    EXPECT_EQ(morvadb_mmap_open(missing.c_str(), 0, 0, &m), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(is_closed(m));
    EXPECT_NE(access(missing.c_str(), F_OK), 0) << "open must not create the file";

    std::string empty = write_file("empty", "");
    errno = 0;
    EXPECT_EQ(morvadb_mmap_open(empty.c_str(), 1, 0, &m), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(is_closed(m));

    m.fd = 12345;  // must be reset to closed before any check of the file
    errno = 0;
    EXPECT_EQ(morvadb_mmap_open(empty.c_str(), 2, 0, &m), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(m.fd == 12345) << "writable 2 is refused before touching the record";

    errno = 0;
    EXPECT_EQ(morvadb_mmap_open(empty.c_str(), 0, 0, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);

    mapped_file closed;
    ASSERT_EQ(morvadb_mmap_open(missing.c_str(), 0, 0, &closed), -1);
    morvadb_mmap_close(&closed);
    morvadb_mmap_close(nullptr);
    EXPECT_EQ(open_fd_count(), fds);
}

TEST_F(MappedFileTest, SyncOfUnmappedRecordIsInvalid) {
    mapped_file m;
    m.map_base = m.map_addr = MAP_FAILED;
    m.map_size = 0;
    m.fd = -1;
    errno = 0;
    EXPECT_EQ(morvadb_mmap_sync(&m), -1);
    EXPECT_EQ(errno, EINVAL);
    m.map_addr = nullptr;
    EXPECT_EQ(morvadb_mmap_sync(&m), -1);
    EXPECT_EQ(morvadb_mmap_sync(nullptr), -1);
}

TEST_F(MappedFileTest, FileSize) {
    std::string path = write_file("sz", std::string(1234, 'q'));
    uint64_t size = 0;
    EXPECT_EQ(morvadb_file_size(path.c_str(), &size), 0);
    EXPECT_EQ(size, 1234u);
    errno = 0;
    EXPECT_EQ(morvadb_file_size(path.c_str(), nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(morvadb_file_size((dir_ + "/none").c_str(), &size), -1);
    EXPECT_EQ(errno, ENOENT);
}

// A writer publishes bytes and then a position through the atomic store; a
// reader that sees the position through the atomic load must see the bytes.
TEST(Atomics, PublishedPositionOrdersEarlierBytes) {
    void *mem = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    auto *pos = static_cast<uint64_t *>(mem);
    auto *data = static_cast<uint32_t *>(mem) + 16;
    constexpr uint32_t kRounds = 1000;  // 4000 data bytes after the 64-byte position word
    std::thread reader([&] {
        uint64_t seen = 0;
        while (seen < kRounds) {
            uint64_t p = morvadb_atomic_load_u64(pos);
            for (uint64_t i = seen; i < p; ++i) ASSERT_EQ(morvadb_atomic_load_u32(&data[i]), i + 1);
            seen = p;
        }
    });
    for (uint32_t i = 0; i < kRounds; ++i) {
        morvadb_atomic_store_u32(&data[i], i + 1);
        morvadb_atomic_store_u64(pos, i + 1);
    }
    reader.join();
    EXPECT_EQ(morvadb_atomic_load_u64(pos), kRounds);
    EXPECT_EQ(morvadb_atomic_load_u64(nullptr), 0u);
    morvadb_atomic_store_u64(nullptr, 1);  // ignored, no fault
    munmap(mem, 4096);
}

}  // namespace
