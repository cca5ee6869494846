// Sorted table writer: streams entries into a temporary file, then appends
// the sparse index, the bloom block and the CRC, fills in the header, syncs
// the file and renames it into place, so a table exists under its final
// name only when it is complete.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "sstable/table_format.h"
#include "util/crc32.h"

namespace morva {
namespace {

constexpr uint64_t kInitialIndexCapacity = 4096;
constexpr size_t kStreamBufferSize = 1 << 16;

// The public record plus what the writer tracks privately.
struct WriterState : sstable_writer {
    uint64_t position = 0;      // bytes in the file so far (header placeholder included)
    uint64_t index_points = 0;  // points in index_buf
    uint32_t crc = 0;           // running CRC of every byte after the header
    bool finished = false;
    bool failed = false;        // a write failed: the file's contents are unknown
    std::vector<char> stream_buffer;
};

WriterState *state_of(sstable_writer *w) { return static_cast<WriterState *>(w); }

// Writes bytes of the body (after the header) and extends the CRC.
bool write_body(WriterState *w, const void *data, size_t len) {
    if (len == 0) return true;
    if (std::fwrite(data, 1, len, w->stream) != len) {
        w->failed = true;
        return false;
    }
    w->crc = crc32_extend(w->crc, data, len);
    w->position += len;
    return true;
}

bool grow_index(WriterState *w, uint64_t needed) {
    if (w->index_cap >= needed) return true;
    uint64_t cap = w->index_cap;
    while (cap < needed) cap *= 2;
    void *grown = std::realloc(w->index_buf, cap);
    if (grown == nullptr) return false;
    w->index_buf = static_cast<uint8_t *>(grown);
    w->index_cap = cap;
    return true;
}

// Syncs the directory that holds path so that the rename itself survives a
// crash. Best effort: failures are ignored.
void sync_parent_dir(const char *path) {
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr) return;
    std::string dir(path, static_cast<size_t>(slash - path));
    if (dir.empty()) dir = std::string(1, '/');
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void encode_header(uint8_t *h, const WriterState *w, uint64_t index_offset, uint64_t bloom_offset) {
    put_u32(h, kTableMagic);
    put_u32(h + 4, kTableVersion);
    put_u64(h + 8, w->num_entries);
    put_u64(h + 16, index_offset - kTableHeaderSize);
    put_u64(h + 24, index_offset);
    put_u64(h + 32, bloom_offset);
    put_u64(h + 40, w->sequence);
    put_u64(h + 48, static_cast<uint64_t>(std::time(nullptr)));
}

int32_t finish(WriterState *w) {
    uint64_t index_offset = w->position;
    uint8_t count[4];
    put_u32(count, static_cast<uint32_t>(w->index_points));
    if (!write_body(w, count, sizeof count) || !write_body(w, w->index_buf, w->index_len)) return DB_ERR_IO;

    uint64_t bloom_offset = 0;
    if (w->filter_created && w->filter != nullptr && w->num_entries > 0) {
        size_t size = morvadb_bloom_serialized_size(w->filter);
        uint8_t *block = static_cast<uint8_t *>(std::malloc(size));
        if (block != nullptr) {  // without memory the table simply has no filter
            morvadb_bloom_serialize(w->filter, block);
            bloom_offset = w->position;
            bool ok = write_body(w, block, size);
            std::free(block);
            if (!ok) return DB_ERR_IO;
        }
    }

    uint8_t trailer[kTableCrcSize];
    put_u32(trailer, w->crc);
    uint8_t header[kTableHeaderSize];
    encode_header(header, w, index_offset, bloom_offset);
    if (std::fwrite(trailer, 1, sizeof trailer, w->stream) != sizeof trailer || std::fflush(w->stream) != 0 ||
        std::fseek(w->stream, 0, SEEK_SET) != 0 ||
        std::fwrite(header, 1, sizeof header, w->stream) != sizeof header || std::fflush(w->stream) != 0 ||
        ::fsync(fileno(w->stream)) != 0) {
        w->failed = true;
        return DB_ERR_IO;
    }
    int closed = std::fclose(w->stream);
    w->stream = nullptr;
    if (closed != 0) {
        // The close may have lost data; the file is not a table.
        std::remove(w->temp_path);
        w->failed = true;
        return DB_ERR_IO;
    }
    w->finished = true;  // the file is complete; only its name is left to change
    if (std::rename(w->temp_path, w->final_path) != 0) return DB_ERR_IO;
    sync_parent_dir(w->final_path);
    return DB_OK;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" MORVADB_API sstable_writer *sstable_writer_create(const char *temp_path, const char *final_path,
                                                             uint64_t sequence) {
    if (temp_path == nullptr || final_path == nullptr) return nullptr;
    WriterState *w = new (std::nothrow) WriterState();
    if (w == nullptr) return nullptr;
    w->sequence = sequence;
    w->temp_path = strdup(temp_path);
    w->final_path = strdup(final_path);
    w->index_buf = static_cast<uint8_t *>(std::malloc(kInitialIndexCapacity));
    w->index_cap = kInitialIndexCapacity;
    try {
        w->stream_buffer.resize(kStreamBufferSize);
    } catch (const std::bad_alloc &) {
        w->stream_buffer.clear();
    }
    if (w->temp_path == nullptr || w->final_path == nullptr || w->index_buf == nullptr) {
        sstable_writer_destroy(w);
        return nullptr;
    }
    w->stream = std::fopen(temp_path, "wb");
    if (w->stream == nullptr) {
        sstable_writer_destroy(w);
        return nullptr;
    }
    if (!w->stream_buffer.empty())
        std::setvbuf(w->stream, w->stream_buffer.data(), _IOFBF, w->stream_buffer.size());
    uint8_t placeholder[kTableHeaderSize] = {};
    if (std::fwrite(placeholder, 1, sizeof placeholder, w->stream) != sizeof placeholder ||
        std::fflush(w->stream) != 0) {
        sstable_writer_destroy(w);  // closes and deletes the temporary file
        return nullptr;
    }
    w->position = kTableHeaderSize;
    return w;
}

extern "C" MORVADB_API int32_t sstable_writer_add(sstable_writer *writer, const void *key, uint64_t key_len,
                                                  const void *value, uint64_t value_len, uint8_t flags) {
    if (writer == nullptr || key == nullptr) return DB_ERR_INVALID;
    WriterState *w = state_of(writer);
    if (w->finished || w->stream == nullptr) return DB_ERR_INVALID;
    if (key_len > kTableMaxKeyLen || value_len > kTableMaxValueLen) return DB_ERR_INVALID;
    if (value == nullptr && value_len > 0) return DB_ERR_INVALID;
    if (w->failed) return DB_ERR_IO;

    if (w->since_index == 0) {
        if (!grow_index(w, w->index_len + key_len + kIndexPointOverhead)) return DB_ERR_NOMEM;
        uint8_t *p = w->index_buf + w->index_len;
        put_u32(p, static_cast<uint32_t>(key_len));
        if (key_len > 0) std::memcpy(p + 4, key, key_len);
        put_u64(p + 4 + key_len, w->position);
        w->index_len += key_len + kIndexPointOverhead;
        w->index_points++;
    }
    w->since_index = (w->since_index + 1) % kTableIndexInterval;

    uint8_t key_field[4];
    put_u32(key_field, static_cast<uint32_t>(key_len));
    uint8_t middle[5];
    middle[0] = flags;
    put_u32(middle + 1, static_cast<uint32_t>(value_len));
    if (!write_body(w, key_field, 4) || !write_body(w, key, key_len) || !write_body(w, middle, 5) ||
        !write_body(w, value, value_len))
        return DB_ERR_IO;

    if (!w->filter_created && w->num_entries == 0) {
        w->filter = morvadb_bloom_create(SSTABLE_BLOOM_ITEMS, SSTABLE_BLOOM_BITS_PER_ITEM);
        w->filter_created = w->filter != nullptr ? 1 : 0;
    }
    if (w->filter != nullptr) morvadb_bloom_insert(w->filter, key, key_len);
    w->num_entries++;
    w->data_bytes += key_len + value_len + kTableEntryOverhead;
    return DB_OK;
}

extern "C" MORVADB_API int32_t sstable_writer_finish(sstable_writer *writer) {
    if (writer == nullptr) return DB_ERR_INVALID;
    WriterState *w = state_of(writer);
    if (w->finished) return DB_ERR_INVALID;
    if (w->failed || w->stream == nullptr) return DB_ERR_IO;
    try {
        return finish(w);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API void sstable_writer_destroy(sstable_writer *writer) {
    if (writer == nullptr) return;
    WriterState *w = state_of(writer);
    if (w->stream != nullptr) {
        std::fclose(w->stream);
        w->stream = nullptr;
        if (w->temp_path != nullptr) std::remove(w->temp_path);
    }
    morvadb_bloom_destroy(w->filter);
    std::free(w->temp_path);
    std::free(w->final_path);
    std::free(w->index_buf);
    delete w;
}
