// Sorted table reader: maps a table file, validates its header and index
// against the mapping, checks the CRC and answers point lookups and scans
// straight from the mapping, without copying.
#include "sstable/table_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "sstable/bloom.h"
#include "util/crc32.h"

namespace morva {
namespace {

void close_reader(sstable_reader *r) {
    if (r->map != nullptr) ::munmap(const_cast<uint8_t *>(r->map), r->map_size);
    if (r->fd >= 0) ::close(r->fd);
    std::free(r->index);
    std::free(r->path);
    morvadb_bloom_unload(r->filter);
    std::free(r);
}

// Maps the whole file. DB_ERR_NOT_FOUND when there is no such file,
// DB_ERR_CORRUPT for an empty one, DB_ERR_NOMEM or DB_ERR_IO when the system
// refuses a step.
int32_t map_file(sstable_reader *r) {
    r->fd = ::open(r->path, O_RDONLY | O_CLOEXEC);
    if (r->fd < 0) return errno == ENOENT ? DB_ERR_NOT_FOUND : DB_ERR_IO;
    struct stat st;
    if (::fstat(r->fd, &st) != 0) return DB_ERR_IO;
    if (st.st_size <= 0) return DB_ERR_CORRUPT;
    r->map_size = static_cast<uint64_t>(st.st_size);
    void *m = ::mmap(nullptr, r->map_size, PROT_READ, MAP_SHARED, r->fd, 0);
    if (m == MAP_FAILED) return errno == ENOMEM ? DB_ERR_NOMEM : DB_ERR_IO;
    r->map = static_cast<const uint8_t *>(m);
    return DB_OK;
}

bool read_header(sstable_reader *r) {
    ByteReader in(r->map, r->map_size);
    r->magic = in.u32();
    r->version = in.u32();
    r->num_entries = in.u64();
    r->data_size = in.u64();
    r->index_offset = in.u64();
    r->bloom_offset = in.u64();
    r->sequence = in.u64();
    r->created_at = in.u64();
    return in.ok() && r->magic == kTableMagic && r->version <= kTableVersion &&
           r->index_offset >= kTableHeaderSize;
}

// Records every index point: DB_ERR_CORRUPT when any part of the block lies
// outside the mapping, DB_ERR_NOMEM when the array cannot be allocated.
int32_t read_index(sstable_reader *r) {
    if (r->index_offset > r->map_size) return DB_ERR_CORRUPT;
    ByteReader in(r->map + r->index_offset, r->map_size - r->index_offset);
    uint32_t count = in.u32();
    if (!in.ok() || static_cast<uint64_t>(count) * kIndexPointOverhead > in.remaining()) return DB_ERR_CORRUPT;
    r->num_index = 0;
    if (count == 0) return DB_OK;
    r->index = static_cast<sstable_index_point *>(std::calloc(count, sizeof(sstable_index_point)));
    if (r->index == nullptr) return DB_ERR_NOMEM;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t key_len = in.u32();
        const uint8_t *key = in.bytes(key_len);
        uint64_t offset = in.u64();
        if (!in.ok()) return DB_ERR_CORRUPT;
        r->index[i] = {key, key_len, offset};
    }
    r->num_index = count;
    return DB_OK;
}

void check_crc(sstable_reader *r) {
    if (r->map_size <= kTableCrcSize) return;
    if (r->map_size < kTableHeaderSize + kTableCrcSize) {
        r->crc_state = -1;
        return;
    }
    uint64_t body = r->map_size - kTableCrcSize - kTableHeaderSize;
    uint32_t stored = get_u32(r->map + r->map_size - kTableCrcSize);
    // In slices, each released once summed: checking a large table must not
    // leave all of it resident in the process.
    constexpr uint64_t kSlice = 1u << 20;
    uint32_t crc = 0;
    for (uint64_t done = 0; done < body;) {
        uint64_t n = body - done < kSlice ? body - done : kSlice;
        crc = crc32_extend(crc, r->map + kTableHeaderSize + done, n);
        done += n;
        release_mapped_range(r, kTableHeaderSize + done - n, kTableHeaderSize + done);
    }
    r->crc_state = crc == stored ? 1 : -1;
}

// Loads the bloom block when it lies wholly inside the file. A table whose
// CRC does not match gets no filter: a damaged filter would hide keys that
// the entries still hold, while lookups without it are merely slower.
void load_filter(sstable_reader *r) {
    if (r->version < 2 || r->bloom_offset == 0 || r->crc_state != 1) return;
    uint64_t bits_at = 0;
    if (add_overflows(r->bloom_offset, BLOOM_HEADER_SIZE, &bits_at) || bits_at > r->map_size) return;
    uint64_t need = bits_at + bloom_bit_bytes(get_u32(r->map + r->bloom_offset));
    if (need > r->map_size) return;
    r->filter = morvadb_bloom_load(r->map + r->bloom_offset, r->map_size - r->bloom_offset);
}

// First index point whose key is not less than the search key.
uint64_t lower_bound(const sstable_reader *r, const void *key, uint64_t key_len) {
    uint64_t lo = 0, hi = r->num_index;
    while (lo < hi) {
        uint64_t mid = lo + (hi - lo) / 2;
        const sstable_index_point &p = r->index[mid];
        if (compare_keys(p.key, p.key_len, key, key_len) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

}  // namespace

// Finds the entry holding exactly key; false when the table has none.
bool find_entry(const sstable_reader *r, const void *key, uint64_t key_len, TableEntry *out) {
    uint64_t lo = lower_bound(r, key, key_len);
    uint64_t offset = kTableHeaderSize;
    uint64_t first = 0;
    if (r->num_index > 0) {
        // A key that is itself an index point starts its block; otherwise it
        // lies in the block before the first point above it.
        uint64_t point = lo == 0 ? 0 : lo - 1;
        if (lo < r->num_index && compare_keys(r->index[lo].key, r->index[lo].key_len, key, key_len) == 0) point = lo;
        offset = r->index[point].offset;
        first = point * kTableIndexInterval;
    }
    if (first >= r->num_entries) return false;
    uint64_t count = r->num_entries - first;
    if (count > kLookupStretch) count = kLookupStretch;
    uint64_t end = table_data_end(r);
    for (uint64_t i = 0; i < count; i++) {
        TableEntry e;
        uint64_t next = decode_entry(r->map, end, offset, &e);
        if (next == 0) return false;
        int c = compare_keys(key, key_len, e.key, e.key_len);
        if (c < 0) return false;
        if (c == 0) {
            *out = e;
            return true;
        }
        offset = next;
    }
    return false;
}

void release_mapped_range(const sstable_reader *r, uint64_t begin, uint64_t end) {
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    // Whole pages only: the page holding `end` may still be in use.
    uint64_t first = (begin + page - 1) / page * page;
    uint64_t last = end / page * page;
    if (r->map == nullptr || last <= first || last > r->map_size) return;
    ::madvise(const_cast<uint8_t *>(r->map) + first, last - first, MADV_DONTNEED);
}

}  // namespace morva

using namespace morva;

namespace morva {

sstable_reader *open_table(const char *path, bool with_filter, int32_t *why) {
    int32_t unused;
    int32_t &status = why != nullptr ? *why : unused;
    status = DB_ERR_INVALID;
    if (path == nullptr) return nullptr;
    status = DB_ERR_NOMEM;
    sstable_reader *r = static_cast<sstable_reader *>(std::calloc(1, sizeof(sstable_reader)));
    if (r == nullptr) return nullptr;
    r->fd = -1;
    r->path = strdup(path);
    status = r->path == nullptr ? DB_ERR_NOMEM : map_file(r);
    if (status == DB_OK && !read_header(r)) status = DB_ERR_CORRUPT;
    if (status == DB_OK) status = read_index(r);
    if (status != DB_OK) {
        close_reader(r);
        return nullptr;
    }
    check_crc(r);
    if (with_filter) load_filter(r);
    return r;
}

}  // namespace morva

extern "C" MORVADB_API sstable_reader *sstable_reader_open(const char *path) {
    return morva::open_table(path, true, nullptr);
}

extern "C" MORVADB_API int32_t sstable_reader_get(const sstable_reader *r, const void *key, uint64_t key_len,
                                                  const void **value, uint64_t *value_len, uint8_t *flags) {
    if (r == nullptr || key == nullptr) return DB_ERR_INVALID;
    if (r->filter != nullptr && morvadb_bloom_maybe(r->filter, key, key_len) == 0) return DB_ERR_NOT_FOUND;
    TableEntry e;
    if (!find_entry(r, key, key_len, &e)) return DB_ERR_NOT_FOUND;
    if (flags != nullptr) *flags = e.flags;
    if (is_tombstone(e.flags)) return DB_ERR_NOT_FOUND;
    if (value != nullptr && value_len != nullptr) {
        *value = e.value;
        *value_len = e.value_len;
    }
    return DB_OK;
}

extern "C" MORVADB_API int32_t sstable_reader_scan(const sstable_reader *r, sstable_scan_fn callback, void *ctx) {
    if (r == nullptr || callback == nullptr) return DB_ERR_INVALID;
    TableIterator it(r);
    TableEntry e;
    while (it.next(&e)) {
        int rc = callback(e.key, e.key_len, e.value_len > 0 ? e.value : nullptr, e.value_len, e.flags, ctx);
        if (rc != 0) return rc;
    }
    return DB_OK;
}

extern "C" MORVADB_API void sstable_reader_close(sstable_reader *r) {
    if (r != nullptr) close_reader(r);
}

extern "C" MORVADB_API uint64_t sstable_reader_num_entries(const sstable_reader *r) {
    return r == nullptr ? 0 : r->num_entries;
}

extern "C" MORVADB_API uint64_t sstable_reader_sequence(const sstable_reader *r) {
    return r == nullptr ? 0 : r->sequence;
}

extern "C" MORVADB_API int sstable_reader_crc_ok(const sstable_reader *r) { return r == nullptr ? 0 : r->crc_state; }
