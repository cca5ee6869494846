// Concurrency stress: writer threads, reader threads, queries, full-text
// searches and a compaction thread on one handle, and a persistent vector
// store with a writer, searchers and its flush thread, for a bounded time;
// then a consistency check before and after a reopen. Meant for the TSan build:
// every race the run provokes is a failure there.
//
// Follower processes read the same database through the writer's published
// log and must end up with exactly the writer's final state.
//
// MORVADB_STRESS_MS sets the length of the busy phase (short by default).
#include <gtest/gtest.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/background.h"
#include "reliability/reliability_support.h"

namespace reliability {
namespace {

constexpr uint32_t kWriters = 2;
constexpr uint32_t kKeysPerWriter = 300;
constexpr int64_t kDefaultStressMs = 1500;
constexpr int kFollowers = 2;
constexpr uint32_t kVectorIds = 400;
constexpr uint32_t kDimension = 16;
// How long a follower may take to catch up once the writer has stopped.
constexpr auto kCatchUpLimit = std::chrono::seconds(20);

const char *const kTable = "kv";
const char *const kRowTable = "rows";

// A row of the "rows" table: name (string), n (int64).
std::string encode_row(const std::string &name, int64_t n) {
    std::string row;
    int32_t len = static_cast<int32_t>(name.size());
    row.append(reinterpret_cast<const char *>(&len), sizeof len);
    row += name;
    row.append(reinterpret_cast<const char *>(&n), sizeof n);
    return row;
}

// Parses a value written by value_for; the key and version it names, or
// nothing when the bytes are not such a value.
std::optional<std::pair<uint32_t, uint32_t>> parse_value(const void *value, uint64_t len) {
    std::string text(static_cast<const char *>(value), len);
    unsigned key = 0, version = 0;
    if (std::sscanf(text.c_str(), "key=%u version=%u|", &key, &version) != 2) return std::nullopt;
    if (value_for(key, version) != text) return std::nullopt;
    return std::make_pair(key, version);
}

// Final state a writer left each of its keys in: version, or 0 for deleted.
using FinalState = std::map<uint32_t, uint32_t>;

void write_final_state(const std::string &path, const std::vector<FinalState> &finals) {
    std::ofstream out(path);
    for (const FinalState &state : finals) {
        for (const auto &[key, version] : state) out << key << ' ' << version << '\n';
    }
}

FinalState read_final_state(const std::string &path) {
    FinalState state;
    std::ifstream in(path);
    uint32_t key, version;
    while (in >> key >> version) state[key] = version;
    return state;
}

// Whether the follower shows every key as the writer left it; the first
// difference goes to *why.
bool follower_matches(db_handle *db, const FinalState &state, std::string *why) {
    for (const auto &[key, version] : state) {
        std::string k = key_for(key);
        const void *value = nullptr;
        uint64_t len = 0;
        int32_t rc = db_get(db, "kv", k.data(), k.size(), &value, &len);
        bool ok = version == 0 ? rc == DB_ERR_NOT_FOUND
                               : rc == DB_OK && std::string(static_cast<const char *>(value), len) == value_for(key, version);
        if (!ok) {
            *why = "key " + std::to_string(key) + " status " + std::to_string(rc);
            return false;
        }
    }
    return true;
}

// A follower process: waits for the writer to be ready, reads while the
// writer works (every value must be one written for its key), then catches
// up with the final state. Exit status 0 when all went well.
[[noreturn]] void run_follower(const std::string &prefix, int go_fd, int stop_fd, const std::string &final_path,
                               uint64_t seed) {
    char byte;
    if (read(go_fd, &byte, 1) != 1) _exit(20);
    db_options options = small_options(WAL_SYNC_NONE);
    db_handle *db = nullptr;
    if (db_open_reader(prefix.c_str(), &options, &db) != DB_OK) _exit(21);
    std::mt19937_64 rng(seed);
    for (;;) {
        struct timeval no_wait = {0, 0};
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(stop_fd, &ready);
        if (select(stop_fd + 1, &ready, nullptr, nullptr, &no_wait) > 0) break;
        uint32_t key = static_cast<uint32_t>(rng() % (kWriters * kKeysPerWriter));
        std::string k = key_for(key);
        const void *value = nullptr;
        uint64_t len = 0;
        int32_t rc = db_get(db, "kv", k.data(), k.size(), &value, &len);
        if (rc == DB_OK) {
            auto parsed = parse_value(value, len);
            if (!parsed || parsed->first != key) {
                std::fprintf(stderr, "follower: key %u holds a foreign value\n", key);
                _exit(22);
            }
        } else if (rc != DB_ERR_NOT_FOUND) {
            std::fprintf(stderr, "follower: db_get status %d\n", rc);
            _exit(23);
        }
    }
    FinalState state = read_final_state(final_path);
    std::string why;
    auto deadline = std::chrono::steady_clock::now() + kCatchUpLimit;
    while (!follower_matches(db, state, &why)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "follower never caught up: %s\n", why.c_str());
            _exit(24);
        }
        db_reader_refresh(db);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    db_close(db);
    _exit(0);
}

std::vector<float> vector_for(uint32_t id, uint32_t version) {
    std::vector<float> v(kDimension);
    for (uint32_t i = 0; i < kDimension; ++i) v[i] = static_cast<float>((id * 31 + version * 7 + i * 13) % 97) / 8.0f;
    return v;
}

int32_t even_ids_only(uint64_t id, void *) { return id % 2 == 0 ? 1 : 0; }

class StressTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = dir_.path() + "/db";
        final_path_ = dir_.path() + "/final";
        start_followers();
        options_ = small_options(WAL_SYNC_NONE, 16384);
        options_.shared_mode = 1;
        ASSERT_EQ(db_open(prefix_.c_str(), &options_, &db_), DB_OK);
        const char *kv_columns[] = {"value"};
        int32_t kv_types[] = {COL_BLOB};
        ASSERT_EQ(db_create_table(db_, kTable, kv_columns, kv_types, 1, nullptr), DB_OK);
        const char *row_columns[] = {"name", "n"};
        int32_t row_types[] = {COL_STRING, COL_INT64};
        ASSERT_EQ(db_create_table(db_, kRowTable, row_columns, row_types, 2, "name"), DB_OK);
        ASSERT_EQ(db_fts_create_index(db_, kRowTable, "name"), DB_OK);
        db_vec_options vec_options{};
        vec_options.dimension = kDimension;
        vec_options.use_hnsw = 1;
        vec_options.m = 8;
        vec_options.ef_construction = 40;
        ASSERT_EQ(db_vec_create_index(db_, &vec_options), DB_OK);
        // Compaction is driven by a test thread at a far higher rate than the
        // background thread's, which must then not run beside it.
        morva::stop_background(db_);
        store_dir_ = dir_.path() + "/vectors";
        vec_config config{};
        config.index_type = VEC_INDEX_HNSW;
        config.metric = VEC_METRIC_L2;
        config.dimension = kDimension;
        // Every overwrite adds a graph node (the old one is only marked), so
        // leave room for far more inserts than a fast run makes.
        config.capacity = 1u << 20;
        config.persist = 1;
        config.m = 8;
        config.ef_construction = 40;
        config.ef_search = 20;
        ASSERT_EQ(morvadb_vec_create(store_dir_.c_str(), &config, &store_), 0);
        // Checkpoints from the store's own thread, racing the writer.
        ASSERT_EQ(morvadb_vec_flush_interval(store_, 20), 0);
        // The writer is ready: followers may open.
        for (int i = 0; i < kFollowers; ++i) ASSERT_EQ(write(go_pipe_[1], "g", 1), 1);
    }

    // Forked before the writer opens (and so before any thread starts), which
    // keeps fork safe under the thread sanitizer.
    void start_followers() {
        ASSERT_EQ(pipe(go_pipe_), 0);
        ASSERT_EQ(pipe(stop_pipe_), 0);
        for (int i = 0; i < kFollowers; ++i) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(go_pipe_[1]);
                close(stop_pipe_[1]);
                run_follower(prefix_, go_pipe_[0], stop_pipe_[0], final_path_, 1000 + static_cast<uint64_t>(i));
            }
            followers_.push_back(pid);
        }
        close(go_pipe_[0]);
        close(stop_pipe_[0]);
    }

    // Hands the final state to the followers and collects their verdicts.
    void finish_followers(const std::vector<FinalState> &finals) {
        write_final_state(final_path_, finals);
        close(stop_pipe_[1]);
        stop_pipe_[1] = -1;
        for (pid_t pid : followers_) {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "follower failed with status " << (WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status));
        }
        followers_.clear();
    }

    void TearDown() override {
        if (store_ != nullptr) morvadb_vec_close(store_);
        // Followers still waiting (a failed setup) see end of file and exit.
        if (go_pipe_[1] >= 0) close(go_pipe_[1]);
        if (stop_pipe_[1] >= 0) close(stop_pipe_[1]);
        for (pid_t pid : followers_) waitpid(pid, nullptr, 0);
        if (db_ != nullptr) {
            EXPECT_EQ(db_close(db_), DB_OK);
        }
    }

    void fail(const std::string &what) {
        std::lock_guard<std::mutex> lock(failures_mutex_);
        if (failures_.size() < 20) failures_.push_back(what);
    }

    // Writer w owns keys w, w + kWriters, ...: puts and deletes them in random
    // order and remembers what it left behind.
    void writer(uint32_t w, uint64_t seed, FinalState &final_state) {
        std::mt19937_64 rng(seed);
        uint32_t version = w * 100000000u;
        while (!stop_.load(std::memory_order_relaxed)) {
            uint32_t key = w + kWriters * static_cast<uint32_t>(rng() % kKeysPerWriter);
            std::string k = key_for(key);
            int32_t rc;
            if (rng() % 4 == 0) {
                rc = db_delete(db_, kTable, k.data(), k.size());
                final_state[key] = 0;
            } else {
                std::string v = value_for(key, ++version);
                rc = db_put(db_, kTable, k.data(), k.size(), v.data(), v.size());
                final_state[key] = version;
            }
            if (rc != DB_OK) fail("write status " + std::to_string(rc));
            writes_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Readers check statuses; with check_bytes they also read the value and
    // require it to be one some writer wrote for that key.
    void reader(uint64_t seed, bool check_bytes) {
        std::mt19937_64 rng(seed);
        while (!stop_.load(std::memory_order_relaxed)) {
            uint32_t key = static_cast<uint32_t>(rng() % (kWriters * kKeysPerWriter));
            std::string k = key_for(key);
            const void *value = nullptr;
            uint64_t len = 0;
            int32_t rc = db_get(db_, kTable, k.data(), k.size(), &value, &len);
            if (rc == DB_OK) {
                if (value == nullptr || len == 0) fail("db_get without a value");
                if (check_bytes) {
                    auto parsed = parse_value(value, len);
                    if (!parsed || parsed->first != key) fail("key " + std::to_string(key) + " holds a foreign value");
                }
            } else if (rc != DB_ERR_NOT_FOUND) {
                fail("db_get status " + std::to_string(rc));
            }
            reads_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Rows with n = 0 .. 99 under changing names; queries keep n > 50 only.
    void row_writer(uint64_t seed) {
        std::mt19937_64 rng(seed);
        while (!stop_.load(std::memory_order_relaxed)) {
            uint32_t i = static_cast<uint32_t>(rng() % 100);
            std::string key = "row" + std::to_string(i);
            std::string row = encode_row("name" + std::to_string(rng() % 1000), i);
            if (db_put(db_, kRowTable, key.data(), key.size(), row.data(), row.size()) != DB_OK) fail("row put");
        }
    }

    void querier() {
        while (!stop_.load(std::memory_order_relaxed)) {
            query_builder *qb = db_query(db_, kRowTable);
            if (qb == nullptr) {
                fail("db_query");
                continue;
            }
            qb_filter(qb, "n", ">", "50");
            qb_sort(qb, "n", 1);
            result_set *rs = qb_exec(qb);
            if (rs == nullptr) fail("qb_exec");
            int64_t previous = -1;
            while (rs != nullptr && rs_next(rs)) {
                const void *data = nullptr;
                uint64_t len = 0;
                int64_t n = 0;
                if (rs_get_column(rs, 1, &data, &len) != DB_OK || len != sizeof n) {
                    fail("row without its n column");
                    break;
                }
                std::memcpy(&n, data, sizeof n);
                if (n <= 50 || n >= 100 || n < previous) fail("query row n=" + std::to_string(n));
                previous = n;
            }
            rs_close(rs);
            qb_destroy(qb);
            queries_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    void searcher() {
        const char *queries[] = {"name1 OR name2", "nam~1", "row AND name", "\"name 5\""};
        for (uint32_t i = 0; !stop_.load(std::memory_order_relaxed); ++i) {
            result_set *rs = nullptr;
            int32_t rc = db_fts_search(db_, kRowTable, "name", queries[i % 4], &rs);
            if (rc != DB_OK && rc != DB_ERR_INVALID) fail("db_fts_search status " + std::to_string(rc));
            while (rs != nullptr && rs_next(rs)) {
            }
            rs_close(rs);
        }
    }

    // Inserts (overwrites) and deletes vectors; remembers what it left.
    void vector_writer(uint64_t seed, FinalState &final_state) {
        std::mt19937_64 rng(seed);
        uint32_t version = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            uint32_t id = static_cast<uint32_t>(rng() % kVectorIds);
            if (rng() % 5 == 0) {
                int32_t rc = morvadb_vec_delete(store_, id);
                if (rc != 0 && rc != -2) fail("vector delete status " + std::to_string(rc));
                final_state[id] = 0;
            } else {
                ++version;
                if (int32_t rc = morvadb_vec_insert(store_, id, vector_for(id, version).data()); rc != 0) fail("vector insert status " + std::to_string(rc));
                final_state[id] = version;
            }
            vector_writes_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    // Results must be sorted, within the id range, and honour filters.
    void vector_searcher(uint64_t seed) {
        std::mt19937_64 rng(seed);
        std::vector<vec_result> results(64);
        while (!stop_.load(std::memory_order_relaxed)) {
            std::vector<float> query = vector_for(static_cast<uint32_t>(rng() % kVectorIds), 1);
            int32_t n;
            switch (rng() % 3) {
            case 0: n = morvadb_vec_search(store_, query.data(), 10, results.data()); break;
            case 1: n = morvadb_vec_search_filtered(store_, query.data(), 10, even_ids_only, nullptr, results.data()); break;
            default: n = morvadb_vec_search_radius(store_, query.data(), results.data(), 64, 20.0f); break;
            }
            if (n < 0) {
                fail("vector search status " + std::to_string(n));
                continue;
            }
            for (int32_t i = 0; i < n; ++i) {
                if (results[i].id >= kVectorIds) fail("vector search returned an unknown id");
                if (i > 0 && results[i].distance < results[i - 1].distance) fail("vector results out of order");
            }
            vector_searches_.fetch_add(1, std::memory_order_relaxed);
            // The store's lock lets readers overtake a waiting writer; back
            // off so that writes and checkpoints interleave with searches.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }

    // The handle's own vector index: texts and raw vectors in, nearest
    // neighbours and fused hybrid results out, all on the shared handle.
    void handle_vectors(uint64_t seed) {
        std::mt19937_64 rng(seed);
        vec_result results[8];
        hybrid_result fused[8];
        hybrid_options hybrid{};
        hybrid.vector_weight = 1.0;
        hybrid.text_weight = 1.0;
        while (!stop_.load(std::memory_order_relaxed)) {
            uint64_t id = rng() % 200;
            std::string text = "name" + std::to_string(rng() % 1000) + " row";
            int32_t rc = DB_OK;
            int32_t n = 0;
            std::vector<float> v = vector_for(static_cast<uint32_t>(id), 3);
            switch (rng() % 6) {
            case 0: rc = db_vec_insert_text(db_, id, text.data(), text.size()); break;
            case 1: rc = db_vec_insert_vector(db_, id, v.data()); break;
            case 2: db_vec_delete(db_, id); break;
            case 3: n = db_vec_search(db_, v.data(), 8, results); break;
            case 4: n = db_vec_search_text(db_, text.data(), text.size(), 8, results); break;
            default: n = db_hybrid_search(db_, kRowTable, "name", "name1 OR name2", v.data(), &hybrid, fused, 8); break;
            }
            if (rc != DB_OK) fail("handle vector write status " + std::to_string(rc));
            if (n < 0 || n > 8) fail("handle vector search result " + std::to_string(n));
            handle_vector_calls_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    void check_vectors(const FinalState &state, const char *when) {
        std::vector<float> got(kDimension);
        for (const auto &[id, version] : state) {
            int32_t rc = morvadb_vec_get(store_, id, got.data());
            if (version == 0) {
                EXPECT_EQ(rc, -2) << when << ": deleted vector " << id << " is back";
            } else {
                ASSERT_EQ(rc, 0) << when << ": vector " << id << " lost";
                EXPECT_EQ(got, vector_for(id, version)) << when << ": vector " << id;
            }
        }
    }

    void compactor() {
        while (!stop_.load(std::memory_order_relaxed)) {
            if (morva::compact_once(db_) != DB_OK) fail("compaction step failed");
            compactions_.fetch_add(1, std::memory_order_relaxed);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Every key holds exactly what its writer left.
    void check_final(const std::vector<FinalState> &finals, const char *when) {
        for (const FinalState &state : finals) {
            for (const auto &[key, version] : state) {
                std::string k = key_for(key);
                const void *value = nullptr;
                uint64_t len = 0;
                int32_t rc = db_get(db_, kTable, k.data(), k.size(), &value, &len);
                if (version == 0) {
                    EXPECT_EQ(rc, DB_ERR_NOT_FOUND) << when << ": deleted key " << key << " is back";
                } else {
                    ASSERT_EQ(rc, DB_OK) << when << ": key " << key << " lost";
                    EXPECT_EQ(std::string(static_cast<const char *>(value), len), value_for(key, version))
                        << when << ": key " << key;
                }
            }
        }
    }

    TempDir dir_;
    std::string prefix_;
    std::string final_path_;
    std::string store_dir_;
    vec_store *store_ = nullptr;
    int go_pipe_[2] = {-1, -1};
    int stop_pipe_[2] = {-1, -1};
    std::vector<pid_t> followers_;
    db_options options_;
    db_handle *db_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> writes_{0}, reads_{0}, queries_{0}, compactions_{0}, vector_writes_{0}, vector_searches_{0},
        handle_vector_calls_{0};
    std::mutex failures_mutex_;
    std::vector<std::string> failures_;
};

TEST_F(StressTest, MixedWorkloadStaysConsistent) {
    const uint64_t seed = test_seed();
    SCOPED_TRACE("MORVADB_TEST_SEED=" + std::to_string(seed));
    const auto duration = std::chrono::milliseconds(env_int("MORVADB_STRESS_MS", kDefaultStressMs));

    std::vector<FinalState> finals(kWriters);
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < kWriters; ++w) threads.emplace_back([&, w] { writer(w, seed + w, finals[w]); });
    for (uint32_t r = 0; r < 2; ++r) threads.emplace_back([&, r] { reader(seed + 100 + r, false); });
    threads.emplace_back([&] { row_writer(seed + 200); });
    threads.emplace_back([&] { querier(); });
    threads.emplace_back([&] { searcher(); });
    threads.emplace_back([&] { compactor(); });
    FinalState vector_final;
    threads.emplace_back([&] { vector_writer(seed + 300, vector_final); });
    for (uint32_t r = 0; r < 2; ++r) threads.emplace_back([&, r] { vector_searcher(seed + 400 + r); });
    threads.emplace_back([&] { handle_vectors(seed + 500); });
    std::this_thread::sleep_for(duration);
    stop_.store(true);
    for (std::thread &t : threads) t.join();

    for (const std::string &f : failures_) ADD_FAILURE() << f;
    std::printf("%llu writes, %llu reads, %llu queries, %llu compaction steps, %llu vector writes, %llu vector searches\n",
                static_cast<unsigned long long>(writes_.load()), static_cast<unsigned long long>(reads_.load()),
                static_cast<unsigned long long>(queries_.load()), static_cast<unsigned long long>(compactions_.load()),
                static_cast<unsigned long long>(vector_writes_.load()),
                static_cast<unsigned long long>(vector_searches_.load()));
    EXPECT_GT(writes_.load(), 0u);
    EXPECT_GT(vector_writes_.load(), 0u);
    EXPECT_GT(handle_vector_calls_.load(), 0u);

    check_vectors(vector_final, "after the run");
    ASSERT_EQ(morvadb_vec_close(store_), 0);
    store_ = nullptr;
    ASSERT_EQ(morvadb_vec_open(store_dir_.c_str(), &store_), 0);
    check_vectors(vector_final, "after reopening the store");

    check_final(finals, "after the run");
    finish_followers(finals);
    ASSERT_EQ(db_close(db_), DB_OK);
    db_ = nullptr;
    ASSERT_EQ(db_open(prefix_.c_str(), &options_, &db_), DB_OK);
    check_final(finals, "after reopen");
}

// Reading the bytes db_get returns while other threads overwrite the same
// keys and flush: the value is the reader's own copy, so it is never torn
// (and the thread sanitizer sees no use after free).
TEST_F(StressTest, ConcurrentReadersCopyIntactValues) {
    const uint64_t seed = test_seed();
    SCOPED_TRACE("MORVADB_TEST_SEED=" + std::to_string(seed));
    std::vector<FinalState> finals(kWriters);
    std::vector<std::thread> threads;
    for (uint32_t w = 0; w < kWriters; ++w) threads.emplace_back([&, w] { writer(w, seed + w, finals[w]); });
    for (uint32_t r = 0; r < 2; ++r) threads.emplace_back([&, r] { reader(seed + 100 + r, true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(env_int("MORVADB_STRESS_MS", kDefaultStressMs)));
    stop_.store(true);
    for (std::thread &t : threads) t.join();
    for (const std::string &f : failures_) ADD_FAILURE() << f;
    check_final(finals, "after the run");
    finish_followers(finals);
}

}  // namespace
}  // namespace reliability
