// Sorted table files as a damaged disk or a crash might leave them: open,
// scan every entry, then look up every scanned key plus a few that are not
// in the file. A reader must never touch bytes outside its mapping.
#include <morvadb.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

struct Scanned {
    std::vector<std::string> keys;
    uint64_t value_bytes = 0;
};

int collect(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int, void *ctx) {
    auto *out = static_cast<Scanned *>(ctx);
    if (out->keys.size() < 4096) out->keys.emplace_back(static_cast<const char *>(key), key_len);
    // Touch the value so the sanitizer checks it lies inside the mapping.
    const auto *bytes = static_cast<const uint8_t *>(value);
    for (uint64_t i = 0; i < value_len; i += 64) out->value_bytes += bytes[i];
    if (value_len > 0) out->value_bytes += bytes[value_len - 1];
    return 0;
}

void look_up(sstable_reader *reader, const std::string &key) {
    const void *value = nullptr;
    uint64_t value_len = 0;
    uint8_t flags = 0;
    if (sstable_reader_get(reader, key.data(), key.size(), &value, &value_len, &flags) == DB_OK && value_len > 0) {
        volatile uint8_t first = static_cast<const uint8_t *>(value)[0];
        volatile uint8_t last = static_cast<const uint8_t *>(value)[value_len - 1];
        (void)first;
        (void)last;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = morva::fuzz::scratch_path("table.sst");
    if (!morva::fuzz::write_file(path, data, size)) return 0;
    sstable_reader *reader = sstable_reader_open(path.c_str());
    if (reader == nullptr) return 0;
    (void)sstable_reader_num_entries(reader);
    (void)sstable_reader_sequence(reader);
    (void)sstable_reader_crc_ok(reader);

    Scanned scanned;
    sstable_reader_scan(reader, collect, &scanned);
    for (const std::string &key : scanned.keys) {
        look_up(reader, key);
        look_up(reader, key + '\0');
        if (!key.empty()) look_up(reader, key.substr(0, key.size() - 1));
    }
    look_up(reader, std::string());
    look_up(reader, std::string(300, '\xff'));
    // Keys taken from the index points, which need not match any entry.
    for (uint64_t i = 0; i < reader->num_index && i < 256; ++i) {
        const sstable_index_point &point = reader->index[i];
        if (point.key != nullptr) look_up(reader, std::string(reinterpret_cast<const char *>(point.key), point.key_len));
    }
    sstable_reader_close(reader);
    return 0;
}
