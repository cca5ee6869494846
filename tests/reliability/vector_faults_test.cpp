// Storage faults in a persistent vector store: every file call of a
// workload (log appends, each step of the checkpoints, reopening the log)
// fails in turn, and every read of an open fails in turn. An acknowledged
// change (status 0) must be there after a reopen; a change that failed may
// or may not be; no file may be left that keeps the store from opening.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "reliability/fault_sweep.h"
#include "reliability/reliability_support.h"

namespace reliability {
namespace {

using faults::Fault;

constexpr uint32_t kDimension = 8;

std::vector<float> vector_for(uint64_t id, uint32_t version) {
    std::vector<float> v(kDimension);
    for (uint32_t i = 0; i < kDimension; ++i) v[i] = static_cast<float>(id * 10 + version) + 0.25f * static_cast<float>(i);
    return v;
}

// What each id may hold: the version its last acknowledged change left (0:
// deleted or never inserted), or that of a later change that failed.
class VectorModel {
public:
    void record(uint64_t id, uint32_t version, int32_t status) {
        Entry &e = ids_[id];
        if (status == 0) {
            e.acknowledged = version;
            e.uncertain.clear();
        } else {
            e.uncertain.push_back(version);
        }
    }
    void expect_held_by(vec_store *store) const {
        for (const auto &[id, e] : ids_) {
            std::vector<float> got(kDimension);
            uint32_t held = 0;
            if (morvadb_vec_get(store, id, got.data()) == 0) {
                held = UINT32_MAX;  // a vector no change wrote
                for (uint32_t version = 1; version <= 3; ++version)
                    if (got == vector_for(id, version)) held = version;
            }
            bool allowed = held == e.acknowledged;
            for (uint32_t u : e.uncertain) allowed = allowed || held == u;
            EXPECT_TRUE(allowed) << "id " << id << " holds version " << held << ", acknowledged " << e.acknowledged;
        }
    }

private:
    struct Entry {
        uint32_t acknowledged = 0;
        std::vector<uint32_t> uncertain;
    };
    std::map<uint64_t, Entry> ids_;
};

vec_config store_config(uint32_t index_type) {
    vec_config c{};
    c.index_type = index_type;
    c.metric = VEC_METRIC_L2;
    c.dimension = kDimension;
    c.capacity = index_type == VEC_INDEX_HNSW ? 1024 : 0;
    c.persist = 1;
    c.m = 8;
    c.ef_construction = 32;
    c.ef_search = 16;
    return c;
}

void insert(vec_store *s, VectorModel &model, uint64_t id, uint32_t version) {
    std::vector<float> v = vector_for(id, version);
    model.record(id, version, morvadb_vec_insert(s, id, v.data()));
}

void remove(vec_store *s, VectorModel &model, uint64_t id) { model.record(id, 0, morvadb_vec_delete(s, id)); }

// Inserts, deletes, a checkpoint, more changes: the checkpoint of close
// follows when the session's store is closed.
vec_store *session(const std::string &dir, uint32_t index_type, VectorModel &model) {
    std::srand(1);  // graph levels come from rand(): the same calls every run
    vec_config config = store_config(index_type);
    vec_store *s = nullptr;
    if (morvadb_vec_create(dir.c_str(), &config, &s) != 0) return nullptr;
    for (uint64_t id = 0; id < 16; ++id) insert(s, model, id, 1);
    for (uint64_t id : {3, 7, 11}) remove(s, model, id);
    morvadb_vec_flush(s);
    for (uint64_t id = 16; id < 24; ++id) insert(s, model, id, 1);
    insert(s, model, 3, 2);
    insert(s, model, 5, 2);
    remove(s, model, 17);
    model.expect_held_by(s);
    return s;
}

// Reopens without a fault and checks; a store whose creation failed may be
// absent, never unreadable.
void expect_reopens_with(const std::string &dir, const VectorModel &model, bool created) {
    vec_store *s = nullptr;
    int32_t rc = morvadb_vec_open(dir.c_str(), &s);
    if (!created && rc == -2) return;
    ASSERT_EQ(rc, 0) << "a file left behind keeps the store closed";
    model.expect_held_by(s);
    EXPECT_EQ(morvadb_vec_close(s), 0);
}

class VectorStoreFaults : public ::testing::TestWithParam<std::tuple<Fault, uint32_t>> {};

TEST_P(VectorStoreFaults, EveryWriteCallFailsInTurn) {
    auto [kind, index_type] = GetParam();
    TempDir root;
    faults::watch(root.path() + "/", kind == Fault::kShortWrite ? faults::kWrite : faults::kWritePath);
    std::vector<std::string> calls;
    {
        VectorModel model;
        faults::start_recording();
        vec_store *s = session(root.path() + "/count", index_type, model);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(morvadb_vec_close(s), 0);
        calls = faults::recorded();
    }
    ASSERT_GT(calls.size(), 20u);
    for (uint64_t point : failure_points(calls, false)) {
        SCOPED_TRACE(describe_point(point, calls));
        for (bool keep_fault_for_close : {true, false}) {
            std::string dir = root.path() + "/p" + std::to_string(point) + (keep_fault_for_close ? "" : "r");
            VectorModel model;
            faults::arm(point, kind);
            vec_store *s = session(dir, index_type, model);
            bool fired_in_session = faults::fired();
            if (s != nullptr && !keep_fault_for_close) {
                // Once the fault is gone the store logs and checkpoints again.
                faults::clear();
                std::vector<float> v = vector_for(100, 1);
                int32_t rc = morvadb_vec_insert(s, 100, v.data());
                EXPECT_EQ(rc, 0);
                model.record(100, 1, rc);
                EXPECT_EQ(morvadb_vec_flush(s), 0);
            }
            if (s != nullptr) {
                EXPECT_EQ(morvadb_vec_close(s), 0);
            }
            ASSERT_TRUE(faults::fired());
            faults::clear();
            expect_reopens_with(dir, model, s != nullptr);
            std::filesystem::remove_all(dir);
            // A one-time error needs no recovery run, nor a fault in close.
            if (HasFailure() || !fired_in_session || kind == Fault::kIoError) break;
        }
        if (HasFailure()) break;
    }
    faults::unwatch();
}

INSTANTIATE_TEST_SUITE_P(KindsAndIndexes, VectorStoreFaults,
                         ::testing::Combine(::testing::ValuesIn(write_fault_kinds()),
                                            ::testing::Values(VEC_INDEX_FLAT, VEC_INDEX_HNSW)),
                         [](const auto &info) {
                             return std::string(faults::fault_name(std::get<0>(info.param))) +
                                    (std::get<1>(info.param) == VEC_INDEX_HNSW ? "_hnsw" : "_flat");
                         });

// Each read of an open fails in turn: the open gives a clear status or the
// whole store, and the next open (without the fault) finds everything.
TEST(VectorStoreReadFaults, EveryReadAtOpenFailsInTurn) {
    TempDir root;
    const std::string snapshot = root.path() + "/snapshot";
    VectorModel model;
    {
        // A snapshot and a log that holds the changes since, as a crash
        // would leave them.
        vec_store *s = session(root.path() + "/source", VEC_INDEX_FLAT, model);
        ASSERT_NE(s, nullptr);
        copy_files(root.path() + "/source", snapshot);
        EXPECT_EQ(morvadb_vec_close(s), 0);
    }
    faults::watch(root.path() + "/", faults::kReadPath);
    std::vector<std::string> calls;
    {
        copy_files(snapshot, root.path() + "/count");
        faults::start_recording();
        vec_store *s = nullptr;
        ASSERT_EQ(morvadb_vec_open((root.path() + "/count").c_str(), &s), 0);
        calls = faults::recorded();
        EXPECT_EQ(morvadb_vec_close(s), 0);
    }
    ASSERT_GT(calls.size(), 5u);
    for (uint64_t point : failure_points(calls, false)) {
        SCOPED_TRACE(describe_point(point, calls));
        std::string dir = root.path() + "/p" + std::to_string(point);
        copy_files(snapshot, dir);
        faults::arm(point, Fault::kIoError);
        vec_store *s = nullptr;
        int32_t rc = morvadb_vec_open(dir.c_str(), &s);
        ASSERT_TRUE(faults::fired());
        faults::clear();
        if (s != nullptr) {
            // Opened (at worst without its log for appending): all of it.
            EXPECT_TRUE(rc == 0 || rc == -4) << rc;
            model.expect_held_by(s);
            EXPECT_EQ(morvadb_vec_close(s), 0);
        } else {
            EXPECT_TRUE(rc == -4 || rc == -1) << rc;
        }
        expect_reopens_with(dir, model, true);
        if (HasFailure()) break;
        std::filesystem::remove_all(dir);
    }
    faults::unwatch();
}

}  // namespace
}  // namespace reliability
