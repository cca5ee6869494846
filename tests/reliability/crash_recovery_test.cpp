// Crash recovery: a child process writes (puts, deletes, table creations
// with sync_mode 2; inserts, deletes and checkpoints in a persistent vector
// store) and reports each write before and after making it; the
// parent kills it with SIGKILL at a random moment, reopens the database and
// checks it against what the child acknowledged. The one write that was in
// flight at the kill may or may not have happened; everything else must be
// exactly as acknowledged.
//
// MORVADB_CRASH_ITERATIONS sets the number of kills (a short run by default),
// MORVADB_TEST_SEED replays a failing run.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db/background.h"
#include "reliability/reliability_support.h"

namespace reliability {
namespace {

constexpr uint32_t kKeySpace = 200;
constexpr uint32_t kVectorIds = 120;
constexpr uint32_t kDimension = 8;

enum class Op : uint32_t {
    kPut = 0,
    kDelete = 1,
    kCreateTable = 2,
    kCreateStore = 3,  // the vector store exists once this is acknowledged
    kVecInsert = 4,
    kVecDelete = 5,
    kVecCheckpoint = 6,
};
enum class Stage : uint32_t { kIntent = 1, kDone = 2 };

// One report from the child; 16 bytes, so a pipe write is atomic and a kill
// never leaves half a message.
struct Message {
    Stage stage;
    Op op;
    uint32_t key;      // key number, or table number for kCreateTable
    uint32_t version;  // version of a put's value
};
static_assert(sizeof(Message) <= PIPE_BUF);

std::string table_name(uint32_t number) { return "t" + std::to_string(number); }

// The vector inserted for (id, version); exact floats, compared bit for bit.
std::vector<float> vector_for(uint32_t id, uint32_t version) {
    std::vector<float> v(kDimension);
    for (uint32_t i = 0; i < kDimension; ++i) {
        v[i] = static_cast<float>(id) + static_cast<float>(version % 4096) / 64.0f - static_cast<float>(i) * 0.5f;
    }
    return v;
}

vec_config store_config(uint32_t index_type) {
    vec_config config{};
    config.index_type = index_type;
    config.metric = VEC_METRIC_L2;
    config.dimension = kDimension;
    config.capacity = index_type == VEC_INDEX_HNSW ? 4096 : 0;
    config.persist = 1;
    config.m = 8;
    config.ef_construction = 32;
    config.ef_search = 16;
    return config;
}

void send(int fd, const Message &m) {
    if (write(fd, &m, sizeof m) != static_cast<ssize_t>(sizeof m)) _exit(10);
}

// The child: opens the database and writes until it is killed. Exits with a
// nonzero code only when an operation fails, which the parent reports.
[[noreturn]] void run_writer(const std::string &prefix, const std::string &store_dir, uint32_t index_type, int fd,
                             uint64_t seed, uint32_t first_version) {
    db_options options = small_options(WAL_SYNC_ALWAYS);
    db_handle *db = nullptr;
    if (db_open(prefix.c_str(), &options, &db) != DB_OK) _exit(3);
    // The store of an earlier life, or a new one (a kill may have cut its
    // creation short; then it is created again).
    vec_store *store = nullptr;
    int32_t opened = morvadb_vec_open(store_dir.c_str(), &store);
    if (opened == -2) {
        vec_config config = store_config(index_type);
        Message created{Stage::kIntent, Op::kCreateStore, 0, 0};
        send(fd, created);
        if (morvadb_vec_create(store_dir.c_str(), &config, &store) != 0) _exit(6);
        created.stage = Stage::kDone;
        send(fd, created);
    } else if (opened != 0) {
        _exit(7);
    }
    std::mt19937_64 rng(seed);
    const char *columns[] = {"k", "v"};
    int32_t types[] = {COL_STRING, COL_STRING};
    uint32_t version = first_version;
    for (uint64_t step = 0;; ++step) {
        uint32_t tables = static_cast<uint32_t>(db->table_count);
        uint32_t dice = static_cast<uint32_t>(rng() % 1000);
        Message m{Stage::kIntent, Op::kPut, static_cast<uint32_t>(rng() % kKeySpace), 0};
        if (tables == 0 || (dice < 5 && tables < DB_MAX_TABLES)) {
            m.op = Op::kCreateTable;
            m.key = tables;
        } else if (dice < 250) {
            m.op = Op::kDelete;
        } else if (dice < 400) {
            m.op = Op::kVecInsert;
            m.key %= kVectorIds;
            m.version = ++version;
        } else if (dice < 450) {
            m.op = Op::kVecDelete;
            m.key %= kVectorIds;
        } else if (dice < 453) {
            m.op = Op::kVecCheckpoint;
        } else {
            m.version = ++version;
        }
        send(fd, m);
        int32_t rc;
        std::string table = table_name(static_cast<uint32_t>(rng() % (tables ? tables : 1)));
        std::string key = key_for(m.key);
        switch (m.op) {
        case Op::kCreateTable:
            rc = db_create_table(db, table_name(m.key).c_str(), columns, types, 2, "k");
            break;
        case Op::kDelete:
            rc = db_delete(db, table.c_str(), key.data(), key.size());
            break;
        case Op::kVecInsert:
            rc = morvadb_vec_insert(store, m.key, vector_for(m.key, m.version).data());
            break;
        case Op::kVecDelete: {
            int32_t deleted = morvadb_vec_delete(store, m.key);
            rc = deleted == -2 ? 0 : deleted;  // deleting an absent id is fine
            break;
        }
        case Op::kVecCheckpoint:
            rc = morvadb_vec_flush(store);
            break;
        default: {
            std::string value = value_for(m.key, m.version);
            rc = db_put(db, table.c_str(), key.data(), key.size(), value.data(), value.size());
        }
        }
        if (rc != DB_OK) _exit(4);
        m.stage = Stage::kDone;
        send(fd, m);
        // Compact now and then from this thread: a kill may then land in the
        // middle of a merge. The background thread's first step comes only
        // after five seconds, later than any kill.
        if (step % 150 == 149 && morva::compact_once(db) != DB_OK) _exit(5);
    }
}

// What the parent knows: the acknowledged state of every key and table, and
// the write that was in flight at the kill.
struct Model {
    std::map<uint32_t, uint32_t> live;  // key -> version of its value
    std::set<uint32_t> tables;
    std::map<uint32_t, uint32_t> vectors;  // vector id -> version of its vector
    bool store_created = false;
    std::optional<Message> in_flight;
    uint64_t acknowledged = 0;

