// Memory-mapped log: open, append, read, sync, close and switch.
#include "wal/mapped_log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/coding.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr size_t kNameBufferSize = 512;

uint64_t *write_pos_word(const wal_mmap *log) {
    return reinterpret_cast<uint64_t *>(log->header + kMappedLogWritePosOffset);
}

uint64_t load_write_pos(const wal_mmap *log) {
    return std::atomic_ref<uint64_t>(*write_pos_word(log)).load(std::memory_order_acquire);
}

void store_header_u64(wal_mmap *log, uint64_t offset, uint64_t value) {
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t *>(log->header + offset)).store(value);
}

void store_header_u32(wal_mmap *log, uint64_t offset, uint32_t value) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(log->header + offset)).store(value);
}

void set_closed(wal_mmap *log) {
    log->file.map_base = MAP_FAILED;
    log->file.map_addr = MAP_FAILED;
    log->file.map_size = 0;
    log->file.fd = -1;
    log->header = nullptr;
    log->data = nullptr;
    log->capacity = 0;
    log->cursor = 0;
}

// (data size + header) rounded up to whole pages; false on overflow.
bool mapping_size_for(uint64_t data_size, uint64_t *out) {
    uint64_t with_header;
    if (add_overflows(data_size, kMappedLogHeaderSize, &with_header)) return false;
    uint64_t padded;
    if (add_overflows(with_header, kMappedLogPageSize - 1, &padded)) return false;
    *out = padded / kMappedLogPageSize * kMappedLogPageSize;
    return true;
}

// Creates the file when missing and appends zero bytes until it is at least
// size bytes long. Real zero blocks (not a sparse hole) so that a full disk
// shows up here instead of as a fault when a page is first touched.
// Sets *fresh when every byte of the first size bytes is known to be zero.
bool extend_with_zeros(const char *path, uint64_t size, bool *fresh) {
    UniqueFd fd(::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd.valid()) return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return false;
    uint64_t length = static_cast<uint64_t>(st.st_size);
    *fresh = length == 0;
    static const uint8_t zeros[kMappedLogPageSize] = {};
    while (length < size) {
        uint64_t chunk = size - length < kMappedLogPageSize ? size - length : kMappedLogPageSize;
        ssize_t n = ::pwrite(fd.get(), zeros, chunk, static_cast<off_t>(length));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        length += static_cast<uint64_t>(n);
    }
    return true;
}

// A header the writer may keep appending to: our magic and version, and a
// write position inside this mapping.
bool header_is_reusable(const wal_mmap *log) {
    if (get_u64(log->header + kMappedLogMagicOffset) != kMappedLogMagic) return false;
    if (get_u32(log->header + kMappedLogVersionOffset) != kMappedLogVersion) return false;
    uint64_t pos = load_write_pos(log);
    return pos >= kMappedLogHeaderSize && pos - kMappedLogHeaderSize <= log->capacity;
}

void format_header(wal_mmap *log) {
    store_header_u64(log, kMappedLogMagicOffset, kMappedLogMagic);
    store_header_u32(log, kMappedLogVersionOffset, kMappedLogVersion);
    store_header_u64(log, kMappedLogWritePosOffset, kMappedLogHeaderSize);
    store_header_u64(log, kMappedLogCapacityOffset, log->capacity);
}

int32_t map_into(const char *path, int32_t writable, uint64_t size, wal_mmap *out) {
    if (morvadb_mmap_open(path, writable, size, &out->file) != 0) {
        set_closed(out);
        return -1;
    }
    out->header = static_cast<uint8_t *>(out->file.map_addr);
    out->data = out->header + kMappedLogHeaderSize;
    out->capacity = out->file.map_size - kMappedLogHeaderSize;
    out->cursor = 0;
    return 0;
}

}  // namespace

bool mapped_log_is_open(const wal_mmap *log) {
    return log != nullptr && log->header != nullptr && log->file.map_addr != nullptr &&
           log->file.map_addr != MAP_FAILED && log->file.map_size >= kMappedLogHeaderSize;
}

bool mapped_log_entry_size(int32_t op, uint64_t key_len, uint64_t value_len, uint64_t *size) {
    uint64_t n;
    if (add_overflows(kMappedLogEntryHeaderSize, key_len, &n)) return false;
    if (op != 1 && add_overflows(n, value_len, &n)) return false;
    *size = n;
    return true;
}

uint64_t mapped_log_readable_end(const wal_mmap *log) {
    uint64_t pos = load_write_pos(log);
    if (pos < kMappedLogHeaderSize) return 0;
    uint64_t used = pos - kMappedLogHeaderSize;
    return used < log->capacity ? used : log->capacity;
}

