// Write-ahead log: records are gathered in a 64 KiB buffer and written to
// the file with positioned writes on the log's descriptor, so the file
// always holds exactly the bytes the log counts as written: a failed write
// never leaves bytes behind in a library buffer that would reach the file
// later, out of place. The stdio stream serves the replay. The sync mode
// decides how often the buffer is written out; nothing here forces data to
// the disk, writing out hands the bytes to the kernel.
#include "wal/wal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "util/coding.h"

namespace morva {
namespace {

bool write_header(FILE *stream, uint64_t base_sequence) {
    uint8_t header[kWalHeaderSize];
    put_u64(header, kWalMagic);
    put_u32(header + 8, kWalVersion);
    put_u64(header + 12, base_sequence);
    if (std::fwrite(header, 1, sizeof header, stream) != sizeof header) return false;
    return std::fflush(stream) == 0;
}

// Writes n bytes at offset, going on after partial writes and interruptions.
// Returns how many bytes reached the file: fewer than n only on an error.
size_t write_at(int fd, const uint8_t *data, size_t n, uint64_t offset) {
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::pwrite(fd, data + done, n - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<size_t>(put);
    }
    return done;
}

// Writes the header in place at the start of the file.
bool write_header_at_start(wal *w, uint64_t base_sequence) {
    uint8_t header[kWalHeaderSize];
    put_u64(header, kWalMagic);
    put_u32(header + 8, kWalVersion);
    put_u64(header + 12, base_sequence);
    return write_at(w->fd, header, sizeof header, 0) == sizeof header;
}

// Writes the buffered records at the end of the file. On a short write the
// bytes that did reach the file leave the buffer, so a retry continues
// exactly where the file ends: the file stays a prefix of the record stream.
int32_t write_out(wal *w) {
    if (w->buffered > 0) {
        if (w->fd < 0) return DB_ERR_IO;
        size_t written = write_at(w->fd, w->buffer, w->buffered, w->file_bytes);
        w->file_bytes += written;
        if (written < w->buffered) {
            std::memmove(w->buffer, w->buffer + written, w->buffered - written);
            w->buffered -= written;
            return DB_ERR_IO;
        }
        w->buffered = 0;
    }
    // The records are with the kernel now; the counter keeps its meaning of
    // appends since the log was last pushed out.
    if (w->sync_mode == WAL_SYNC_ALWAYS ||
        (w->sync_mode == WAL_SYNC_BATCH && w->appends_since_flush >= kWalSyncBatchAppends))
        w->appends_since_flush = 0;
    return DB_OK;
}

// Takes back the record of size bytes placed at file offset record_at after
// writing it out failed, so that a failed append changes nothing. Everything
// buffered before the record was written first; when part of the record
// itself reached the file, the file is cut back to where it began. When even
// that fails, the rest stays buffered and completes the record later, so the
// file never ends in a fragment that later records would follow.
void withdraw_record(wal *w, uint64_t record_at, uint64_t size) {
    if (w->file_bytes <= record_at) {
        w->buffered -= size;
        return;
    }
    if (::ftruncate(w->fd, static_cast<off_t>(record_at)) == 0) {
        w->file_bytes = record_at;
        w->buffered = 0;
    }
}

void close_files(wal *w) {
    if (w->stream != nullptr) std::fclose(w->stream);
    w->stream = nullptr;
    if (w->fd >= 0) ::close(w->fd);
    w->fd = -1;
}

void free_wal(wal *w) {
    close_files(w);
    std::free(w->buffer);
    std::free(w->path);
    std::free(w);
}

// Opens descriptor and stream on the log path; truncate empties the file.
bool open_files(wal *w, bool truncate) {
    int flags = O_RDWR | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    w->fd = ::open(w->path, flags, 0644);
    if (w->fd < 0) return false;
    // Appending mode, also after a truncation, so that the log stays
    // readable by a replay and every write lands at the end of the file.
    w->stream = std::fopen(w->path, "a+b");
    if (w->stream == nullptr) {
        ::close(w->fd);
        w->fd = -1;
        return false;
    }
    return true;
}

// Reads exactly n bytes; false on a short read.
bool read_exact(FILE *stream, void *dst, size_t n) { return n == 0 || std::fread(dst, 1, n, stream) == n; }

int32_t cut_file(wal *w, uint64_t offset) {
    if (w->stream == nullptr || w->fd < 0) return DB_ERR_IO;
    if (::ftruncate(w->fd, static_cast<off_t>(offset)) != 0) return DB_ERR_IO;
    std::fseek(w->stream, 0, SEEK_END);
    w->file_bytes = offset;
    return DB_OK;
}

// Size of the file behind the descriptor; -1 when it cannot be read.
int64_t file_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

// A file shorter than the header is a log whose creation stopped while its
// header was written: its bytes begin like a header. Anything else short is
// not a log and is left alone.
bool is_torn_header(const wal *w, int64_t size) {
    uint8_t expected[kWalHeaderSize] = {};
    put_u64(expected, kWalMagic);
    put_u32(expected + 8, kWalVersion);
    uint8_t bytes[kWalHeaderSize];
    if (::pread(w->fd, bytes, static_cast<size_t>(size), 0) != size) return false;
    size_t fixed = static_cast<size_t>(size) < 12 ? static_cast<size_t>(size) : 12;  // magic and version
    return std::memcmp(bytes, expected, fixed) == 0;
}

}  // namespace

bool log_record_size(bool is_delete, uint64_t key_len, uint64_t value_len, uint64_t *out) {
    uint64_t size = 0;
    if (add_overflows(kWalRecordHeaderSize, key_len, &size)) return false;
    if (!is_delete && add_overflows(size, value_len, &size)) return false;
    *out = size;
    return true;
}

void encode_log_record(uint8_t *dst, uint64_t sequence, bool is_delete, uint64_t table_id, const void *key,
                       uint64_t key_len, const void *value, uint64_t value_len) {
    put_u64(dst, sequence);
    dst[8] = is_delete ? 1 : 0;
    put_u64(dst + 9, table_id);
    put_u64(dst + 17, key_len);
    put_u64(dst + 25, value_len);
    uint8_t *p = dst + kWalRecordHeaderSize;
    if (key_len > 0) {
        std::memcpy(p, key, key_len);
        p += key_len;
    }
    if (!is_delete && value != nullptr && value_len > 0) std::memcpy(p, value, value_len);
}

int32_t replay_log(wal *w, wal_replay_fn callback, void *ctx, WalReplayReport *report, bool cut_damaged_tail) {
    WalReplayReport local;
    WalReplayReport &rep = report != nullptr ? *report : local;
    rep = WalReplayReport{};
    if (w == nullptr || w->stream == nullptr) return DB_ERR_INVALID;
    write_out(w);
    FILE *stream = w->stream;
    std::clearerr(stream);
    // Records numbered up to the header's base were already in sorted tables
    // when the header was written; a truncation whose cut did not happen
    // leaves them behind, and replaying them over the newer tables would
    // bring back older versions.
    uint8_t base_field[8];
    if (std::fseek(stream, static_cast<long>(kWalHeaderSize - sizeof base_field), SEEK_SET) != 0 ||
        !read_exact(stream, base_field, sizeof base_field))
        return DB_ERR_IO;
    const uint64_t base = get_u64(base_field);

    std::vector<uint8_t> key_buf;
    std::vector<uint8_t> value_buf;
    static const uint8_t kEmpty = 0;
    uint64_t offset = kWalHeaderSize;
    int32_t status = DB_OK;
    bool damaged = false;
    for (;;) {
        uint8_t fixed[kWalRecordHeaderSize];
        size_t got = std::fread(fixed, 1, sizeof fixed, stream);
        if (got < sizeof fixed) {
            // A read that failed says nothing about what follows: the log is
            // neither at its end nor damaged, and must not be cut.
            if (std::ferror(stream)) status = DB_ERR_IO;
            else damaged = got > 0;  // a torn fixed part; zero bytes is the clean end
            break;
        }
        uint64_t sequence = get_u64(fixed);
        bool is_delete = fixed[8] != 0;
        uint64_t table_id = get_u64(fixed + 9);
        uint64_t key_len = get_u64(fixed + 17);
        uint64_t value_len = get_u64(fixed + 25);
        if (key_len > kWalMaxFieldLen || value_len > kWalMaxFieldLen) {
            status = DB_ERR_CORRUPT;
            damaged = true;
            break;
        }
        bool has_value = !is_delete && value_len > 0;
        try {
            key_buf.resize(key_len);
            if (has_value) value_buf.resize(value_len);
        } catch (const std::bad_alloc &) {
            status = DB_ERR_NOMEM;
            break;
        }
        if (!read_exact(stream, key_buf.data(), key_len) ||
            (has_value && !read_exact(stream, value_buf.data(), value_len))) {
            if (std::ferror(stream)) {
                status = DB_ERR_IO;
            } else {
                status = DB_ERR_CORRUPT;
                damaged = true;
            }
            break;
        }
        offset += kWalRecordHeaderSize + key_len + (has_value ? value_len : 0);
        if (sequence > w->last_seq) w->last_seq = sequence;
        rep.end_offset = offset;
        if (base > 0 && sequence <= base) continue;
        rep.records++;
        if (callback != nullptr) {
            const uint8_t *key = key_len > 0 ? key_buf.data() : &kEmpty;
            int rc = callback(is_delete ? 1 : 0, table_id, key, key_len, has_value ? value_buf.data() : nullptr,
                              has_value ? value_len : 0, ctx);
            if (rc != 0) {
                status = rc;
                break;
            }
            // The callback may have truncated or closed the log; the records
            // still unread went with the old file.
            if (w->stream != stream) return status;
        }
    }
    rep.end_offset = offset;
    rep.damaged_tail = damaged;
    std::clearerr(stream);
    std::fseek(stream, 0, SEEK_END);
    long end = std::ftell(stream);
    rep.file_size = end > 0 ? static_cast<uint64_t>(end) : 0;
    // Records appended after a tail that stays would be hidden from every
    // later replay by it, so a cut that fails is an error of its own.
    if (damaged && cut_damaged_tail && cut_file(w, offset) != DB_OK) return DB_ERR_IO;
    return status;
}

int32_t cut_log_at(wal *w, uint64_t offset) {
    if (w == nullptr) return DB_ERR_INVALID;
    if (offset < kWalHeaderSize) return DB_ERR_INVALID;
    int32_t rc = write_out(w);
    if (rc != DB_OK) return rc;
    return cut_file(w, offset);
}

int32_t truncate_log_after(wal *w, uint64_t flushed_seq) {
    if (w == nullptr) return DB_ERR_INVALID;
    if (w->stream == nullptr) return wal_truncate(w);
    write_out(w);
    std::clearerr(w->stream);
    if (std::fseek(w->stream, static_cast<long>(kWalHeaderSize), SEEK_SET) != 0) return DB_ERR_IO;
    // Collect the raw bytes of every record newer than flushed_seq.
    std::vector<uint8_t> kept;
    try {
        for (;;) {
            uint8_t fixed[kWalRecordHeaderSize];
            if (!read_exact(w->stream, fixed, sizeof fixed)) break;
            uint64_t sequence = get_u64(fixed);
            bool is_delete = fixed[8] != 0;
            uint64_t key_len = get_u64(fixed + 17);
            uint64_t value_len = get_u64(fixed + 25);
            if (key_len > kWalMaxFieldLen || value_len > kWalMaxFieldLen) break;
            uint64_t body = key_len + (!is_delete ? value_len : 0);
            size_t start = kept.size();
            kept.resize(start + sizeof fixed + body);
            std::memcpy(kept.data() + start, fixed, sizeof fixed);
            if (!read_exact(w->stream, kept.data() + start + sizeof fixed, body)) {
                kept.resize(start);
                break;
            }
            if (sequence <= flushed_seq) kept.resize(start);
        }
    } catch (const std::bad_alloc &) {
        std::fseek(w->stream, 0, SEEK_END);
        return DB_ERR_NOMEM;
    }
    std::fseek(w->stream, 0, SEEK_END);
    if (kept.empty()) return wal_truncate(w);

    // Write the survivors under a temporary name and rename it over the log,
    // so a crash leaves either the old log or the new one, never neither.
    std::string tmp = w->path;
    tmp += ".tmp";
    FILE *out = std::fopen(tmp.c_str(), "wb");
    if (out == nullptr) return DB_ERR_IO;
    bool ok = write_header(out, flushed_seq) && std::fwrite(kept.data(), 1, kept.size(), out) == kept.size() &&
              std::fflush(out) == 0 && ::fsync(fileno(out)) == 0;
    ok = std::fclose(out) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), w->path) != 0) {
        std::remove(tmp.c_str());
        return DB_ERR_IO;
    }
    close_files(w);
    if (!open_files(w, false)) return DB_ERR_IO;
    std::fseek(w->stream, 0, SEEK_END);
    w->file_bytes = kWalHeaderSize + kept.size();
    w->buffered = 0;
    w->appends_since_flush = 0;
    return DB_OK;
}

}  // namespace morva

