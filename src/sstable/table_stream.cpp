// Buffered sequential reader of a sorted table; see table_stream.h.
#include "sstable/table_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morva {
namespace {

// Smallest buffer a stream uses, so that a short entry never needs a read
// of its own.
constexpr size_t kMinBufferBytes = 4096;
// Bytes of an entry before its key (u32 key length) and between key and
// value (u8 flags, u32 value length).
constexpr uint64_t kKeyFieldBytes = 4;
constexpr uint64_t kMiddleBytes = 5;

}  // namespace

int32_t TableStream::open(const std::string &path, size_t buffer_bytes) {
    fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) return errno == ENOENT ? DB_ERR_NOT_FOUND : DB_ERR_IO;
    struct stat st;
    if (::fstat(fd_.get(), &st) != 0) return DB_ERR_IO;
    if (st.st_size <= 0) return DB_ERR_CORRUPT;
    buffer_.assign(buffer_bytes < kMinBufferBytes ? kMinBufferBytes : buffer_bytes, 0);
    uint64_t file_size = static_cast<uint64_t>(st.st_size);
    if (!read_header(file_size) || !index_is_sound(file_size)) {
        remaining_ = 0;
        return read_failed_ ? DB_ERR_IO : DB_ERR_CORRUPT;
    }
    position_ = kTableHeaderSize;
    return DB_OK;
}

bool TableStream::read_header(uint64_t file_size) {
    const uint8_t *h = window(0, kTableHeaderSize, file_size);
    if (h == nullptr) return false;
    ByteReader in(h, kTableHeaderSize);
    uint32_t magic = in.u32();
    uint32_t version = in.u32();
    remaining_ = in.u64();
    in.u64();  // data size: the index offset bounds the entries
    data_end_ = in.u64();
    in.u64();  // bloom offset
    sequence_ = in.u64();
    return in.ok() && magic == kTableMagic && version <= kTableVersion && data_end_ >= kTableHeaderSize;
}

// The index block must lie within the file, point by point, as a reader
// that opens the table requires; its contents are not needed to stream.
bool TableStream::index_is_sound(uint64_t file_size) {
    if (data_end_ > file_size) return false;
    const uint8_t *count_field = window(data_end_, 4, file_size);
    if (count_field == nullptr) return false;
    uint64_t count = get_u32(count_field);
    uint64_t at = data_end_ + 4;
    if (count * kIndexPointOverhead > file_size - at) return false;
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t *key_len = window(at, 4, file_size);
        if (key_len == nullptr) return false;
        uint64_t skip = 4 + static_cast<uint64_t>(get_u32(key_len)) + 8;
        if (skip > file_size - at) return false;
        at += skip;
    }
    return true;
}

const uint8_t *TableStream::window(uint64_t at, uint64_t n, uint64_t limit) {
    if (at > limit || n > limit - at) return nullptr;
    if (at >= buffer_offset_ && at + n <= buffer_offset_ + buffered_) return buffer_.data() + (at - buffer_offset_);
    // Keep what is already read from `at` on, and read the rest after it.
    if (at >= buffer_offset_ && at < buffer_offset_ + buffered_) {
        size_t keep = static_cast<size_t>(buffer_offset_ + buffered_ - at);
        std::memmove(buffer_.data(), buffer_.data() + (at - buffer_offset_), keep);
        buffered_ = keep;
    } else {
        buffered_ = 0;
    }
    buffer_offset_ = at;
    if (n > buffer_.size()) buffer_.resize(static_cast<size_t>(n));
    while (buffered_ < n) {
        uint64_t end = buffer_offset_ + buffered_;
        size_t room = buffer_.size() - buffered_;
        if (room > limit - end) room = static_cast<size_t>(limit - end);
        ssize_t got = ::pread(fd_.get(), buffer_.data() + buffered_, room, static_cast<off_t>(end));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {  // a read error, or a file cut after it was opened
            read_failed_ = true;
            return nullptr;
        }
        buffered_ += static_cast<size_t>(got);
    }
    return buffer_.data();
}

bool TableStream::next(TableEntry *out) {
    if (remaining_ == 0) return false;
    const uint8_t *p = window(position_, kKeyFieldBytes, data_end_);
    if (p != nullptr) {
        uint64_t key_len = get_u32(p);
        p = window(position_, kKeyFieldBytes + key_len + kMiddleBytes, data_end_);
        if (p != nullptr) {
            uint64_t value_len = get_u32(p + kKeyFieldBytes + key_len + 1);
            uint64_t size = kKeyFieldBytes + key_len + kMiddleBytes + value_len;
            p = window(position_, size, data_end_);
            if (p != nullptr) {
                out->key = p + kKeyFieldBytes;
                out->key_len = key_len;
                out->flags = p[kKeyFieldBytes + key_len];
                out->value = p + kKeyFieldBytes + key_len + kMiddleBytes;
                out->value_len = value_len;
                position_ += size;
                remaining_--;
                return true;
            }
        }
    }
    remaining_ = 0;  // the entry does not fit: the walk ends here, as a scan's does
    return false;
}

}  // namespace morva
