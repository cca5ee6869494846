// Writes the seed corpora of the fuzz targets from real files the library
// produces, so that fuzzing starts from well-formed inputs and the seeds
// follow any change of a file format. Usage: fuzz_make_seeds OUTPUT_DIR;
// each target gets OUTPUT_DIR/<target>/.
#include <morvadb.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace fs = std::filesystem;
using morva::fuzz::join_parts;
using morva::fuzz::read_file;
using morva::fuzz::scratch_path;

namespace {

std::string g_out;

void seed(const std::string &target, const std::string &name, const std::vector<uint8_t> &bytes) {
    fs::create_directories(g_out + "/" + target);
    std::string path = g_out + "/" + target + "/" + name;
    if (!morva::fuzz::write_file(path, bytes.data(), bytes.size())) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

void seed_text(const std::string &target, const std::string &name, const std::string &text) {
    seed(target, name, std::vector<uint8_t>(text.begin(), text.end()));
}

void require(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "seed generation failed: %s\n", what);
        std::exit(1);
    }
}

// A table of n entries, every fifth a tombstone, keys "key%05d".
std::vector<uint8_t> write_table(int n, uint64_t sequence) {
    std::string path = scratch_path("seed.sst");
    sstable_writer *w = sstable_writer_create((path + ".tmp").c_str(), path.c_str(), sequence);
    require(w != nullptr, "sstable_writer_create");
    for (int i = 0; i < n; ++i) {
        char key[32], value[64];
        int klen = std::snprintf(key, sizeof key, "key%05d", i);
        int vlen = std::snprintf(value, sizeof value, "value-%d", i * 7);
        bool dead = i % 5 == 4;
        require(sstable_writer_add(w, key, klen, dead ? nullptr : value, dead ? 0 : vlen,
                                   dead ? SSTABLE_FLAG_TOMBSTONE : SSTABLE_FLAG_VALUE) == DB_OK,
                "sstable_writer_add");
    }
    require(sstable_writer_finish(w) == DB_OK, "sstable_writer_finish");
    sstable_writer_destroy(w);
    return read_file(path);
}

void put_u32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void sstable_seeds() {
    seed("sstable_reader_fuzz", "empty", write_table(0, 1));
    seed("sstable_reader_fuzz", "one", write_table(1, 2));
    std::vector<uint8_t> forty = write_table(40, 3);
    seed("sstable_reader_fuzz", "forty", forty);
    // The same table as an older writer stored it: version 1, no bloom block.
    std::vector<uint8_t> old = forty;
    put_u32(old, 4, 1);
    put_u64(old, 32, 0);
    seed("sstable_reader_fuzz", "forty_v1", old);
    seed("sstable_reader_fuzz", "seventy", write_table(70, 4));

    // The bloom block stored inside a real table.
    uint64_t bloom_offset = 0;
    for (int i = 0; i < 8; ++i) bloom_offset |= static_cast<uint64_t>(forty[32 + i]) << (8 * i);
    require(bloom_offset != 0 && bloom_offset < forty.size() - 4, "bloom offset");
    seed("bloom_load_fuzz", "from_table",
         std::vector<uint8_t>(forty.begin() + static_cast<long>(bloom_offset), forty.end() - 4));
}

void bloom_seeds() {
    for (uint32_t n : {1u, 3u, 100u}) {
        bloom_filter *f = morvadb_bloom_create(n, 10);
        require(f != nullptr, "morvadb_bloom_create");
        for (uint32_t i = 0; i < n; ++i) morvadb_bloom_insert(f, &i, sizeof i);
        std::vector<uint8_t> block(morvadb_bloom_serialized_size(f));
        morvadb_bloom_serialize(f, block.data());
        morvadb_bloom_destroy(f);
        seed("bloom_load_fuzz", "items" + std::to_string(n), block);
    }
}

void wal_seeds() {
    std::string path = scratch_path("seed.wal");
    ::unlink(path.c_str());
    wal *log = wal_create(path.c_str(), WAL_SYNC_ALWAYS);
    require(log != nullptr, "wal_create");
    wal_sync(log);
    seed("wal_replay_fuzz", "empty", read_file(path));
    for (int i = 0; i < 6; ++i) {
        std::string key = "k" + std::to_string(i);
        std::string value(static_cast<size_t>(i * 3), 'v');
        require(wal_append(log, i % 3 == 2 ? 1 : 0, 1 + i % 2, key.data(), key.size(), value.data(), value.size()) ==
                    DB_OK,
                "wal_append");
    }
    wal_sync(log);
    std::vector<uint8_t> records = read_file(path);
    seed("wal_replay_fuzz", "records", records);
    // A log torn in the middle of its last record, as a crash leaves it.
    seed("wal_replay_fuzz", "torn", std::vector<uint8_t>(records.begin(), records.end() - 3));
    require(wal_truncate(log) == DB_OK, "wal_truncate");
    wal_append(log, 0, 1, "after", 5, "truncate", 8);
    wal_sync(log);
    seed("wal_replay_fuzz", "truncated_base", read_file(path));
    wal_destroy(log);
}