using namespace morva;

extern "C" MORVADB_API wal *wal_create(const char *path, int32_t sync_mode) {
    if (path == nullptr) return nullptr;
    wal *w = static_cast<wal *>(std::calloc(1, sizeof(wal)));
    if (w == nullptr) return nullptr;
    w->fd = -1;
    w->sync_mode = sync_mode;
    w->path = strdup(path);
    w->buffer = static_cast<uint8_t *>(std::malloc(kWalBufferSize));
    if (w->path == nullptr || w->buffer == nullptr || !open_files(w, false)) {
        free_wal(w);
        return nullptr;
    }
    int64_t size = file_size(w->fd);
    if (size < 0 || (size > 0 && size < static_cast<int64_t>(kWalHeaderSize) && !is_torn_header(w, size))) {
        free_wal(w);
        return nullptr;
    }
    if (size < static_cast<int64_t>(kWalHeaderSize)) {
        // A new log, or one whose header never got written whole.
        if ((size > 0 && ::ftruncate(w->fd, 0) != 0) || !write_header_at_start(w, 0)) {
            free_wal(w);
            return nullptr;
        }
        std::fseek(w->stream, 0, SEEK_END);
        w->last_seq = 0;
        w->file_bytes = kWalHeaderSize;
        return w;
    }
    uint8_t header[kWalHeaderSize];
    if (std::fseek(w->stream, 0, SEEK_SET) != 0 || !read_exact(w->stream, header, sizeof header) ||
        get_u64(header) != kWalMagic || get_u32(header + 8) != kWalVersion) {
        free_wal(w);
        return nullptr;
    }
    std::fseek(w->stream, 0, SEEK_END);
    w->last_seq = get_u64(header + 12);
    w->file_bytes = static_cast<uint64_t>(size);
    return w;
}

