// Shared metadata file: creation, repair, reader counting, and exact counts
// when several processes join and leave at once.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/morva_meta_XXXXXX";
        if (char *d = mkdtemp(tmpl)) path_ = d;
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

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(SharedMeta, OpenCreatesAFreshRecordOfExactlyTwentyFourBytes) {
    TempDir dir;
    std::string prefix = dir.file("db");
    shared_meta meta;
    std::memset(&meta, 0xff, sizeof meta);
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.magic, SHARED_META_MAGIC);
    EXPECT_EQ(meta.reserved, 0u);
    EXPECT_EQ(meta.version, 1u);
    EXPECT_EQ(meta.reader_count, 0u);
    std::vector<uint8_t> bytes = read_file(prefix + ".shared");
    const std::vector<uint8_t> expected = {0x00, 0x42, 0x44, 0x41, 0x56, 0x52, 0x4F, 0x4D, 0, 0, 0, 0, 0, 0, 0, 0,
                                           1,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(bytes, expected);
    EXPECT_NE(::access((prefix + ".shared.tmp").c_str(), F_OK), 0);
}

TEST(SharedMeta, InvalidFilesAreReplaced) {
    TempDir dir;
    std::string prefix = dir.file("db");
    shared_meta meta;
    write_file(prefix + ".shared", "0123456789");
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, 0u);
    EXPECT_EQ(read_file(prefix + ".shared").size(), 24u);

    write_file(prefix + ".shared", std::string(20, 'x') + std::string("\x05\0\0\0", 4));
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.magic, SHARED_META_MAGIC);
    EXPECT_EQ(meta.reader_count, 0u);
}

TEST(SharedMeta, JoinAndLeaveCountReaders) {
    TempDir dir;
    std::string prefix = dir.file("db");
    shared_meta meta;
    ASSERT_EQ(morvadb_shared_meta_reader_join(prefix.c_str(), &meta), 0);  // creates the file first
    EXPECT_EQ(meta.reader_count, 1u);
    ASSERT_EQ(morvadb_shared_meta_reader_join(prefix.c_str(), &meta), 0);
    ASSERT_EQ(morvadb_shared_meta_reader_leave(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, 1u);
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);  // an existing record is kept
    EXPECT_EQ(meta.reader_count, 1u);
    ASSERT_EQ(morvadb_shared_meta_reader_leave(prefix.c_str(), &meta), 0);
    ASSERT_EQ(morvadb_shared_meta_reader_leave(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, 0u);
    EXPECT_NE(::access((prefix + ".shared.tmp").c_str(), F_OK), 0);

    shared_meta custom = meta;
    custom.reader_count = 42;
    ASSERT_EQ(morvadb_shared_meta_write(prefix.c_str(), &custom), 0);
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, 42u);
}

TEST(SharedMeta, FailuresAreReported) {
    shared_meta meta{};
    EXPECT_EQ(morvadb_shared_meta_open(nullptr, &meta), -1);
    EXPECT_EQ(morvadb_shared_meta_open("/tmp/x", nullptr), -1);
    EXPECT_EQ(morvadb_shared_meta_write("/nonexistent-dir/db", &meta), -1);
    EXPECT_EQ(morvadb_shared_meta_open("/nonexistent-dir/db", &meta), -1);
    EXPECT_EQ(morvadb_shared_meta_reader_join("/nonexistent-dir/db", &meta), -1);
}

// Processes that join and leave at the same moment must not lose updates.
TEST(SharedMeta, ConcurrentProcessesKeepAnExactCount) {
    TempDir dir;
    std::string prefix = dir.file("db");
    constexpr int kProcesses = 6;
    constexpr int kRounds = 40;
    auto run_children = [&](bool join) {
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; ++i) {
            pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                shared_meta meta;
                int failures = 0;
                for (int r = 0; r < kRounds; ++r) {
                    int rc = join ? morvadb_shared_meta_reader_join(prefix.c_str(), &meta)
                                  : morvadb_shared_meta_reader_leave(prefix.c_str(), &meta);
                    failures += rc != 0;
                }
                ::_exit(failures == 0 ? 0 : 1);
            }
            children.push_back(pid);
        }
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
    };
    run_children(true);
    shared_meta meta;
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, static_cast<uint32_t>(kProcesses * kRounds));
    run_children(false);
    ASSERT_EQ(morvadb_shared_meta_open(prefix.c_str(), &meta), 0);
    EXPECT_EQ(meta.reader_count, 0u);
}

}  // namespace
