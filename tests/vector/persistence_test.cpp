#include <gtest/gtest.h>
#include <sys/resource.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "util/coding.h"
#include "vector/store.h"
#include "vector/store_files.h"
#include "vector/vector_support.h"

using vtest::TempDir;

namespace {

vec_store *create_at(const TempDir &dir, vec_config c) {
    c.persist = 1;
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_create(dir.path().c_str(), &c, &s), 0);
    return s;
}

vec_store *open_at(const TempDir &dir, int32_t want = 0) {
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), want);
    return s;
}

std::vector<float> vec3(float x) { return {x, x + 1, x + 2}; }

// Live (id -> first component) pairs of a store.
std::map<uint64_t, float> contents(vec_store *s, uint64_t max_id) {
    std::map<uint64_t, float> m;
    std::vector<float> out(morvadb_vec_dimension(s));
    for (uint64_t id = 0; id <= max_id; id++)
        if (morvadb_vec_get(s, id, out.data()) == 0) m[id] = out[0];
    return m;
}

TEST(Persistence, CreateWritesEmptySnapshotAndLog) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    auto meta = vtest::read_file(dir.file("meta"));
    ASSERT_EQ(meta.size(), 48u);
    EXPECT_EQ(meta[0], 0x43);
    EXPECT_EQ(meta[3], 0x4D);
    morva::ByteReader r(meta.data(), meta.size());
    EXPECT_EQ(r.u32(), 0x4d565643u);
    EXPECT_EQ(r.u32(), 2u);
    EXPECT_EQ(r.u32(), 3u);
    r.u32();
    EXPECT_EQ(r.u64(), 0u);
    EXPECT_TRUE(vtest::read_file(dir.file("vectors")).empty());
    EXPECT_TRUE(vtest::read_file(dir.file("ids")).empty());
    EXPECT_TRUE(vtest::file_exists(dir.file("wal")));
    EXPECT_EQ(morvadb_vec_close(s), 0);
}

TEST(Persistence, LogRecordSizesAndReplay) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    auto a = vec3(1), b = vec3(5);
    ASSERT_EQ(morvadb_vec_insert(s, 1, a.data()), 0);
    EXPECT_EQ(s->log_bytes, 36u);
    ASSERT_EQ(morvadb_vec_delete(s, 1), 0);
    EXPECT_EQ(s->log_bytes, 48u);
    ASSERT_EQ(morvadb_vec_insert(s, 1, b.data()), 0);
    ASSERT_EQ(morvadb_vec_insert(s, 2, a.data()), 0);
    ASSERT_EQ(morvadb_vec_delete(s, 77), -2);  // nothing logged
    EXPECT_EQ(vtest::read_file(dir.file("wal")).size(), 36u * 3 + 12);
    morva::abandon_store(s);  // no checkpoint: only the log holds the changes

    s = open_at(dir);
    ASSERT_NE(s, nullptr);
    auto m = contents(s, 10);
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1], 5.0f);
    EXPECT_EQ(m[2], 1.0f);
    EXPECT_EQ(s->dirty, 0u);
    EXPECT_EQ(s->log_bytes, 36u * 3 + 12);
    EXPECT_EQ(s->capacity, 1024u);
    morvadb_vec_close(s);
}

TEST(Persistence, CheckpointCompactsAndEmptiesTheLog) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    for (uint64_t id = 0; id < 10; id++) ASSERT_EQ(morvadb_vec_insert(s, id, vec3(float(id)).data()), 0);
    for (uint64_t id : {2, 5, 8}) ASSERT_EQ(morvadb_vec_delete(s, id), 0);
    ASSERT_EQ(morvadb_vec_flush(s), 0);
    EXPECT_EQ(s->dirty, 0u);
    EXPECT_EQ(s->log_bytes, 0u);
    EXPECT_TRUE(vtest::read_file(dir.file("wal")).empty());
    auto ids = vtest::read_file(dir.file("ids"));
    ASSERT_EQ(ids.size(), 7u * 8);
    const uint64_t expect[] = {0, 1, 3, 4, 6, 7, 9};
    for (int i = 0; i < 7; i++) EXPECT_EQ(morva::get_u64(ids.data() + i * 8), expect[i]);
    EXPECT_EQ(vtest::read_file(dir.file("vectors")).size(), 7u * 12);
    ASSERT_EQ(morvadb_vec_insert(s, 20, vec3(20).data()), 0);
    morva::abandon_store(s);

    s = open_at(dir);
    EXPECT_EQ(morvadb_vec_count(s), 8);  // compacted: no deleted slots, no repeated replay
    auto m = contents(s, 30);
    EXPECT_EQ(m.size(), 8u);
    EXPECT_EQ(m[9], 9.0f);
    EXPECT_EQ(m[20], 20.0f);
    morvadb_vec_close(s);
}

