// Shared metadata file: open, write, join and leave.
#include "wal/shared_meta.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "util/coding.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr size_t kNameBufferSize = 512;

bool format_name(char (&buffer)[kNameBufferSize], const char *format, const char *text) {
    int n = std::snprintf(buffer, sizeof buffer, format, text);
    return n >= 0 && static_cast<size_t>(n) < sizeof buffer;
}

// Holds an exclusive lock on the directory that contains the database for
// the lifetime of one read-modify-write. Locking the directory rather than
// the file matters: the file is replaced by rename, so a lock on it would
// protect an inode nobody reads any more. When the directory cannot be
// opened the update still runs, unserialized, as before locking existed.
class DirectoryLock {
public:
    explicit DirectoryLock(const char *prefix) {
        std::string dir(prefix);
        size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos) dir = ".";
        else if (slash == 0) dir = "/";
        else dir.resize(slash);
        fd_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!fd_.valid()) return;
        while (::flock(fd_.get(), LOCK_EX) != 0) {
            if (errno != EINTR) { fd_.reset(); return; }
        }
    }
    ~DirectoryLock() {
        if (fd_.valid()) ::flock(fd_.get(), LOCK_UN);
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    UniqueFd fd_;
};

shared_meta fresh_meta() {
    shared_meta meta{};
    meta.magic = kSharedMetaMagic;
    meta.version = kSharedMetaVersion;
    meta.reader_count = 0;
    return meta;
}

bool read_meta_file(const char *prefix, shared_meta *out) {
    char name[kNameBufferSize];
    if (!format_name(name, "%s.shared", prefix)) return false;
    UniqueFd fd(::open(name, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    uint8_t bytes[kSharedMetaSize];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = ::read(fd.get(), bytes + got, sizeof bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return decode_shared_meta(bytes, got, out);
}

int32_t write_meta_file(const char *prefix, const shared_meta &meta) {
    char name[kNameBufferSize];
    char temp[kNameBufferSize];
    if (!format_name(name, "%s.shared", prefix) || !format_name(temp, "%s.tmp", name)) return -1;
    uint8_t bytes[kSharedMetaSize];
    encode_shared_meta(meta, bytes);
    {
        UniqueFd fd(::open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.valid()) return -1;
        size_t put = 0;
        while (put < sizeof bytes) {
            ssize_t n = ::write(fd.get(), bytes + put, sizeof bytes - put);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            put += static_cast<size_t>(n);
        }
        if (put < sizeof bytes) {
            ::unlink(temp);
            return -1;
        }
    }
    if (::rename(temp, name) != 0) {
        ::unlink(temp);
        return -1;
    }
    return 0;
}

// The current record, or a fresh one written in place of a missing or
// invalid file. Caller holds the directory lock.
int32_t load_or_create(const char *prefix, shared_meta *out) {
    if (read_meta_file(prefix, out)) return 0;
    *out = fresh_meta();
    return write_meta_file(prefix, *out);
}

int32_t adjust_reader_count(const char *prefix, shared_meta *meta, int delta) {
    DirectoryLock lock(prefix);
    shared_meta current;
    load_or_create(prefix, &current);
    if (delta > 0) current.reader_count += 1;
    else if (current.reader_count > 0) current.reader_count -= 1;
    int32_t rc = write_meta_file(prefix, current);
    *meta = current;
    return rc;
}

}  // namespace

void encode_shared_meta(const shared_meta &meta, uint8_t out[kSharedMetaSize]) {
    put_u64(out, meta.magic);
    put_u64(out + 8, meta.reserved);
    put_u32(out + 16, meta.version);
    put_u32(out + 20, meta.reader_count);
}

bool decode_shared_meta(const uint8_t *bytes, size_t size, shared_meta *out) {
    ByteReader in(bytes, size);
    shared_meta meta;
    meta.magic = in.u64();
    meta.reserved = in.u64();
    meta.version = in.u32();
    meta.reader_count = in.u32();
    if (!in.ok() || meta.magic != kSharedMetaMagic) return false;
    *out = meta;
    return true;
}

}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t morvadb_shared_meta_write(const char *path, const shared_meta *meta) {
    if (path == nullptr || meta == nullptr) return -1;
    DirectoryLock lock(path);
    return write_meta_file(path, *meta);
}

MORVADB_API int32_t morvadb_shared_meta_open(const char *path, shared_meta *out) {
    if (path == nullptr || out == nullptr) return -1;
    DirectoryLock lock(path);
    return load_or_create(path, out);
}

MORVADB_API int32_t morvadb_shared_meta_reader_join(const char *path, shared_meta *meta) {
    if (path == nullptr || meta == nullptr) return -1;
    return adjust_reader_count(path, meta, +1);
}

MORVADB_API int32_t morvadb_shared_meta_reader_leave(const char *path, shared_meta *meta) {
    if (path == nullptr || meta == nullptr) return -1;
    return adjust_reader_count(path, meta, -1);
}

}  // extern "C"
