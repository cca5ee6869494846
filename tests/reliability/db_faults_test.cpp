// Storage faults in the database engine. Each sweep runs a workload once to
// count the file calls it makes, then runs it again for every counted call
// with that call failing (EIO once; ENOSPC from then on; or a short write
// followed by ENOSPC), and checks:
//   - no call reports DB_OK for work that did not happen: after the fault is
//     removed and the database reopened, every acknowledged write is there
//     and no deleted key is back (a write that failed may or may not be);
//   - the handle keeps answering as acknowledged meanwhile, and works again
//     once the fault is gone;
//   - no file is left that keeps the database from opening.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <tuple>

#include "db/background.h"
#include "sstable/compaction.h"
#include "reliability/fault_sweep.h"
#include "reliability/reliability_support.h"

namespace reliability {
namespace {

using faults::Fault;

constexpr char kTable[] = "t";
constexpr char kSecondTable[] = "u";
constexpr uint32_t kKeys = 13;

// Calls a sweep fails for a kind: a short write only makes sense for writes.
unsigned write_calls_for(Fault kind) { return kind == Fault::kShortWrite ? faults::kWrite : faults::kWritePath; }

std::string short_value(uint32_t key, uint32_t version, size_t padding = 0) {
    char head[32];
    int n = std::snprintf(head, sizeof head, "k%uv%u", key, version);
    std::string value(head, static_cast<size_t>(n));
    value.append(version % 7 * 9 + padding, 'x');
    return value;
}

int32_t create_table(db_handle *db, const char *name) {
    const char *columns[] = {"body"};
    int32_t types[] = {COL_STRING};
    return db_create_table(db, name, columns, types, 1, "body");
}

bool has_table(db_handle *db, const std::string &name) {
    for (int32_t i = 0; i < db->table_count; ++i)
        if (name == db->tables[i].name) return true;
    return false;
}

// Puts and deletes over a small key space, recording each status.
void write_keys(db_handle *db, KeyModel &model, uint32_t first, uint32_t count, size_t padding = 0) {
    for (uint32_t i = first; i < first + count; ++i) {
        std::string key = key_for(i % kKeys);
        if (i % 5 == 4) {
            model.record(key, std::nullopt, db_delete(db, kTable, key.data(), key.size()));
        } else {
            std::string value = short_value(i % kKeys, i, padding);
            model.record(key, value, db_put(db, kTable, key.data(), key.size(), value.data(), value.size()));
        }
    }
}

struct Expected {
    KeyModel keys;
    std::vector<std::string> tables;  // acknowledged creations
};

// Reopens the database (no fault) and checks it against what was
// acknowledged; strict unless close reported lost writes.
void expect_reopens_with(const std::string &prefix, const db_options &options, const Expected &expected,
                         bool strict) {
    db_handle *db = nullptr;
    ASSERT_EQ(db_open(prefix.c_str(), &options, &db), DB_OK) << "a file left behind keeps the database closed";
    for (const std::string &name : expected.tables) EXPECT_TRUE(has_table(db, name)) << "table " << name;
    if (strict) expected.keys.expect_held_by(db, kTable);
    else expected.keys.expect_only_written_values(db, kTable);
    EXPECT_EQ(db_close(db), DB_OK);
}

// Once the fault is gone the handle works again: the table can be created
// (or exists) and a put is acknowledged.
void expect_works_again(db_handle *db, Expected &expected) {
    int32_t created = create_table(db, kTable);
    EXPECT_TRUE(created == DB_OK || created == DB_ERR_EXISTS) << created;
    if (created == DB_OK) expected.tables.push_back(kTable);
    std::string key = "after", value = "fault";
    int32_t put = db_put(db, kTable, key.data(), key.size(), value.data(), value.size());
    EXPECT_EQ(put, DB_OK);
    expected.keys.record(key, value, put);
}

// A workload that opens a database and writes to it, returning the open
// handle (null when the open failed), and what else to check on a handle
// that recovered from the fault.
struct Workload {
    db_options options;
    std::function<void(const std::string &prefix)> prepare = [](const std::string &) {};
    std::function<db_handle *(const std::string &prefix, Expected &expected)> session;
    std::function<void(db_handle *db, const std::string &prefix, const Expected &expected)> after_recovery =
        [](db_handle *, const std::string &, const Expected &) {};
};

// Runs the session with the fault armed at point, then either closes with
// the fault still there, or removes it and checks that the handle works
// again; then reopens and checks. True when the fault hit during the
// session (before close).
bool run_point(const Workload &w, const std::string &prefix, uint64_t point, Fault kind, bool keep_fault_for_close) {
    std::filesystem::create_directories(std::filesystem::path(prefix).parent_path());
    w.prepare(prefix);
    // Memtable node heights come from rand(); the same draws make every run
    // flush at the same moments, so the counted calls recur.
    std::srand(1);
    Expected expected;
    faults::arm(point, kind);
    db_handle *db = w.session(prefix, expected);
    bool fired_in_session = faults::fired();
    bool strict = true;
    if (db != nullptr && keep_fault_for_close) {
        // A fault that came and went leaves a handle that works.
        if (kind == Fault::kIoError && fired_in_session) expect_works_again(db, expected);
        int32_t closed = db_close(db);
        EXPECT_TRUE(closed == DB_OK || closed == DB_ERR_IO) << closed;
        strict = closed == DB_OK;
    } else if (db != nullptr) {
        faults::clear();
        expect_works_again(db, expected);
        w.after_recovery(db, prefix, expected);
        EXPECT_EQ(db_close(db), DB_OK);
    }
    faults::clear();
    expect_reopens_with(prefix, w.options, expected, strict);
    return fired_in_session;
}

// Counts the calls of one fault-free run, then fails each in turn: with
// the fault kept through close, and (when it hit before close) removed
// before close.
void sweep_workload(const Workload &w, Fault kind, bool collapse_runs) {
    TempDir dir;
    faults::watch(dir.path() + "/", write_calls_for(kind));
    std::vector<std::string> calls;
    {
        std::string prefix = dir.path() + "/count/db";
        std::filesystem::create_directories(dir.path() + "/count");
        w.prepare(prefix);
        std::srand(1);
        faults::start_recording();
        Expected expected;
        db_handle *db = w.session(prefix, expected);
        ASSERT_NE(db, nullptr);
        ASSERT_EQ(db_close(db), DB_OK);
        calls = faults::recorded();
    }
    ASSERT_GT(calls.size(), 20u);
    for (uint64_t point : failure_points(calls, collapse_runs)) {
        SCOPED_TRACE(describe_point(point, calls));
        std::string base = dir.path() + "/p" + std::to_string(point);
        bool fired_in_session = run_point(w, base + "/db", point, kind, true);
        ASSERT_TRUE(faults::fired());
        // A full disk that empties again: the same handle must recover.
        if (fired_in_session && kind != Fault::kIoError) run_point(w, base + "r/db", point, kind, false);
        if (::testing::Test::HasFailure()) break;
        std::filesystem::remove_all(base);
        std::filesystem::remove_all(base + "r");
    }
    faults::unwatch();
}

// The engine's write paths: log appends (and, in sync mode 0, the buffered
// write-outs), flushes with P.seq and level-0 tables, truncation of the
// log, catalog rewrites, and the flush, catalog and checkpoint of close.
class DatabaseFaults : public ::testing::TestWithParam<std::tuple<Fault, int32_t>> {};

TEST_P(DatabaseFaults, EveryWriteCallFailsInTurn) {
    // Sync mode 2 writes every record out and flushes a small memtable often.
    // Mode 0 keeps records in the log's buffer: values large enough to pass
    // its write-out threshold once before the memtable fills and flushes.
    const int32_t sync_mode = std::get<1>(GetParam());
    const bool buffered = sync_mode == WAL_SYNC_NONE;
    const size_t padding = buffered ? 900 : 0;
    Workload w;
    w.options = small_options(sync_mode, buffered ? 40 * 1024 : 1024);
    w.session = [&](const std::string &prefix, Expected &expected) -> db_handle * {
        db_handle *db = nullptr;
        if (db_open(prefix.c_str(), &w.options, &db) != DB_OK) {
            EXPECT_EQ(db, nullptr);
            return nullptr;
        }
        if (create_table(db, kTable) == DB_OK) expected.tables.push_back(kTable);
        write_keys(db, expected.keys, 0, 20, padding);
        if (create_table(db, kSecondTable) == DB_OK) expected.tables.push_back(kSecondTable);
        write_keys(db, expected.keys, 20, 25, padding);
        // Whatever failed, the handle answers as acknowledged.
        expected.keys.expect_held_by(db, kTable);
        return db;
    };
    sweep_workload(w, std::get<0>(GetParam()), false);
}

INSTANTIATE_TEST_SUITE_P(KindsAndSyncModes, DatabaseFaults,
                         ::testing::Combine(::testing::ValuesIn(write_fault_kinds()),
                                            ::testing::Values(WAL_SYNC_NONE, WAL_SYNC_ALWAYS)),
                         [](const auto &info) {
                             return std::string(faults::fault_name(std::get<0>(info.param))) + "_sync" +
                                    std::to_string(std::get<1>(info.param));
                         });

// Compaction: four level-0 tables (puts, overwrites, and deletes of keys
// only the oldest table holds, with nothing deeper, so the merge drops those
// tombstones) and one compaction step with each of its calls failing, reads
// of the inputs included.
class CompactionFaults : public ::testing::TestWithParam<Fault> {
protected:
    static db_options options() { return small_options(WAL_SYNC_NONE, 1 << 20); }