TEST(Persistence, CloseCheckpointsADirtyStore) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    ASSERT_EQ(morvadb_vec_insert(s, 4, vec3(4).data()), 0);
    ASSERT_EQ(morvadb_vec_close(s), 0);
    EXPECT_TRUE(vtest::read_file(dir.file("wal")).empty());
    s = open_at(dir);
    EXPECT_EQ(contents(s, 10).at(4), 4.0f);
    morvadb_vec_close(s);
}

TEST(Persistence, HnswReopensWithRoomToGrow) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::hnsw_config(3, 8, 32, 16, 64));
    for (uint64_t id = 0; id < 64; id++) ASSERT_EQ(morvadb_vec_insert(s, id, vec3(float(id)).data()), 0);
    ASSERT_EQ(morvadb_vec_delete(s, 10), 0);
    ASSERT_EQ(morvadb_vec_close(s), 0);
    s = open_at(dir);
    ASSERT_TRUE(s->uses_graph);
    EXPECT_EQ(hnsw_count(s->graph), 63);
    EXPECT_GE(s->graph->capacity, 4194304);
    EXPECT_EQ(s->graph->m, 8);
    EXPECT_EQ(s->graph->ef_search, 16);
    // Insertion order is kept: node 10 is now id 11.
    EXPECT_EQ(s->graph->nodes[10].id, 11u);
    ASSERT_EQ(morvadb_vec_insert(s, 1000, vec3(30.5f).data()), 0);
    vec_result r[1];
    ASSERT_EQ(morvadb_vec_search(s, vec3(30.5f).data(), 1, r), 1);
    EXPECT_EQ(r[0].id, 1000u);
    morvadb_vec_close(s);
}

TEST(Persistence, OldMetaVersionsOpenAsFlat) {
    TempDir dir;
    mkdir(dir.path().c_str(), 0755);
    morva::ByteWriter w;
    w.u32(0x4d565643);
    w.u32(1);
    w.u32(2);
    w.u32(0);
    w.u64(2);
    w.u64(2);
    vtest::write_file(dir.file("meta"), w.buffer());
    morva::ByteWriter v, i;
    for (float f : {1.0f, 2.0f, 3.0f, 4.0f}) v.f32(f);
    i.u64(7);
    i.u64(8);
    vtest::write_file(dir.file("vectors"), v.buffer());
    vtest::write_file(dir.file("ids"), i.buffer());
    vec_store *s = open_at(dir);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->uses_graph);
    EXPECT_EQ(s->config.m, 16u);
    float out[2];
    ASSERT_EQ(morvadb_vec_get(s, 8, out), 0);
    EXPECT_EQ(out[0], 3.0f);
    morvadb_vec_close(s);
}