extern "C" MORVADB_API int32_t wal_append(wal *w, int32_t op, uint64_t table_id, const void *key,
                                          uint64_t key_len, const void *value, uint64_t value_len) {
    if (w == nullptr) return DB_ERR_INVALID;
    w->last_seq++;  // consumed even when the append fails
    bool is_delete = op == WAL_OP_DELETE;
    // Refuse records that replay could not read back: missing key or value
    // bytes behind a nonzero length, or a delete length replay rejects.
    if (key == nullptr && key_len > 0) return DB_ERR_INVALID;
    if (!is_delete && value == nullptr && value_len > 0) return DB_ERR_INVALID;
    if (is_delete && value_len > kWalMaxFieldLen) return DB_ERR_INVALID;
    uint64_t size = 0;
    if (!log_record_size(is_delete, key_len, value_len, &size) || size > kWalBufferSize) return DB_ERR_IO;
    if (size > kWalBufferSize - w->buffered) {
        if (w->fd < 0 || w->buffered == 0) return DB_ERR_IO;
        if (write_out(w) != DB_OK || size > kWalBufferSize - w->buffered) return DB_ERR_IO;
    }
    const uint64_t record_at = w->file_bytes + w->buffered;
    encode_log_record(w->buffer + w->buffered, w->last_seq, is_delete, table_id, key, key_len, value, value_len);
    w->appends_since_flush++;
    w->buffered += size;
    if (w->fd < 0) return DB_OK;
    if (w->sync_mode == WAL_SYNC_ALWAYS || w->buffered > kWalFlushThreshold) {
        // The records before this one stay buffered for a later attempt;
        // this one is taken back, so a failed append is not logged.
        if (write_out(w) != DB_OK) {
            withdraw_record(w, record_at, size);
            return DB_ERR_IO;
        }
    }
    return DB_OK;
}

