#include "sstable/table_fixture.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace sstable_test {

TempDir::TempDir() {
    // Memory-backed when available: the damage tests rewrite files thousands
    // of times, which a disk-backed file system turns into flushes.
    char shm[] = "/dev/shm/morva_sst_XXXXXX";
    char tmp[] = "/tmp/morva_sst_XXXXXX";
    char *d = mkdtemp(shm);
    if (d == nullptr) d = mkdtemp(tmp);
    if (d != nullptr) path_ = d;
}

TempDir::~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

bool file_exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int32_t write_table(const std::string &path, const std::vector<Entry> &entries, uint64_t sequence) {
    std::string tmp = path + ".tmp";
    sstable_writer *w = sstable_writer_create(tmp.c_str(), path.c_str(), sequence);
    if (w == nullptr) return DB_ERR_IO;
    for (const Entry &e : entries) {
        int32_t rc = sstable_writer_add(w, e.key.data(), e.key.size(), e.value.data(), e.value.size(), e.flags);
        if (rc != DB_OK) {
            sstable_writer_destroy(w);
            return rc;
        }
    }
    int32_t rc = sstable_writer_finish(w);
    sstable_writer_destroy(w);
    return rc;
}

static int collect(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int flags,
                   void *ctx) {
    auto *out = static_cast<std::vector<Entry> *>(ctx);
    out->push_back({std::string(static_cast<const char *>(key), key_len),
                    value ? std::string(static_cast<const char *>(value), value_len) : std::string(),
                    static_cast<uint8_t>(flags)});
    return 0;
}

std::vector<Entry> scan_table(const std::string &path) {
    std::vector<Entry> out;
    sstable_reader *r = sstable_reader_open(path.c_str());
    if (r == nullptr) return out;
    sstable_reader_scan(r, collect, &out);
    sstable_reader_close(r);
    return out;
}

std::string numbered_key(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "key%05d", i);
    return buf;
}

}  // namespace sstable_test