// A meta file claiming a huge dimension (damaged, or a store that never held
// a vector; the fuzzer's 2,583,691,268 makes one slot 10 GB) opens without
// allocating any slot: an empty store gets its first slots at its first
// insert, and a log record of that dimension the file cannot hold costs
// nothing. With a count, the data files must back it before anything is
// allocated.
TEST(Persistence, HugeDimensionOpensWithoutGiantAllocation) {
    TempDir dir;
    mkdir(dir.path().c_str(), 0755);
    const uint32_t huge = 2583691268u;
    auto meta = [&](uint64_t count, uint32_t dimension) {
        std::vector<uint8_t> m(32);  // version 1: a flat store
        morva::put_u32(m.data(), 0x4d565643);
        morva::put_u32(m.data() + 4, 1);
        morva::put_u32(m.data() + 8, dimension);
        morva::put_u64(m.data() + 16, count);
        morva::put_u64(m.data() + 24, count);
        vtest::write_file(dir.file("meta"), m);
    };
    std::vector<uint8_t> torn(24);  // an insert record of that dimension, cut short
    morva::put_u32(torn.data(), 1);
    morva::put_u64(torn.data() + 4, 7);
    morva::put_u32(torn.data() + 12, huge);
    for (bool graph : {false, true}) {
        SCOPED_TRACE(graph ? "hnsw" : "flat");
        // A graph takes dimensions up to INT32_MAX; one vector is still 8 GB.
        const uint32_t dimension = graph ? 2000000011u : huge;
        meta(0, dimension);
        if (graph) {  // version 2: index type, m, ef_construction, ef_search follow
            auto m = vtest::read_file(dir.file("meta"));
            morva::put_u32(m.data() + 4, 2);
            std::vector<uint8_t> tail(16);
            morva::put_u32(tail.data(), VEC_INDEX_HNSW);
            morva::put_u32(tail.data() + 4, 16);
            morva::put_u32(tail.data() + 8, 200);
            morva::put_u32(tail.data() + 12, 50);
            m.insert(m.end(), tail.begin(), tail.end());
            vtest::write_file(dir.file("meta"), m);
        }
        vtest::write_file(dir.file("vectors"), {});
        vtest::write_file(dir.file("ids"), {});
        vtest::write_file(dir.file("wal"), torn);
        struct rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        vec_store *s = open_at(dir);
        ASSERT_NE(s, nullptr);
        getrusage(RUSAGE_SELF, &after);
        EXPECT_EQ(s->config.dimension, dimension);
        if (!graph) {
            EXPECT_EQ(s->capacity, 0u);
        }
        EXPECT_EQ(morvadb_vec_count(s), 0);
        EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64L * 1024);  // kilobytes
        morvadb_vec_close(s);
    }

    meta(1, huge);  // a flat store again
    vtest::write_file(dir.file("vectors"), std::vector<uint8_t>(4096));
    vtest::write_file(dir.file("ids"), std::vector<uint8_t>(8));
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);
}

TEST(Persistence, DamagedSnapshotsAreRefused) {
    TempDir dir;
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -2);  // no directory
    EXPECT_EQ(morvadb_vec_open(nullptr, &s), -5);
    s = create_at(dir, vtest::flat_config(2));
    float v[2] = {1, 2};
    ASSERT_EQ(morvadb_vec_insert(s, 1, v), 0);
    ASSERT_EQ(morvadb_vec_close(s), 0);
    auto meta = vtest::read_file(dir.file("meta"));
    auto vectors = vtest::read_file(dir.file("vectors"));

    vtest::write_file(dir.file("vectors"), std::vector<uint8_t>(vectors.begin(), vectors.end() - 1));
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);
    vtest::write_file(dir.file("vectors"), vectors);

    auto bad = meta;
    bad[0] ^= 1;
    vtest::write_file(dir.file("meta"), bad);
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);
    vtest::write_file(dir.file("meta"), std::vector<uint8_t>(meta.begin(), meta.begin() + 20));
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);

    // A count whose byte size overflows, and a huge count with small files:
    // refused without attempting a giant allocation.
    bad = meta;
    morva::put_u64(bad.data() + 16, UINT64_MAX / 2);
    vtest::write_file(dir.file("meta"), bad);
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);
    morva::put_u64(bad.data() + 16, uint64_t{1} << 40);
    vtest::write_file(dir.file("meta"), bad);
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -3);

    unlink(dir.file("meta").c_str());
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -2);
    vtest::write_file(dir.file("meta"), meta);
    unlink(dir.file("ids").c_str());
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &s), -4);
}

// Appends raw bytes to the log.
void append_log(const TempDir &dir, const std::vector<uint8_t> &bytes) {
    auto log = vtest::read_file(dir.file("wal"));
    log.insert(log.end(), bytes.begin(), bytes.end());
    vtest::write_file(dir.file("wal"), log);
}

std::vector<uint8_t> insert_record(uint64_t id, const std::vector<float> &v, uint32_t dim_field) {
    morva::ByteWriter w;
    w.u32(1);
    w.u64(id);
    w.u32(dim_field);
    for (float f : v) w.f32(f);
    w.u64(0);
    return w.buffer();
}