extern "C" MORVADB_API int32_t wal_sync(wal *w) {
    if (w == nullptr) return DB_ERR_INVALID;
    if (write_out(w) != DB_OK) return DB_ERR_IO;
    w->appends_since_flush = 0;
    return DB_OK;
}

extern "C" MORVADB_API int32_t wal_replay(wal *w, wal_replay_fn callback, void *ctx) {
    try {
        return replay_log(w, callback, ctx, nullptr, true);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API uint64_t wal_last_seq(const wal *w) { return w == nullptr ? 0 : w->last_seq; }

extern "C" MORVADB_API int32_t wal_truncate(wal *w) {
    if (w == nullptr) return DB_ERR_INVALID;
    // Written out first so that a record a failed write cut short is
    // completed: the file must end on a record boundary if the cut fails.
    write_out(w);
    if (w->fd < 0) return DB_ERR_IO;
    // The new header is the truncation: its base says every record so far
    // is in the tables, so replay passes over whatever the cut leaves. It
    // overwrites the first bytes in place, which needs no new space.
    if (write_header_at_start(w, w->last_seq)) {
        if (::ftruncate(w->fd, static_cast<off_t>(kWalHeaderSize)) != 0) return DB_OK;  // stale, but passed over
    } else if (::ftruncate(w->fd, static_cast<off_t>(kWalHeaderSize)) != 0) {
        // Neither: the records stay live, and so does the buffer, so that
        // the file keeps ending on a record boundary.
        return DB_ERR_IO;
    }
    // Header only, possibly with its older base (the numbering then
    // continues from the base at the next open, which nothing depends on).
    std::fseek(w->stream, 0, SEEK_END);
    w->buffered = 0;
    w->appends_since_flush = 0;
    w->file_bytes = kWalHeaderSize;
    return DB_OK;
}

extern "C" MORVADB_API void wal_destroy(wal *w) {
    if (w == nullptr) return;
    write_out(w);
    free_wal(w);
}