int32_t mapped_log_sync_through(wal_mmap *log, uint64_t to) {
    if (!mapped_log_is_open(log)) return -1;
    uint64_t size = log->file.map_size;
    if (to > size) to = size;
    if (to < kMappedLogPageSize) to = kMappedLogPageSize < size ? kMappedLogPageSize : size;
    return ::msync(log->file.map_addr, to, MS_SYNC) == 0 ? 0 : -1;
}

bool identity_of_path(const char *path, FileIdentity *out) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

bool identity_of_log(const wal_mmap *log, FileIdentity *out) {
    if (!mapped_log_is_open(log)) return false;
    struct stat st;
    if (::fstat(log->file.fd, &st) != 0) return false;
    out->device = static_cast<uint64_t>(st.st_dev);
    out->inode = static_cast<uint64_t>(st.st_ino);
    return true;
}

int32_t mapped_log_open_follower(const char *path, uint64_t data_size, wal_mmap *out) {
    std::memset(out, 0, sizeof *out);
    set_closed(out);
    if (::access(path, F_OK) != 0) {
        // Build the empty log under a private name and link it into place:
        // link never replaces an existing file, so a log the writer created
        // meanwhile is left exactly as it is.
        char temp[kNameBufferSize];
        int n = std::snprintf(temp, sizeof temp, "%s.init.%ld", path, static_cast<long>(::getpid()));
        if (n < 0 || static_cast<size_t>(n) >= sizeof temp) return -1;
        ::unlink(temp);
        wal_mmap fresh;
        if (wal_mmap_open(temp, 1, data_size, &fresh) != 0) {
            ::unlink(temp);
            return -1;
        }
        wal_mmap_close(&fresh);
        if (::link(temp, path) != 0 && errno != EEXIST) {
            ::unlink(temp);
            return -1;
        }
        ::unlink(temp);
    }
    if (wal_mmap_open(path, 0, data_size, out) != 0) return -1;
    // Entries of a file that is not a log (or not yet formatted by its
    // writer) would be applied as data: such a file is not followed.
    if (get_u64(out->header + kMappedLogMagicOffset) != kMappedLogMagic ||
        get_u32(out->header + kMappedLogVersionOffset) != kMappedLogVersion) {
        wal_mmap_close(out);
        return -1;
    }
    return 0;
}

bool mapped_log_grew(const wal_mmap *log, uint64_t data_size) {
    if (!mapped_log_is_open(log)) return false;
    uint64_t wanted;
    if (!mapping_size_for(data_size, &wanted) || log->file.map_size >= wanted) return false;
    struct stat st;
    return ::fstat(log->file.fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > log->file.map_size;
}

}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t wal_mmap_open(const char *path, int32_t writable, uint64_t data_size, wal_mmap *out) {
    if (out == nullptr) return -1;
    std::memset(out, 0, sizeof *out);
    set_closed(out);
    if (path == nullptr || (writable != 0 && writable != 1)) return -1;

    uint64_t size = 0;
    if (data_size != 0 && !mapping_size_for(data_size, &size)) return -1;
    bool fresh = false;
    if (writable && size != 0 && !extend_with_zeros(path, size, &fresh)) return -1;

    // Never map past the end of the file: touching such a page would kill
    // the process. A file too short for the header is not a log.
    uint64_t file_size = 0;
    if (morvadb_file_size(path, &file_size) != 0) return -1;
    if (size == 0 || size > file_size) size = file_size;
    if (size < kMappedLogHeaderSize) return -1;

    if (map_into(path, writable, size, out) != 0) return -1;
    if (!writable) return 0;

    if (header_is_reusable(out)) {
        // The mapping defines how far the writer may append; keep the stored
        // capacity in step with it so followers and tools agree.
        if (get_u64(out->header + kMappedLogCapacityOffset) != out->capacity)
            store_header_u64(out, kMappedLogCapacityOffset, out->capacity);
        return 0;
    }
    if (!fresh) std::memset(out->header, 0, out->file.map_size);
    format_header(out);
    int rc = fresh ? mapped_log_sync_through(out, 0) : morvadb_mmap_sync(&out->file);
    if (rc != 0) {
        wal_mmap_close(out);
        return -1;
    }
    return 0;
}