TEST(Persistence, ReplayStopsAtTornOrUnknownRecordsAndCutsThem) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    ASSERT_EQ(morvadb_vec_insert(s, 1, vec3(1).data()), 0);
    morva::abandon_store(s);
    auto good = vtest::read_file(dir.file("wal"));

    // Type 3 between records is skipped; a record of another dimension is
    // skipped whole; a torn record ends the replay at any cut.
    morva::ByteWriter skip;
    skip.u32(3);
    append_log(dir, skip.buffer());
    append_log(dir, insert_record(9, {1, 2}, 2));
    append_log(dir, insert_record(2, vec3(2), 3));
    auto full = vtest::read_file(dir.file("wal"));
    auto last = insert_record(3, vec3(3), 3);
    for (size_t cut = 1; cut < last.size(); cut++) {
        auto torn = full;
        torn.insert(torn.end(), last.begin(), last.begin() + cut);
        vtest::write_file(dir.file("wal"), torn);
        s = open_at(dir);
        ASSERT_NE(s, nullptr);
        auto m = contents(s, 10);
        EXPECT_EQ(m.size(), 2u) << cut;
        EXPECT_EQ(m.count(9), 0u);
        EXPECT_EQ(m[2], 2.0f);
        morva::abandon_store(s);
        EXPECT_EQ(vtest::read_file(dir.file("wal")).size(), full.size()) << "torn tail cut at open";
    }
    // An unknown type ends the replay; what follows is dropped, and new
    // records appended after the open are replayed next time.
    morva::ByteWriter junk;
    junk.u32(7);
    append_log(dir, junk.buffer());
    append_log(dir, insert_record(4, vec3(4), 3));
    s = open_at(dir);
    EXPECT_EQ(contents(s, 10).count(4), 0u);
    ASSERT_EQ(morvadb_vec_insert(s, 5, vec3(5).data()), 0);
    morva::abandon_store(s);
    s = open_at(dir);
    auto m = contents(s, 10);
    EXPECT_EQ(m.count(5), 1u);
    EXPECT_EQ(m.size(), 3u);
    // A record claiming an absurd dimension is a torn tail, not an allocation.
    append_log(dir, insert_record(6, {}, 0xFFFFFFF0u));
    morva::abandon_store(s);
    s = open_at(dir);
    EXPECT_EQ(contents(s, 10).size(), 3u);
    morvadb_vec_close(s);
}

TEST(Persistence, OneOpenerPerDirectory) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    vec_store *other = nullptr;
    EXPECT_EQ(morvadb_vec_open(dir.path().c_str(), &other), -4);
    vec_config c = vtest::flat_config(3);
    c.persist = 1;
    EXPECT_EQ(morvadb_vec_create(dir.path().c_str(), &c, &other), -4);
    morvadb_vec_close(s);
    s = open_at(dir);
    ASSERT_NE(s, nullptr);
    morvadb_vec_close(s);
}

TEST(Persistence, CreateOverAnExistingStoreStartsFresh) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    ASSERT_EQ(morvadb_vec_insert(s, 1, vec3(1).data()), 0);
    ASSERT_EQ(morvadb_vec_flush(s), 0);
    ASSERT_EQ(morvadb_vec_insert(s, 2, vec3(2).data()), 0);
    morva::abandon_store(s);
    s = create_at(dir, vtest::flat_config(3));
    EXPECT_EQ(morvadb_vec_count(s), 0);
    morva::abandon_store(s);
    s = open_at(dir);
    EXPECT_EQ(morvadb_vec_count(s), 0);
    morvadb_vec_close(s);
    EXPECT_EQ(morvadb_vec_destroy(dir.path().c_str()), 0);
    EXPECT_FALSE(vtest::file_exists(dir.path()));
}

TEST(Persistence, CrashAtEveryCheckpointStepKeepsEveryLoggedChange) {
    for (int stop = 1; stop <= 7; stop++) {
        TempDir dir;
        vec_store *s = create_at(dir, vtest::flat_config(3));
        for (uint64_t id = 0; id < 6; id++) ASSERT_EQ(morvadb_vec_insert(s, id, vec3(float(id)).data()), 0);
        ASSERT_EQ(morvadb_vec_flush(s), 0);
        ASSERT_EQ(morvadb_vec_delete(s, 0), 0);
        ASSERT_EQ(morvadb_vec_insert(s, 1, vec3(100).data()), 0);
        ASSERT_EQ(morvadb_vec_insert(s, 9, vec3(9).data()), 0);
        morva::snapshot_stop_after_step = stop;
        EXPECT_EQ(morvadb_vec_flush(s), -4);
        morva::snapshot_stop_after_step = 0;
        morva::abandon_store(s);

        s = open_at(dir);
        ASSERT_NE(s, nullptr) << stop;
        auto m = contents(s, 20);
        std::map<uint64_t, float> want = {{1, 100}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {9, 9}};
        EXPECT_EQ(m, want) << "stopped after step " << stop;
        EXPECT_FALSE(vtest::file_exists(dir.file("meta.tmp")));
        EXPECT_FALSE(vtest::file_exists(dir.file("vectors.tmp")));
        // A complete checkpoint after recovery leaves the log empty.
        ASSERT_EQ(morvadb_vec_flush(s), 0);
        EXPECT_TRUE(vtest::read_file(dir.file("wal")).empty());
        morvadb_vec_close(s);
    }
}

