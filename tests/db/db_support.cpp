#include "db/db_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace dbtest {

TempDir::TempDir() {
    char pattern[] = "/tmp/morvadb_db_XXXXXX";
    char *made = mkdtemp(pattern);
    if (made) path_ = made;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    for (const std::string &name : list_files(path_)) ::unlink((path_ + "/" + name).c_str());
    // Leftover subdirectories (tests that block file names with them).
    if (DIR *d = opendir(path_.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") ::rmdir((path_ + "/" + name).c_str());
        }
        closedir(d);
    }
    ::rmdir(path_.c_str());
}

std::vector<std::string> list_files(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        struct stat st;
        if (::stat((dir + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int64_t file_size(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

db_options options_with_memtable(uint64_t memtable_size) {
    db_options o;
    std::memset(&o, 0, sizeof o);
    o.reserved2 = 65536;
    o.memtable_size = memtable_size;
    o.reserved3 = 1;
    o.refresh_interval_ms = 10;
    o.reserved4 = 4;
    o.reserved5 = 10485760;
    o.reserved6 = 10.0;
    return o;
}

namespace {
int collect_entry(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags, void *ctx) {
    auto *out = static_cast<std::vector<TableEntry> *>(ctx);
    out->push_back({std::string(static_cast<const char *>(key), key_len),
                    value ? std::string(static_cast<const char *>(value), value_len) : std::string(), flags});
    return 0;
}
}  // namespace

std::vector<TableEntry> read_table(const std::string &path) {
    std::vector<TableEntry> entries;
    sstable_reader *r = sstable_reader_open(path.c_str());
    if (!r) return entries;
    sstable_reader_scan(r, collect_entry, &entries);
    sstable_reader_close(r);
    return entries;
}

void DbFixture::SetUp() {
    ASSERT_FALSE(dir_.path().empty());
    prefix_ = dir_.path() + "/db";
    open();
}

void DbFixture::TearDown() { close(); }

void DbFixture::open(const db_options *options) {
    ASSERT_EQ(db_open(prefix_.c_str(), options, &db_), DB_OK);
    const char *cols[] = {"k", "v"};
    int32_t types[] = {4, 4};
    int32_t st = db_create_table(db_, "t", cols, types, 2, "k");
    ASSERT_TRUE(st == DB_OK || st == DB_ERR_EXISTS) << st;
}

void DbFixture::close() {
    if (db_) {
        EXPECT_EQ(db_close(db_), DB_OK);
    }
    db_ = nullptr;
}

int32_t DbFixture::put(const std::string &key, const std::string &value) {
    return db_put(db_, "t", key.data(), key.size(), value.data(), value.size());
}

int32_t DbFixture::del(const std::string &key) { return db_delete(db_, "t", key.data(), key.size()); }

std::string DbFixture::get(const std::string &key) {
    const void *v = nullptr;
    uint64_t len = 0;
    int32_t st = db_get(db_, "t", key.data(), key.size(), &v, &len);
    if (st == DB_ERR_NOT_FOUND) return kMissing;
    EXPECT_EQ(st, DB_OK);
    if (st != DB_OK) return "<error>";
    return std::string(static_cast<const char *>(v), len);
}

}  // namespace dbtest