void mapped_log_seeds() {
    std::string path = scratch_path("seed.wal.mmap");
    ::unlink(path.c_str());
    wal_mmap log;
    require(wal_mmap_open(path.c_str(), 1, 4096 - 64, &log) == 0, "wal_mmap_open");
    wal_mmap_sync(&log);
    seed("mapped_log_fuzz", "empty", read_file(path));
    for (int i = 0; i < 8; ++i) {
        std::string key = "key" + std::to_string(i);
        std::string value(static_cast<size_t>(i * 5), 'x');
        require(wal_mmap_append(&log, static_cast<uint64_t>(i + 1), i % 4 == 3 ? 1 : 0, 1, key.data(), key.size(),
                                value.data(), value.size()) > 0,
                "wal_mmap_append");
    }
    wal_mmap_sync(&log);
    wal_mmap_close(&log);
    seed("mapped_log_fuzz", "entries", read_file(path));
}

struct CatalogEntries {
    std::vector<std::string> parts;
};

int collect_entry(const void *key, uint64_t key_len, const void *value, uint64_t value_len, int, void *ctx) {
    auto *out = static_cast<CatalogEntries *>(ctx);
    // Stored as C strings; the harness adds the NUL back.
    out->parts.emplace_back(static_cast<const char *>(key), key_len ? key_len - 1 : 0);
    out->parts.emplace_back(static_cast<const char *>(value), value_len ? value_len - 1 : 0);
    return 0;
}

// A real database: tables, rows and a delete; its catalog, level-0 table and
// write-ahead log become seeds.
void database_seeds() {
    std::string prefix = scratch_path("seeddb");
    db_options options;
    std::memset(&options, 0, sizeof options);
    options.sync_mode = WAL_SYNC_ALWAYS;
    options.memtable_size = 1024;
    db_handle *db = nullptr;
    require(db_open(prefix.c_str(), &options, &db) == DB_OK, "db_open");
    const char *user_columns[] = {"id", "name", "score"};
    int32_t user_types[] = {COL_INT64, COL_STRING, COL_DOUBLE};
    require(db_create_table(db, "users", user_columns, user_types, 3, "id") == DB_OK, "db_create_table");
    const char *doc_columns[] = {"title", "body"};
    int32_t doc_types[] = {COL_STRING, COL_STRING};
    require(db_create_table(db, "docs", doc_columns, doc_types, 2, nullptr) == DB_OK, "db_create_table");
    for (int i = 0; i < 60; ++i) {
        std::string key = "user" + std::to_string(i);
        std::string value = "row value " + std::to_string(i * 11);
        require(db_put(db, "users", key.data(), key.size(), value.data(), value.size()) == DB_OK, "db_put");
    }
    require(db_delete(db, "users", "user3", 5) == DB_OK, "db_delete");
    seed("wal_replay_fuzz", "database", read_file(prefix + ".wal"));
    require(db_close(db) == DB_OK, "db_close");

    std::vector<uint8_t> system = read_file(prefix + ".system");
    require(!system.empty(), "catalog file");
    seed("catalog_fuzz", "system_file", system);
    seed("sstable_reader_fuzz", "catalog", system);
    sstable_reader *reader = sstable_reader_open((prefix + ".system").c_str());
    require(reader != nullptr, "catalog reader");
    CatalogEntries entries;
    sstable_reader_scan(reader, collect_entry, &entries);
    sstable_reader_close(reader);
    seed_text("catalog_fuzz", "entries", join_parts(entries.parts));
    seed_text("catalog_fuzz", "odd_columns",
              join_parts({"tables_count", "2", "table:0:t", "3|2|1:a|4:b", "table:1:u", "9|0|0:x"}));

    char *paths[16];
    int n = sstable_scan_dir(prefix.c_str(), paths, 16, nullptr);
    for (int i = 0; i < n; ++i) {
        if (i == 0) seed("sstable_reader_fuzz", "level0", read_file(paths[i]));
        std::free(paths[i]);
    }
}

