// The memory-mapped log: the file through which a writer in shared mode
// publishes every put and delete to read-only followers in other processes.
//
// Invariants of a mapped log file:
//  - The 64-byte header holds the magic, version 1, the write position (the
//    absolute offset of the end of the last entry) and the data capacity.
//  - Entries lie back to back between offset 64 and the write position, in
//    the write-ahead log's record layout.
//  - The writer stores the write position atomically after the entry bytes;
//    a reader loads it atomically before reading, so a reader never sees a
//    partly written entry.
//
// A wal_mmap record has no lock: the writer serializes appends, syncs and
// switches under its handle's log mutex, and each follower owns its record.
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

constexpr uint64_t kMappedLogHeaderSize = WAL_MMAP_HEADER_SIZE;
constexpr uint64_t kMappedLogEntryHeaderSize = WAL_MMAP_ENTRY_HEADER_SIZE;
constexpr uint64_t kMappedLogMagic = 0x56454C444953ULL;
constexpr uint32_t kMappedLogVersion = 1;
constexpr uint64_t kMappedLogDefaultDataSize = WAL_MMAP_DEFAULT_DATA_SIZE;
constexpr uint64_t kMappedLogPageSize = 4096;

// Header field offsets.
constexpr uint64_t kMappedLogMagicOffset = 0;
constexpr uint64_t kMappedLogVersionOffset = 8;
constexpr uint64_t kMappedLogWritePosOffset = 16;
constexpr uint64_t kMappedLogCapacityOffset = 24;

// True when the record holds a live mapping (and so owns its descriptor).
bool mapped_log_is_open(const wal_mmap *log);

// Entry size for a write, or false when it would overflow 64 bits.
bool mapped_log_entry_size(int32_t op, uint64_t key_len, uint64_t value_len, uint64_t *size);

// The write position clamped to the mapping: the data-area offset up to
// which entries may be read. A hostile or damaged header can never make a
// reader look past its own mapping.
uint64_t mapped_log_readable_end(const wal_mmap *log);

// Synchronously writes back the mapping from the header up to absolute
// offset `to` (at least the header page) in one call. Each append is synced
// this way, so the pages before the append are already clean: only the
// header page and the appended pages are written, and the file system
// commits once, instead of syncing the whole mapping or several ranges.
int32_t mapped_log_sync_through(wal_mmap *log, uint64_t to);

// The file's identity, so a follower can notice that the writer replaced the
// file under the same name.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};
bool identity_of_path(const char *path, FileIdentity *out);
bool identity_of_log(const wal_mmap *log, FileIdentity *out);

// Maps an existing log read-only for a follower; when the file does not
// exist yet, creates a formatted empty log of data_size bytes under the name
// without ever touching a file that a writer may already use. A file without
// the log's magic and version is refused. 0 or -1.
int32_t mapped_log_open_follower(const char *path, uint64_t data_size, wal_mmap *out);

// True when a read-only mapping covers less of the file than data_size asks
// for and the file has grown since (a writer extended a short file in
// place): the reader should map it again to see the new entries.
bool mapped_log_grew(const wal_mmap *log, uint64_t data_size);

}  // namespace morva
