// Catalog files (P.system). An input that starts with the sorted table magic
// is the file itself; any other input is a list of entries, key and value
// alternating between part separators, which the harness writes as a real
// table so that mutations reach the entry parser instead of the container.
// Whatever loads must be a usable schema: names NUL-terminated, column
// arrays as long as the count says, the key column inside them.
#include <morvadb.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "db/catalog.h"
#include "db/handle.h"
#include "fuzz_support.h"

namespace {

bool write_entries(const std::string &path, const uint8_t *data, size_t size) {
    std::string temp = path + ".tmp";
    sstable_writer *w = sstable_writer_create(temp.c_str(), path.c_str(), 0);
    if (w == nullptr) return false;
    auto parts = morva::fuzz::split_parts(data, size, 2 * DB_MAX_TABLES + 2);
    for (size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].empty() && parts[i + 1].empty()) break;
        // Entries are stored as C strings with their NUL, as the engine writes them.
        std::string key(parts[i]), value(parts[i + 1]);
        sstable_writer_add(w, key.c_str(), key.size() + 1, value.c_str(), value.size() + 1, SSTABLE_FLAG_VALUE);
    }
    int32_t rc = sstable_writer_finish(w);
    sstable_writer_destroy(w);
    return rc == DB_OK;
}

void check_schema(const db_handle &db) {
    if (db.table_count < 0 || db.table_count > DB_MAX_TABLES) abort();
    for (int32_t i = 0; i < db.table_count; ++i) {
        const table_schema &t = db.tables[i];
        if (memchr(t.name, 0, sizeof t.name) == nullptr) abort();
        if (t.column_count < 0 || t.table_id != i + 1) abort();
        if (t.key_column < -1 || t.key_column >= t.column_count) abort();
        for (int32_t c = 0; c < t.column_count; ++c) {
            if (t.column_names[c] == nullptr) abort();
            (void)std::strlen(t.column_names[c]);
            (void)t.column_types[c];
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string prefix = morva::fuzz::scratch_path("db");
    static const std::string system_path = prefix + ".system";
    static const uint8_t kMagic[4] = {0x54, 0x4E, 0x53, 0x4D};
    bool raw = size >= 4 && std::memcmp(data, kMagic, 4) == 0;
    if (!(raw ? morva::fuzz::write_file(system_path, data, size) : write_entries(system_path, data, size))) return 0;

    db_handle db;
    std::memset(&db, 0, sizeof db);
    db.path = const_cast<char *>(prefix.c_str());
    morva::load_catalog(&db);
    check_schema(db);
    db.path = nullptr;
    morva::free_tables(&db);
    return 0;
}
