// Write-ahead log internals shared with the engine and the mapped log.
//
// The log file is a 20-byte header followed by records back to back:
//   u64 sequence | u8 op | u64 table id | u64 key length K | u64 value length V
//   | K key bytes | V value bytes (puts only)
// A `wal` is not thread-safe: the engine serializes every call on one log
// (appends under its log mutex; truncation with writers excluded).
#pragma once

#include <cstdint>

#include "morvadb.h"

namespace morva {

constexpr uint64_t kWalMagic = WAL_MAGIC;
constexpr uint32_t kWalVersion = WAL_VERSION;
constexpr uint64_t kWalHeaderSize = WAL_HEADER_SIZE;
constexpr uint64_t kWalRecordHeaderSize = WAL_RECORD_HEADER_SIZE;
constexpr uint64_t kWalBufferSize = WAL_BUFFER_SIZE;
constexpr uint64_t kWalFlushThreshold = WAL_FLUSH_THRESHOLD;
constexpr int32_t kWalSyncBatchAppends = WAL_SYNC_BATCH_APPENDS;
constexpr uint64_t kWalMaxFieldLen = WAL_MAX_FIELD_LEN;

// Encoded size of a record (33 + key, plus the value for a put). False when
// the sum would not fit in 64 bits.
bool log_record_size(bool is_delete, uint64_t key_len, uint64_t value_len, uint64_t *out);

// Writes one record into dst, which must hold log_record_size() bytes. The
// value bytes are written for puts only; deletes carry value_len in the
// length field but no bytes.
void encode_log_record(uint8_t *dst, uint64_t sequence, bool is_delete, uint64_t table_id, const void *key,
                       uint64_t key_len, const void *value, uint64_t value_len);

// Where a replay stopped.
struct WalReplayReport {
    uint64_t records = 0;        // whole records handed to the callback
    uint64_t end_offset = 0;     // file offset just past the last whole record
    uint64_t file_size = 0;      // size of the file when the replay finished reading
    bool damaged_tail = false;   // bytes after end_offset could not be read as a record
};

// Replays every whole record numbered above the header's base (records at
// or below it were in sorted tables when the header was written: a
// truncation whose cut failed leaves them) into callback (may be null),
// setting the log's last sequence to each record's. When the log ends in a torn or unreadable
// record and cut_damaged_tail is set, the file is cut back to end_offset so
// that later appends follow the last whole record instead of bytes no replay
// could ever get past. Returns DB_OK, DB_ERR_CORRUPT (oversized length, short
// key or value), DB_ERR_NOMEM, DB_ERR_INVALID or the callback's nonzero result.
int32_t replay_log(wal *w, wal_replay_fn callback, void *ctx, WalReplayReport *report, bool cut_damaged_tail);

// Cuts the log file at offset (not below the header): the records from there
// on are discarded. Buffered records are written out first.
int32_t cut_log_at(wal *w, uint64_t offset);

// Rewrites the log keeping only the records whose sequence is above
// flushed_seq, so that records logged after a memtable rotation survive the
// truncation that follows the flush. The numbering is kept.
int32_t truncate_log_after(wal *w, uint64_t flushed_seq);

}  // namespace morva