    // Each session's close writes its memtable as one level-0 table.
    static Expected build_level0(const std::string &prefix) {
        std::filesystem::create_directories(std::filesystem::path(prefix).parent_path());
        Expected expected;
        db_options o = options();
        for (uint32_t session = 0; session < 4; ++session) {
            db_handle *db = nullptr;
            EXPECT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
            if (db == nullptr) return expected;
            if (session == 0) {
                EXPECT_EQ(create_table(db, kTable), DB_OK);
            }
            for (uint32_t k = 0; k < 20; ++k) {
                std::string key = key_for(k);
                if (session == 2 && k % 3 == 0) {
                    expected.keys.record(key, std::nullopt, db_delete(db, kTable, key.data(), key.size()));
                } else if (session == 0 || k % 2 == session % 2) {
                    std::string value = short_value(k, session);
                    expected.keys.record(key, value, db_put(db, kTable, key.data(), key.size(), value.data(),
                                                            value.size()));
                }
            }
            EXPECT_EQ(db_close(db), DB_OK);
        }
        expected.tables.push_back(kTable);
        return expected;
    }
};

TEST_P(CompactionFaults, EveryCallOfAStepFailsInTurn) {
    Fault kind = GetParam();
    TempDir dir;
    faults::watch(dir.path() + "/", write_calls_for(kind) | (kind == Fault::kIoError ? unsigned{faults::kRead} : 0u));
    std::vector<std::string> calls;
    {
        std::string prefix = dir.path() + "/count/db";
        build_level0(prefix);
        db_options o = options();
        db_handle *db = nullptr;
        ASSERT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
        faults::start_recording();
        ASSERT_EQ(morva::compact_once(db), DB_OK);
        calls = faults::recorded();
        ASSERT_EQ(db_close(db), DB_OK);
    }
    ASSERT_GT(calls.size(), 10u);
    for (uint64_t point : failure_points(calls, false)) {
        SCOPED_TRACE(describe_point(point, calls));
        std::string base = dir.path() + "/p" + std::to_string(point);
        Expected expected = build_level0(base + "/db");
        db_options o = options();
        db_handle *db = nullptr;
        ASSERT_EQ(db_open((base + "/db").c_str(), &o, &db), DB_OK);
        faults::arm(point, kind);
        morva::compact_once(db);
        ASSERT_TRUE(faults::fired());
        faults::clear();
        // The next step finishes the work, and nothing changed for readers.
        EXPECT_EQ(morva::compact_once(db), DB_OK);
        expected.keys.expect_held_by(db, kTable);
        EXPECT_EQ(db_close(db), DB_OK);
        expect_reopens_with(base + "/db", o, expected, true);
        if (HasFailure()) break;
        std::filesystem::remove_all(base);
    }
    faults::unwatch();
}

INSTANTIATE_TEST_SUITE_P(Kinds, CompactionFaults, ::testing::ValuesIn(write_fault_kinds()),
                         [](const auto &info) { return std::string(faults::fault_name(info.param)); });

// A merge reads inputs larger than their share of its read buffers in
// several reads; whichever open or read of an input fails, the merge fails
// (its output would otherwise lack the rest of that input, which compaction
// then deletes) and leaves no output behind.
TEST(MergeReadFaults, EveryInputReadFailsTheMerge) {
    TempDir dir;
    std::filesystem::create_directories(dir.path() + "/in");
    std::vector<std::string> inputs;
    std::string value(300, 'v');
    for (uint64_t t = 0; t < 2; ++t) {
        std::string path = dir.path() + "/in/" + std::to_string(t) + ".sst";
        sstable_writer *w = sstable_writer_create((path + ".tmp").c_str(), path.c_str(), t + 1);
        ASSERT_NE(w, nullptr);
        for (uint32_t k = 0; k < 3000; ++k) {
            std::string key = key_for(k * 2 + static_cast<uint32_t>(t));
            ASSERT_EQ(sstable_writer_add(w, key.data(), key.size(), value.data(), value.size(), 0), DB_OK);
        }
        ASSERT_EQ(sstable_writer_finish(w), DB_OK);
        sstable_writer_destroy(w);
        inputs.push_back(path);
    }
    std::string output = dir.path() + "/merged.sst";
    faults::watch(dir.path() + "/in/", faults::kOpen | faults::kRead);
    faults::start_recording();
    ASSERT_EQ(morva::merge_tables(inputs, output, 3, {}), DB_OK);
    std::vector<std::string> calls = faults::recorded();
    ASSERT_GT(calls.size(), 8u);  // both inputs are read in several slices
    for (uint64_t point = 1; point <= calls.size(); ++point) {
        SCOPED_TRACE(describe_point(point, calls));
        std::filesystem::remove(output);
        faults::arm(point, Fault::kIoError);
        EXPECT_EQ(morva::merge_tables(inputs, output, 3, {}), DB_ERR_IO);
        EXPECT_TRUE(faults::fired());
        faults::clear();
        EXPECT_FALSE(std::filesystem::exists(output));
    }
    faults::unwatch();
}

// Publishing to followers: a mapped log one entry short of its switching
// point, so the first write replaces it with a fresh 64 MiB file, and every
// write call of the session fails in turn (the page-by-page fill of the new
// file counts by its first and last page). Writes stay acknowledged as they were, and once the
// fault is gone a follower opened anew sees every acknowledged write, unless
// the writer reports that it stopped publishing.
class MappedLogFaults : public ::testing::TestWithParam<Fault> {};

// Sparse file of the engine's size whose data is one long entry, so that
// reading it back at open is cheap.
void prepare_nearly_full_log(const std::string &prefix) {
    const uint64_t size = (WAL_MMAP_DEFAULT_DATA_SIZE + WAL_MMAP_HEADER_SIZE + 4095) / 4096 * 4096;
    const uint64_t capacity = size - WAL_MMAP_HEADER_SIZE;
    const uint64_t write_pos = WAL_MMAP_HEADER_SIZE + capacity * 20 / 25 - 40;
    std::vector<uint8_t> head(WAL_MMAP_HEADER_SIZE + WAL_MMAP_ENTRY_HEADER_SIZE, 0);
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(head.data() + at, &v, 8); };
    put64(0, WAL_MAGIC);
    uint32_t version = 1;
    std::memcpy(head.data() + 8, &version, 4);
    put64(16, write_pos);
    put64(24, capacity);
    put64(WAL_MMAP_HEADER_SIZE + 17, write_pos - WAL_MMAP_HEADER_SIZE - WAL_MMAP_ENTRY_HEADER_SIZE);
    std::string path = prefix + ".wal.mmap";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(head.data(), 1, head.size(), f), head.size());
    ASSERT_EQ(std::fclose(f), 0);
    std::filesystem::resize_file(path, size);
}