MORVADB_API int64_t wal_mmap_append(wal_mmap *log, uint64_t sequence, int32_t op, uint64_t table_id,
                                    const void *key, uint64_t key_len, const void *value, uint64_t value_len) {
    if (!mapped_log_is_open(log)) return -1;
    if (key == nullptr && key_len != 0) return -1;
    uint64_t need;
    if (!mapped_log_entry_size(op, key_len, value_len, &need)) return -1;
    uint64_t pos = load_write_pos(log);
    if (pos < kMappedLogHeaderSize || pos - kMappedLogHeaderSize > log->capacity) return -1;
    uint64_t at = pos - kMappedLogHeaderSize;
    if (log->capacity - at < need || need > static_cast<uint64_t>(INT64_MAX)) return -1;

    bool is_delete = op == 1;
    uint8_t *p = log->data + at;
    put_u64(p, sequence);
    p[8] = is_delete ? 1 : 0;
    put_u64(p + 9, table_id);
    put_u64(p + 17, key_len);
    put_u64(p + 25, value_len);
    p += kMappedLogEntryHeaderSize;
    if (key_len) std::memcpy(p, key, key_len);
    p += key_len;
    if (!is_delete && value_len) {
        // The entry reserves value_len bytes either way; a missing value
        // reads back as zeros rather than as stale bytes of an older entry.
        if (value) std::memcpy(p, value, value_len);
        else std::memset(p, 0, value_len);
    }
    // Publishing the new end after every entry byte is in place is what lets
    // readers trust everything below it.
    std::atomic_ref<uint64_t>(*write_pos_word(log)).store(pos + need, std::memory_order_seq_cst);
    log->cursor = at + need;
    return static_cast<int64_t>(need);
}

MORVADB_API int32_t wal_mmap_read_entry(wal_mmap *log, uint64_t *sequence, int32_t *is_delete, uint64_t *table_id,
                                        const uint8_t **key, uint64_t *key_len, const uint8_t **value,
                                        uint64_t *value_len) {
    if (!mapped_log_is_open(log)) return -1;
    uint64_t end = mapped_log_readable_end(log);
    uint64_t at = log->cursor;
    if (at >= end || end - at < kMappedLogEntryHeaderSize) return -1;
    uint64_t available = end - at - kMappedLogEntryHeaderSize;

    // Every field is read once into a local: the bytes live in shared memory
    // and must not be trusted twice.
    const uint8_t *p = log->data + at;
    uint64_t seq = get_u64(p);
    bool deleted = p[8] != 0;
    uint64_t table = get_u64(p + 9);
    uint64_t klen = get_u64(p + 17);
    uint64_t vlen = get_u64(p + 25);
    if (klen > available) return -1;
    available -= klen;
    const uint8_t *key_at = p + kMappedLogEntryHeaderSize;
    const uint8_t *value_at = nullptr;
    uint64_t next = at + kMappedLogEntryHeaderSize + klen;
    if (deleted || vlen == 0) {
        vlen = 0;
    } else {
        if (vlen > available) return -1;
        value_at = key_at + klen;
        next += vlen;
    }
    if (sequence) *sequence = seq;
    if (is_delete) *is_delete = deleted ? 1 : 0;
    if (table_id) *table_id = table;
    if (key) *key = key_at;
    if (key_len) *key_len = klen;
    if (value) *value = value_at;
    if (value_len) *value_len = vlen;
    log->cursor = next;
    return 0;
}

MORVADB_API uint64_t wal_mmap_get_write_pos(wal_mmap *log) {
    if (!mapped_log_is_open(log)) return 0;
    return load_write_pos(log);
}

MORVADB_API int32_t wal_mmap_sync(wal_mmap *log) {
    if (!mapped_log_is_open(log)) return -1;
    return morvadb_mmap_sync(&log->file) == 0 ? 0 : -1;
}

MORVADB_API void wal_mmap_close(wal_mmap *log) {
    if (log == nullptr) return;
    // Only a live mapping owns its descriptor. A record that was zeroed but
    // never opened has descriptor 0, which belongs to someone else.
    if (mapped_log_is_open(log)) morvadb_mmap_close(&log->file);
    set_closed(log);
}

MORVADB_API int32_t wal_mmap_switch_file(const char *path, wal_mmap *log) {
    if (path == nullptr || log == nullptr) return -1;
    char next_name[kNameBufferSize];
    int n = std::snprintf(next_name, sizeof next_name, "%s.new", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof next_name) return -1;
    uint64_t size = log->capacity != 0 ? log->capacity : kMappedLogDefaultDataSize;

    // A leftover file from an interrupted switch may still hold entries; the
    // replacement must start empty, or followers would apply them again.
    ::unlink(next_name);
    wal_mmap next;
    if (wal_mmap_open(next_name, 1, size, &next) != 0) {
        ::unlink(next_name);
        return -1;
    }
    wal_mmap_close(&next);
    // Renamed while the current file is still mapped (the mapping keeps the
    // old file), so a failed rename keeps the current log in service.
    if (::rename(next_name, path) != 0) {
        ::unlink(next_name);
        return -1;
    }
    wal_mmap_close(log);
    return wal_mmap_open(path, 1, size, log);
}

}  // extern "C"