void text_seeds() {
    const char *queries[] = {
        "hello world", "title:database AND engine", "\"exact phrase\" OR other", "NOT spam", "fuzzy~2",
        "boost^3.5 term", "price:[10 TO 20]", "(a OR b) AND c", "field:\"quoted phrase\"^2", "a*",
        "", "::::", "\"unterminated", "[open TO", "x~", "^",
    };
    int i = 0;
    for (const char *q : queries) seed_text("fts_query_parse_fuzz", "q" + std::to_string(i++), q);

    const char *texts[] = {
        "The quick brown fox jumps over the lazy dogs",
        "running runners ran; it's users' data-base 123abc",
        "  leading and trailing  ",
        "MiXeD CaSe WoRdS and stemming: connections connected connecting",
    };
    i = 0;
    for (const char *t : texts) {
        for (char settings : {'\0', '\3', '\4'}) seed_text("tokenizer_fuzz", "t" + std::to_string(i++), settings + std::string(t));
    }
    seed_text("tokenizer_fuzz", "long_word", std::string(1, '\1') + std::string(400, 'a') + " end");

    const char *utf8[] = {
        "hello world", "\xe6\x95\xb0\xe6\x8d\xae\xe5\xba\x93\xe5\xbc\x95\xe6\x93\x8e",
        "mixed \xe4\xb8\xad\xe6\x96\x87 text 42", "\xf0\x9f\x98\x80 emoji", "bad \xc3\x28 utf8 \xed\xa0\x80 surrogate",
        "\xe3\x83\x87\xe3\x83\xbc\xe3\x82\xbf\xe3\x83\x99\xe3\x83\xbc\xe3\x82\xb9",
    };
    i = 0;
    for (const char *t : utf8) seed_text("embed_text_fuzz", "u" + std::to_string(i++), t);

    // filter_match: type, operator index, value length, value bytes, literal.
    auto filter_seed = [](const std::string &name, uint8_t type, uint8_t op, const std::string &value,
                          const std::string &literal) {
        std::string s;
        s += static_cast<char>(type);
        s += static_cast<char>(op);
        s += static_cast<char>(value.size());
        s += value + literal;
        seed_text("filter_match_fuzz", name, s);
    };
    filter_seed("int32", COL_INT32, 0, std::string("\x03\0\0\0", 4), " 3.9");
    filter_seed("int64", COL_INT64, 4, std::string("\xff\xff\xff\xff\xff\xff\xff\x7f", 8), "-9223372036854775808");
    filter_seed("float", COL_FLOAT, 2, std::string("\x00\x00\xc0\x7f", 4), "nan");
    filter_seed("double", COL_DOUBLE, 5, std::string("\0\0\0\0\0\0\xf0\x3f", 8), "1e308");
    filter_seed("string", COL_STRING, 3, "abc", "abd");
    filter_seed("bool", COL_BOOL, 0, "\x01", "true");
    filter_seed("blob", COL_BLOB, 1, "xyz", "xyz");
}

// Persistent stores (flat and graph): a snapshot with a delete in it, then
// more changes that only the log holds.
void vector_seeds() {
    for (uint32_t index_type : {VEC_INDEX_FLAT, VEC_INDEX_HNSW}) {
        std::string dir = scratch_path(index_type == VEC_INDEX_FLAT ? "flatstore" : "graphstore");
        fs::remove_all(dir);
        vec_config config{};
        config.index_type = index_type;
        config.metric = index_type == VEC_INDEX_FLAT ? VEC_METRIC_L2 : VEC_METRIC_COSINE;
        config.dimension = 4;
        config.capacity = 64;
        config.persist = 1;
        config.m = 8;
        config.ef_construction = 32;
        config.ef_search = 16;
        vec_store *store = nullptr;
        require(morvadb_vec_create(dir.c_str(), &config, &store) == 0, "morvadb_vec_create");
        for (uint64_t id = 1; id <= 6; ++id) {
            float v[4] = {static_cast<float>(id), 1.0f, -0.5f * static_cast<float>(id), 0.25f};
            require(morvadb_vec_insert(store, id, v) == 0, "morvadb_vec_insert");
        }
        morvadb_vec_delete(store, 2);
        require(morvadb_vec_flush(store) == 0, "morvadb_vec_flush");
        for (uint64_t id = 5; id <= 9; ++id) {
            float v[4] = {0.5f, static_cast<float>(id), 2.0f, -1.0f};
            morvadb_vec_insert(store, id, v);
        }
        morvadb_vec_delete(store, 3);
        std::vector<std::string> parts;
        for (const char *name : {"meta", "vectors", "ids", "wal"}) {
            std::vector<uint8_t> bytes = read_file(dir + "/" + name);
            parts.emplace_back(bytes.begin(), bytes.end());
        }
        std::string name = index_type == VEC_INDEX_FLAT ? "flat" : "graph";
        seed_text("vec_store_fuzz", name, join_parts(parts));
        // The same directory with only its log: no snapshot yet.
        seed_text("vec_store_fuzz", name + "_log_only", join_parts({parts[0], "", "", parts[3]}));
        morvadb_vec_close(store);
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    g_out = argv[1];
    sstable_seeds();
    bloom_seeds();
    wal_seeds();
    mapped_log_seeds();
    database_seeds();
    text_seeds();
    vector_seeds();
    return 0;
}