TEST(Persistence, KilledProcessLosesNothingLoggedAndNeverMispairs) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    morvadb_vec_close(s);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    if (child == 0) {
        vec_store *cs = nullptr;
        if (morvadb_vec_open(dir.path().c_str(), &cs) != 0) _exit(1);
        for (uint64_t id = 0;; id++) {
            auto v = vec3(float(id));
            if (morvadb_vec_insert(cs, id, v.data()) != 0) _exit(2);
            if (write(pipefd[1], &id, sizeof(id)) != sizeof(id)) _exit(3);
            if (id % 50 == 49) morvadb_vec_flush(cs);
        }
    }
    close(pipefd[1]);
    uint64_t acknowledged = 0, got;
    while (acknowledged < 700 && read(pipefd[0], &got, sizeof(got)) == sizeof(got)) acknowledged = got;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(pipefd[0]);

    s = open_at(dir);
    ASSERT_NE(s, nullptr);
    uint64_t n = static_cast<uint64_t>(morvadb_vec_count(s));
    EXPECT_GE(n, acknowledged + 1);  // every acknowledged insert survived
    float out[3];
    for (uint64_t id = 0; id < n; id++) {
        ASSERT_EQ(morvadb_vec_get(s, id, out), 0) << id;
        ASSERT_EQ(out[0], float(id)) << "vector paired with the wrong id";
    }
    morvadb_vec_close(s);
}

TEST(Persistence, LargeLogTriggersOneCheckpoint) {
    TempDir dir;
    const uint32_t dim = 1024;
    vec_store *s = create_at(dir, vtest::flat_config(dim));
    std::vector<float> v(dim, 1.0f);
    const uint64_t record = 24 + 4 * dim;
    uint64_t inserts = (10485760 + record - 1) / record;
    for (uint64_t id = 0; id + 1 < inserts; id++) ASSERT_EQ(morvadb_vec_insert(s, id, v.data()), 0);
    EXPECT_EQ(s->log_bytes, (inserts - 1) * record);
    ASSERT_EQ(morvadb_vec_insert(s, inserts, v.data()), 0);
    EXPECT_EQ(s->log_bytes, 0u);
    EXPECT_EQ(s->dirty, 0u);
    EXPECT_EQ(vtest::read_file(dir.file("ids")).size(), inserts * 8);
    morvadb_vec_close(s);
}

TEST(Persistence, FlushThreadCheckpointsAndStopsPromptly) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    EXPECT_EQ(morvadb_vec_flush_interval(s, 20), 0);
    EXPECT_EQ(morvadb_vec_flush_interval(s, 20), 0);  // already running
    ASSERT_EQ(morvadb_vec_insert(s, 1, vec3(1).data()), 0);
    for (int i = 0; i < 200 && __atomic_load_n(&s->dirty, __ATOMIC_ACQUIRE); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(__atomic_load_n(&s->dirty, __ATOMIC_ACQUIRE), 0u);
    // A long interval must not delay stopping.
    EXPECT_EQ(morvadb_vec_flush_interval(s, 60000), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(morvadb_vec_flush_interval(s, 0), 0);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(s->flush_interval_ms, 0);
    EXPECT_EQ(morvadb_vec_flush_interval(s, 50), 0);
    EXPECT_EQ(morvadb_vec_close(s), 0);  // close stops the thread
}

TEST(Persistence, LostLogIsRetriedAndUnloggableChangesReportMinusFour) {
    TempDir dir;
    vec_store *s = create_at(dir, vtest::flat_config(3));
    vec_wal_close(s);
    unlink(dir.file("wal").c_str());
    mkdir(dir.file("wal").c_str(), 0755);  // the log cannot be opened now
    EXPECT_EQ(morvadb_vec_insert(s, 1, vec3(1).data()), -4);
    EXPECT_EQ(morvadb_vec_delete(s, 1), -4);
    rmdir(dir.file("wal").c_str());
    EXPECT_EQ(morvadb_vec_insert(s, 2, vec3(2).data()), 0);
    ASSERT_NE(s->log, nullptr);
    morva::abandon_store(s);
    s = open_at(dir);
    EXPECT_EQ(contents(s, 5).count(2), 1u);
    morvadb_vec_close(s);
}

}  // namespace