TEST_P(MappedLogFaults, EveryCallOfASwitchFailsInTurn) {
    Workload w;
    w.options = small_options(WAL_SYNC_ALWAYS, 4096);
    w.options.shared_mode = 1;
    w.prepare = prepare_nearly_full_log;
    w.session = [&](const std::string &prefix, Expected &expected) -> db_handle * {
        db_handle *db = nullptr;
        if (db_open(prefix.c_str(), &w.options, &db) != DB_OK) return nullptr;
        if (create_table(db, kTable) == DB_OK) expected.tables.push_back(kTable);
        write_keys(db, expected.keys, 0, 20);
        expected.keys.expect_held_by(db, kTable);
        return db;
    };
    // A writer that could not keep a log to publish into says so by clearing
    // shared_mode; otherwise a follower opened now misses nothing.
    w.after_recovery = [&](db_handle *db, const std::string &prefix, const Expected &expected) {
        if (!db->options.shared_mode) return;
        db_handle *follower = nullptr;
        ASSERT_EQ(db_open_reader(prefix.c_str(), &w.options, &follower), DB_OK);
        EXPECT_EQ(db_reader_refresh(follower), DB_OK);
        expected.keys.expect_held_by(follower, kTable);
        EXPECT_EQ(db_close(follower), DB_OK);
    };
    sweep_workload(w, GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(Kinds, MappedLogFaults, ::testing::ValuesIn(write_fault_kinds()),
                         [](const auto &info) { return std::string(faults::fault_name(info.param)); });

// Reads at open: the catalog, every table and the log replay, each read
// failing in turn. The open either fails with a clear status or opens with
// everything acknowledged; in neither case is anything lost for the next
// open (a read error is not mistaken for a damaged log tail and cut).
TEST(DatabaseReadFaults, EveryReadAtOpenFailsInTurn) {
    TempDir dir;
    const std::string snapshot = dir.path() + "/snapshot";
    db_options o = small_options(WAL_SYNC_ALWAYS, 1024);
    Expected expected;
    {
        std::string prefix = dir.path() + "/source/db";
        std::filesystem::create_directories(dir.path() + "/source");
        std::srand(1);
        db_handle *db = nullptr;
        ASSERT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
        ASSERT_EQ(create_table(db, kTable), DB_OK);
        expected.tables.push_back(kTable);
        write_keys(db, expected.keys, 0, 40);
        // Tables, catalog and a log holding the writes since the last flush,
        // as a crash would leave them.
        copy_files(dir.path() + "/source", snapshot);
        ASSERT_EQ(db_close(db), DB_OK);
    }
    faults::watch(dir.path() + "/", faults::kReadPath);
    std::vector<std::string> calls;
    {
        copy_files(snapshot, dir.path() + "/count");
        faults::start_recording();
        db_handle *db = nullptr;
        ASSERT_EQ(db_open((dir.path() + "/count/db").c_str(), &o, &db), DB_OK);
        calls = faults::recorded();
        ASSERT_EQ(db_close(db), DB_OK);
    }
    ASSERT_GT(calls.size(), 10u);
    for (uint64_t point : failure_points(calls, false)) {
        SCOPED_TRACE(describe_point(point, calls));
        std::string base = dir.path() + "/p" + std::to_string(point);
        copy_files(snapshot, base);
        faults::arm(point, Fault::kIoError);
        db_handle *db = nullptr;
        int32_t status = db_open((base + "/db").c_str(), &o, &db);
        ASSERT_TRUE(faults::fired());
        if (status == DB_OK) {
            expected.keys.expect_held_by(db, kTable);
            EXPECT_EQ(db_close(db), DB_OK);
        } else {
            EXPECT_TRUE(status == DB_ERR_IO || status == DB_ERR_NOMEM) << status;
            EXPECT_EQ(db, nullptr);
        }
        faults::clear();
        expect_reopens_with(base + "/db", o, expected, true);
        if (HasFailure()) break;
        std::filesystem::remove_all(base);
    }
    faults::unwatch();
}

// What close reports. With the log's records still buffered (sync mode 0)
// and the disk full from close's first write on, neither a table nor the
// log can take them: DB_ERR_IO, and the database still opens. A checkpoint
// that fails alone loses nothing and is not reported.
TEST(CloseFaults, ReportsOnlyWritesThatReachedNoFile) {
    TempDir dir;
    db_options o = small_options(WAL_SYNC_NONE, 1 << 20);
    faults::watch(dir.path() + "/", faults::kWritePath);
    // Opens, writes three keys, and closes with the fault armed at point
    // (counted from the close; 0: none, the calls are recorded instead).
    auto close_with_fault = [&](const std::string &name, uint64_t point) {
        std::string prefix = dir.path() + "/" + name + "/db";
        std::filesystem::create_directories(dir.path() + "/" + name);
        db_handle *db = nullptr;
        EXPECT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
        EXPECT_EQ(create_table(db, kTable), DB_OK);
        for (uint32_t k = 0; k < 3; ++k) {
            std::string key = key_for(k), value = short_value(k, 1);
            EXPECT_EQ(db_put(db, kTable, key.data(), key.size(), value.data(), value.size()), DB_OK);
        }
        if (point == 0) faults::start_recording();
        else faults::arm(point, Fault::kNoSpace);
        int32_t closed = db_close(db);
        faults::clear();
        return closed;
    };
    auto key_count_after_reopen = [&](const std::string &name) {
        std::string prefix = dir.path() + "/" + name + "/db";
        db_handle *db = nullptr;
        EXPECT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
        if (db == nullptr) return -1;
        int found = 0;
        for (uint32_t k = 0; k < 3; ++k) found += read_key(db, kTable, key_for(k)).has_value();
        EXPECT_EQ(db_close(db), DB_OK);
        return found;
    };

    ASSERT_EQ(close_with_fault("dry", 0), DB_OK);
    const std::vector<std::string> calls = faults::recorded();
    uint64_t checkpoint = 0;
    for (size_t i = 0; i < calls.size() && checkpoint == 0; ++i)
        if (calls[i].find(".ckpt.") != std::string::npos) checkpoint = i + 1;
    ASSERT_GT(checkpoint, 1u);

    EXPECT_EQ(close_with_fault("full", 1), DB_ERR_IO);
    EXPECT_EQ(key_count_after_reopen("full"), 0);
    EXPECT_EQ(close_with_fault("checkpoint", checkpoint), DB_OK);
    EXPECT_EQ(key_count_after_reopen("checkpoint"), 3);
    faults::unwatch();
}

// A real full disk from the kernel: a file size limit (with SIGXFSZ
// ignored, writes past it fail with EFBIG) below the size of one table, so
// every flush fails and the log grows until appends fail too.
TEST(DiskFull, FileSizeLimitFailsWritesCleanly) {
    TempDir dir;
    std::string prefix = dir.path() + "/db";
    db_options o = small_options(WAL_SYNC_ALWAYS, 4096);
    Expected expected;
    db_handle *db = nullptr;
    ASSERT_EQ(db_open(prefix.c_str(), &o, &db), DB_OK);
    ASSERT_EQ(create_table(db, kTable), DB_OK);
    expected.tables.push_back(kTable);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 48 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    int failed = 0;
    for (uint32_t i = 0; i < 400; ++i) {
        std::string key = key_for(i % 150), value = value_for(i % 150, i);
        int32_t status = db_put(db, kTable, key.data(), key.size(), value.data(), value.size());
        expected.keys.record(key, value, status);
        failed += status != DB_OK;
    }
    expected.keys.expect_held_by(db, kTable);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, previous);
    EXPECT_GT(failed, 0);
    EXPECT_LT(failed, 400);

    std::string key = "after", value = "space";
    int32_t put = db_put(db, kTable, key.data(), key.size(), value.data(), value.size());
    EXPECT_EQ(put, DB_OK);
    expected.keys.record(key, value, put);
    EXPECT_EQ(db_close(db), DB_OK);
    expect_reopens_with(prefix, o, expected, true);
}

}  // namespace
}  // namespace reliability