    void apply(const Message &m) {
        switch (m.op) {
        case Op::kPut: live[m.key] = m.version; break;
        case Op::kDelete: live.erase(m.key); break;
        case Op::kCreateTable: tables.insert(m.key); break;
        case Op::kCreateStore: store_created = true; break;
        case Op::kVecInsert: vectors[m.key] = m.version; break;
        case Op::kVecDelete: vectors.erase(m.key); break;
        case Op::kVecCheckpoint: break;
        }
    }

    void take(const Message &m) {
        if (m.stage == Stage::kIntent) {
            in_flight = m;
        } else {
            apply(m);
            in_flight.reset();
            ++acknowledged;
        }
    }
};

void read_messages(int fd, Model &model) {
    Message m;
    for (;;) {
        ssize_t n = read(fd, &m, sizeof m);
        if (n == 0) return;
        if (n < 0 && errno == EINTR) continue;
        ASSERT_EQ(n, static_cast<ssize_t>(sizeof m)) << "torn message from the writer";
        model.take(m);
    }
}

bool has_table(const db_handle *db, uint32_t number) {
    std::string name = table_name(number);
    for (int32_t i = 0; i < db->table_count; ++i) {
        if (name == db->tables[i].name) return true;
    }
    return false;
}

// Checks the reopened database against the model and settles the in-flight
// write to whichever outcome the database shows.
void verify(db_handle *db, Model &model) {
    const std::optional<Message> pending = model.in_flight;
    model.in_flight.reset();

    // Tables: every acknowledged one exists, no others except the pending one.
    for (uint32_t t : model.tables) EXPECT_TRUE(has_table(db, t)) << "acknowledged table " << t << " lost";
    if (pending && pending->op == Op::kCreateTable && has_table(db, pending->key)) model.apply(*pending);
    EXPECT_EQ(static_cast<size_t>(db->table_count), model.tables.size()) << "tables that were never created";
    if (model.tables.empty()) return;

    std::string table = table_name(*model.tables.begin());
    for (uint32_t k = 0; k < kKeySpace; ++k) {
        std::string key = key_for(k);
        const void *value = nullptr;
        uint64_t value_len = 0;
        int32_t rc = db_get(db, table.c_str(), key.data(), key.size(), &value, &value_len);
        ASSERT_TRUE(rc == DB_OK || rc == DB_ERR_NOT_FOUND) << "db_get status " << rc;
        std::optional<std::string> seen;
        if (rc == DB_OK) seen.emplace(static_cast<const char *>(value), value_len);

        auto acked = model.live.find(k);
        std::optional<std::string> expected;
        if (acked != model.live.end()) expected = value_for(k, acked->second);
        if (seen == expected) continue;

        // The only other acceptable state is the in-flight write's.
        bool pending_here = pending && (pending->op == Op::kPut || pending->op == Op::kDelete) && pending->key == k;
        std::optional<std::string> alternative;
        if (pending_here && pending->op == Op::kPut) alternative = value_for(k, pending->version);
        if (pending_here && seen == alternative) {
            model.apply(*pending);
            continue;
        }
        ADD_FAILURE() << "key " << k << ": found " << (seen ? *seen : std::string("<absent>")) << ", acknowledged "
                      << (expected ? *expected : std::string("<absent>"));
    }
}

// Checks the reopened vector store: every acknowledged insert with its exact
// vector, no acknowledged delete undone, nothing that was never inserted.
void verify_store(const std::string &store_dir, Model &model, const std::optional<Message> &pending) {
    vec_store *store = nullptr;
    int32_t rc;
    if (pending && pending->op == Op::kCreateStore) {
        // Killed while creating: the store may exist or not, but if it opens
        // it is the new, empty one.
        rc = morvadb_vec_open(store_dir.c_str(), &store);
        if (rc != 0) {
            if (store != nullptr) morvadb_vec_close(store);
            return;
        }
        model.apply(*pending);
    } else {
        if (!model.store_created) return;
        rc = morvadb_vec_open(store_dir.c_str(), &store);
    }
    ASSERT_EQ(rc, 0) << "vector store does not open after a kill";
    ASSERT_NE(store, nullptr);
    std::vector<float> got(kDimension);
    for (uint32_t id = 0; id < kVectorIds; ++id) {
        rc = morvadb_vec_get(store, id, got.data());
        ASSERT_TRUE(rc == 0 || rc == -2) << "morvadb_vec_get status " << rc;
        std::optional<std::vector<float>> seen;
        if (rc == 0) seen = got;
        auto acked = model.vectors.find(id);
        std::optional<std::vector<float>> expected;
        if (acked != model.vectors.end()) expected = vector_for(id, acked->second);
        if (seen == expected) continue;
        bool pending_here = pending && (pending->op == Op::kVecInsert || pending->op == Op::kVecDelete) &&
                            pending->key == id;
        std::optional<std::vector<float>> alternative;
        if (pending_here && pending->op == Op::kVecInsert) alternative = vector_for(id, pending->version);
        if (pending_here && seen == alternative) {
            model.apply(*pending);
            continue;
        }
        ADD_FAILURE() << "vector " << id << ": " << (seen ? "present" : "absent") << " but acknowledged "
                      << (expected ? "with another value" : "absent");
    }
    morvadb_vec_close(store);
}

class CrashRecovery : public ::testing::TestWithParam<uint32_t> {};

TEST_P(CrashRecovery, AcknowledgedWritesSurviveSigkill) {
    const int64_t iterations = env_int("MORVADB_CRASH_ITERATIONS", 12);
    const uint64_t seed = test_seed();
    SCOPED_TRACE("MORVADB_TEST_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);
    TempDir dir;
    const std::string prefix = dir.path() + "/db";
    const std::string store_dir = dir.path() + "/vectors";
    Model model;

    for (int64_t round = 0; round < iterations && !testing::Test::HasFailure(); ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        uint64_t child_seed = rng();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            run_writer(prefix, store_dir, GetParam(), fds[1], child_seed, static_cast<uint32_t>(round + 1) * 1000000u);
        }
        close(fds[1]);
        // Mostly short lives (the kill lands in open, replay or the first
        // flushes), sometimes long enough for many flushes and merges.
        int64_t delay_ms = rng() % 4 == 0 ? 100 + static_cast<int64_t>(rng() % 900) : static_cast<int64_t>(rng() % 100);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        read_messages(fds[0], model);
        close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer stopped by itself with exit code " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);

        const std::optional<Message> pending = model.in_flight;
        db_handle *db = nullptr;
        ASSERT_EQ(db_open(prefix.c_str(), nullptr, &db), DB_OK) << "database does not open after a kill";
        verify(db, model);
        EXPECT_EQ(db_close(db), DB_OK);
        verify_store(store_dir, model, pending);
    }
    std::printf("%lld kills, %llu acknowledged writes, %zu live keys, %zu tables, %zu vectors\n",
                static_cast<long long>(iterations), static_cast<unsigned long long>(model.acknowledged),
                model.live.size(), model.tables.size(), model.vectors.size());
    EXPECT_GT(model.acknowledged, 0u);
}

INSTANTIATE_TEST_SUITE_P(VectorIndex, CrashRecovery, ::testing::Values(VEC_INDEX_FLAT, VEC_INDEX_HNSW),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return info.param == VEC_INDEX_HNSW ? std::string("Hnsw") : std::string("Flat");
                         });

}  // namespace
}  // namespace reliability
