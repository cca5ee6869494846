// Write-ahead logs as a crash or a bad disk might leave them: open the log,
// replay it, then keep writing after what replay accepted. Replay must stop
// cleanly at a torn or damaged record and never read outside its buffers.
#include <morvadb.h>

#include <cstdlib>
#include <string>

#include "fuzz_support.h"

namespace {

int check_record(int is_delete, uint64_t, const void *key, uint64_t key_len, const void *value, uint64_t value_len,
                 void *ctx) {
    auto *sum = static_cast<uint64_t *>(ctx);
    if (is_delete != 0 && is_delete != 1) abort();
    if (is_delete && value != nullptr) abort();
    if (key_len > 0) *sum += static_cast<const uint8_t *>(key)[key_len - 1];
    if (value_len > 0 && value != nullptr) *sum += static_cast<const uint8_t *>(value)[value_len - 1];
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = morva::fuzz::scratch_path("db.wal");
    if (!morva::fuzz::write_file(path, data, size)) return 0;
    wal *log = wal_create(path.c_str(), WAL_SYNC_NONE);
    if (log == nullptr) return 0;
    uint64_t sum = 0;
    wal_replay(log, check_record, &sum);
    uint64_t last = wal_last_seq(log);
    static const char key[] = "after-replay";
    if (wal_append(log, 0, 1, key, sizeof key - 1, "v", 1) == DB_OK && wal_last_seq(log) != last + 1) abort();
    wal_sync(log);
    wal_destroy(log);
    return 0;
}
