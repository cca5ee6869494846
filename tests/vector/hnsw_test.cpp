#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "vector/vector_support.h"

namespace {

struct GraphCloser {
    void operator()(hnsw_index *g) const { hnsw_destroy(g); }
};
using GraphPtr = std::unique_ptr<hnsw_index, GraphCloser>;

GraphPtr make_graph(int32_t dim, int32_t m = 16, int32_t efc = 200, int32_t efs = 50, int32_t cap = 10000,
                    uint32_t metric = VEC_METRIC_L2) {
    hnsw_index *g = nullptr;
    EXPECT_EQ(hnsw_create(dim, m, efc, efs, cap, metric, &g), 0);
    return GraphPtr(g);
}

int32_t links_of(const hnsw_index *g, int32_t layer, int32_t node) {
    return g->link_counts[static_cast<size_t>(layer) * g->capacity + node];
}
bool linked(const hnsw_index *g, int32_t layer, int32_t from, int32_t to) {
    int32_t limit = layer == 0 ? g->max_links0 : g->max_links;
    const int32_t *row = g->links[layer] + static_cast<size_t>(from) * limit;
    return std::find(row, row + links_of(g, layer, from), to) != row + links_of(g, layer, from);
}

TEST(HnswGraph, CreateValidatesArguments) {
    hnsw_index *g = nullptr;
    EXPECT_EQ(hnsw_create(4, 16, 200, 50, 100, 0, nullptr), -5);
    EXPECT_EQ(hnsw_create(0, 16, 200, 50, 100, 0, &g), -5);
    EXPECT_EQ(hnsw_create(4, 0, 200, 50, 100, 0, &g), -5);
    EXPECT_EQ(hnsw_create(4, 16, 200, 50, 0, 0, &g), -5);
    // M = 1 would make the level multiplier 1/ln(1) infinite: refused.
    EXPECT_EQ(hnsw_create(4, 1, 200, 50, 100, 0, &g), -5);
    // capacity x dimension beyond the address space.
    EXPECT_EQ(hnsw_create(INT32_MAX, 16, 200, 50, INT32_MAX, 0, &g), -1);
    ASSERT_EQ(hnsw_create(4, 2, -5, -5, 100, 0, &g), 0);  // ef values are free
    EXPECT_EQ(g->max_links, 2);
    EXPECT_EQ(g->max_links0, 4);
    EXPECT_EQ(g->entry, -1);
    EXPECT_EQ(g->max_level, -1);
    EXPECT_FLOAT_EQ(g->level_mult, 1.0f / logf(2.0f));
    hnsw_destroy(g);
    hnsw_destroy(nullptr);
}

TEST(HnswGraph, FirstTwoInsertsLinkBothWays) {
    srand(12345);
    auto g = make_graph(2);
    const float a[2] = {0, 0}, b[2] = {1, 0};
    ASSERT_EQ(hnsw_insert(g.get(), 10, a), 0);
    EXPECT_EQ(g->entry, 0);
    EXPECT_EQ(g->max_level, g->nodes[0].level);
    for (int32_t l = 0; l <= g->max_level; l++) EXPECT_EQ(links_of(g.get(), l, 0), 0);
    ASSERT_EQ(hnsw_insert(g.get(), 11, b), 0);
    int32_t shared = std::min(g->nodes[0].level, g->nodes[1].level);
    for (int32_t l = 0; l <= shared; l++) {
        EXPECT_TRUE(linked(g.get(), l, 0, 1)) << l;
        EXPECT_TRUE(linked(g.get(), l, 1, 0)) << l;
    }
    EXPECT_EQ(g->levels[1], g->nodes[1].level);
    EXPECT_EQ(g->nodes[1].vector, g->vectors + 2);
}

// Rows that never overflow hold what the plain rule gives: a new node
// links to every node already on the layer, nearest first, and each of them
// appends the new node. Seeds are tried until the first node is the
// tallest (so it stays the entry and every layer holds exactly the nodes
// that reach it) and layer 1 holds a few nodes.
TEST(HnswGraph, RowsThatFitKeepEveryCandidateNearestFirst) {
    const uint32_t dim = 3;
    const int32_t nodes = 17;  // rows hold up to 16 on layer 0 and 8 above
    auto data = vtest::random_vectors(nodes, dim, 11);
    GraphPtr g;
    for (unsigned seed = 1; seed < 1000 && !g; seed++) {
        srand(seed);
        auto candidate = make_graph(dim, 8, 64, 16, 64);
        for (int32_t i = 0; i < nodes; i++) ASSERT_EQ(hnsw_insert(candidate.get(), i, data.data() + i * dim), 0);
        int32_t upper = 0;
        for (int32_t i = 1; i < nodes; i++) upper += candidate->levels[i] >= 1;
        if (candidate->levels[0] >= 1 && candidate->entry == 0 && upper >= 3 && upper <= 7) g = std::move(candidate);
    }
    ASSERT_TRUE(g);
    for (int32_t layer = 0; layer <= 1; layer++) {
        std::vector<int32_t> members;
        for (int32_t i = 0; i < nodes; i++)
            if (g->levels[i] >= layer) members.push_back(i);
        for (int32_t a : members) {
            std::vector<int32_t> earlier, expect;
            for (int32_t b : members) (b < a ? earlier : expect).push_back(b);
            auto dist = [&](int32_t b) { return vec_l2_distance(data.data() + a * dim, data.data() + b * dim, dim); };
            std::stable_sort(earlier.begin(), earlier.end(), [&](int32_t x, int32_t y) { return dist(x) < dist(y); });
            expect.erase(std::remove(expect.begin(), expect.end(), a), expect.end());
            expect.insert(expect.begin(), earlier.begin(), earlier.end());
            int32_t limit = layer == 0 ? g->max_links0 : g->max_links;
            const int32_t *row = g->links[layer] + static_cast<size_t>(a) * limit;
            EXPECT_EQ(std::vector<int32_t>(row, row + links_of(g.get(), layer, a)), expect) << "layer " << layer << " node " << a;
        }
    }
}

TEST(HnswGraph, TallerNodeBecomesEntryAndLinksAboveOldTop) {
    auto g = make_graph(1, 2);  // M = 2 draws tall nodes often
    float v = 0;
    int32_t seen_taller = 0;
    for (uint64_t id = 0; id < 300; id++) {
        int32_t before = g->max_level, old_entry = g->entry;
        v = static_cast<float>(id);
        ASSERT_EQ(hnsw_insert(g.get(), id, &v), 0);
        int32_t i = static_cast<int32_t>(id), lvl = g->nodes[i].level;
        if (old_entry >= 0 && lvl > before) {
            seen_taller++;
            EXPECT_EQ(g->entry, i);
            EXPECT_EQ(g->max_level, lvl);
            // On the old top layer it linked to the old entry's region.
            EXPECT_GT(links_of(g.get(), before, i), 0);
        } else if (old_entry >= 0) {
            EXPECT_EQ(g->entry, old_entry);
        }
    }
    EXPECT_GT(seen_taller, 0);
    // Rows never exceed their limits.
    for (int32_t l = 0; l <= g->max_level; l++)
        for (int32_t i = 0; i < g->node_count; i++)
            EXPECT_LE(links_of(g.get(), l, i), l == 0 ? g->max_links0 : g->max_links);
}

TEST(HnswGraph, OverwriteDeleteAndEntryMoves) {
    auto g = make_graph(2, 4, 20, 10, 8);
    const float v[2] = {1, 1}, w[2] = {5, 5};
    for (uint64_t id = 1; id <= 8; id++) ASSERT_EQ(hnsw_insert(g.get(), id, v), 0);
    EXPECT_EQ(hnsw_count(g.get()), 8);
    const float extra[2] = {0, 0};
    EXPECT_EQ(hnsw_insert(g.get(), 99, extra), -1);  // full
    EXPECT_EQ(hnsw_insert(g.get(), 3, w), 0);        // overwrite still works when full
    float out[2];
    ASSERT_EQ(hnsw_get(g.get(), 3, out), 0);
    EXPECT_EQ(out[0], 5.0f);
    EXPECT_EQ(hnsw_count(g.get()), 8);

    int32_t entry_id = static_cast<int32_t>(g->nodes[g->entry].id);
    ASSERT_EQ(hnsw_delete(g.get(), static_cast<uint64_t>(entry_id)), 0);
    int32_t first_live = 0;
    while (g->nodes[first_live].deleted) first_live++;
    EXPECT_EQ(g->entry, first_live);
    EXPECT_EQ(hnsw_delete(g.get(), static_cast<uint64_t>(entry_id)), -2);
    EXPECT_EQ(hnsw_get(g.get(), static_cast<uint64_t>(entry_id), out), -2);
    for (uint64_t id = 1; id <= 8; id++) hnsw_delete(g.get(), id);
    EXPECT_EQ(g->entry, -1);
    EXPECT_EQ(hnsw_count(g.get()), 0);
    vec_result r[4];
    EXPECT_EQ(hnsw_search(g.get(), v, 4, r), 0);
    EXPECT_EQ(hnsw_delete(g.get(), 1), -2);
}

TEST(HnswGraph, InsertAfterAllDeletedBecomesEntry) {
    auto g = make_graph(2, 4, 20, 10, 16);
    const float v[2] = {1, 1};
    hnsw_insert(g.get(), 1, v);
    hnsw_insert(g.get(), 2, v);
    hnsw_delete(g.get(), 1);
    hnsw_delete(g.get(), 2);
    ASSERT_EQ(hnsw_insert(g.get(), 3, v), 0);
    EXPECT_EQ(g->entry, 2);
    vec_result r[2];
    ASSERT_EQ(hnsw_search(g.get(), v, 2, r), 1);
    EXPECT_EQ(r[0].id, 3u);
}

TEST(HnswGraph, SearchArgumentsAndEfAtLeastK) {
    auto g = make_graph(4, 8, 64, 5, 1000);
    auto data = vtest::random_vectors(300, 4, 9);
    for (uint64_t i = 0; i < 300; i++) ASSERT_EQ(hnsw_insert(g.get(), i, data.data() + i * 4), 0);
    vec_result r[120];
    EXPECT_EQ(hnsw_search(g.get(), data.data(), 0, r), 0);
    EXPECT_EQ(hnsw_search(g.get(), data.data(), -1, r), 0);
    EXPECT_EQ(hnsw_search(nullptr, data.data(), 3, r), 0);
    EXPECT_EQ(hnsw_search(g.get(), nullptr, 3, r), 0);
    // k above ef_search: the layer search runs with ef = k and fills k hits.
    ASSERT_EQ(hnsw_search(g.get(), data.data(), 120, r), 120);
    for (int j = 1; j < 120; j++) EXPECT_LE(r[j - 1].distance, r[j].distance);
    std::set<uint64_t> ids;
    for (auto &h : r) ids.insert(h.id);
    EXPECT_EQ(ids.size(), 120u);
    EXPECT_EQ(r[0].id, 0u);
    EXPECT_EQ(r[0].distance, 0.0f);
}

double recall_at_10(hnsw_index *g, const std::vector<float> &data, const std::vector<uint64_t> &ids, uint32_t dim,
                    const std::vector<float> &queries, int nq) {
    int hits = 0;
    for (int q = 0; q < nq; q++) {
        const float *qv = queries.data() + q * dim;
        auto want = vtest::exact_knn(data, ids, dim, qv, 10, g->distance);
        vec_result got[10];
        int32_t n = hnsw_search(g, qv, 10, got);
        for (int j = 0; j < n; j++)
            for (auto &w : want) hits += w.id == got[j].id;
    }
    return hits / (10.0 * nq);
}

TEST(HnswGraph, RecallAgainstExactSearch) {
    const uint32_t dim = 24;
    const size_t n = 3000;
    for (uint32_t metric : {VEC_METRIC_L2, VEC_METRIC_COSINE, VEC_METRIC_IP}) {
        auto g = make_graph(dim, 16, 100, 64, 5000, metric);
        auto data = vtest::random_vectors(n, dim, 21);
        std::vector<uint64_t> ids;
        for (size_t i = 0; i < n; i++) {
            ids.push_back(i * 3);
            ASSERT_EQ(hnsw_insert(g.get(), i * 3, data.data() + i * dim), 0);
        }
        // Node vector pointers follow the vector array as it grows.
        for (int32_t i = 0; i < g->node_count; i++) ASSERT_EQ(g->nodes[i].vector, g->vectors + size_t(i) * dim);
        auto queries = vtest::random_vectors(50, dim, 5);
        EXPECT_GT(recall_at_10(g.get(), data, ids, dim, queries, 50), 0.9) << "metric " << metric;
    }
}

// Points around `clusters` centres drawn uniformly from [-1, 1]^dim, with a
// per-coordinate Gaussian spread much smaller than the centre spacing.
std::vector<float> clustered_vectors(size_t clusters, size_t per_cluster, uint32_t dim, uint32_t points_seed) {
    std::mt19937 centre_rng(3), rng(points_seed);
    std::uniform_real_distribution<float> centre(-1.0f, 1.0f);
    std::normal_distribution<float> spread(0.0f, 0.02f);
    std::vector<float> centres(clusters * dim);
    for (auto &x : centres) x = centre(centre_rng);
    std::vector<float> v;
    v.reserve(clusters * per_cluster * dim);
    for (size_t c = 0; c < clusters; c++)
        for (size_t p = 0; p < per_cluster; p++)
            for (uint32_t i = 0; i < dim; i++) v.push_back(centres[c * dim + i] + spread(rng));
    return v;
}

// Clustered data is where linking only the nearest candidates fails: every
// link stays inside its cluster and a search cannot leave the cluster it
// enters. With every node a candidate the search must find nearly all.
TEST(HnswGraph, ClusteredDataStaysReachable) {
    const uint32_t dim = 16;
    const size_t clusters = 20, per_cluster = 200, n = clusters * per_cluster;
    srand(7);
    auto g = make_graph(dim, 16, 200, static_cast<int32_t>(n), static_cast<int32_t>(n));
    auto data = clustered_vectors(clusters, per_cluster, dim, 4);
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; i++) {
        ids[i] = i;
        ASSERT_EQ(hnsw_insert(g.get(), i, data.data() + i * dim), 0);
    }
    // Queries come from the same mixture: same centres, other points.
    auto queries = clustered_vectors(clusters, 5, dim, 5);
    EXPECT_GE(recall_at_10(g.get(), data, ids, dim, queries, 100), 0.99);
}

// Rows remember their distances and the rule's decisions between inserts.
// Overwriting a vector, even with itself, makes every row measure and
// decide afresh, so a graph built with an overwrite before each insert must
// link exactly like one built without.
TEST(HnswGraph, RememberedDecisionsLinkLikeFreshOnes) {
    const uint32_t dim = 8;
    auto data = clustered_vectors(10, 150, dim, 9);
    const int32_t n = 1500;
    for (int32_t m : {3, 8}) {
        GraphPtr built[2];
        for (int fresh = 0; fresh < 2; fresh++) {
            srand(21);
            built[fresh] = make_graph(dim, m, 40, 10, n);
            for (int32_t i = 0; i < n; i++) {
                if (fresh && i > 0) {
                    ASSERT_EQ(hnsw_insert(built[fresh].get(), 0, data.data()), 0);
                }
                ASSERT_EQ(hnsw_insert(built[fresh].get(), i, data.data() + i * dim), 0);
            }
        }
        const hnsw_index *a = built[0].get(), *b = built[1].get();
        ASSERT_EQ(a->max_level, b->max_level);
        for (int32_t layer = 0; layer <= a->max_level; layer++) {
            int32_t limit = layer == 0 ? a->max_links0 : a->max_links;
            for (int32_t i = 0; i < n; i++) {
                ASSERT_EQ(links_of(a, layer, i), links_of(b, layer, i)) << "m " << m << " layer " << layer << " node " << i;
                const int32_t *ra = a->links[layer] + static_cast<size_t>(i) * limit;
                const int32_t *rb = b->links[layer] + static_cast<size_t>(i) * limit;
                ASSERT_TRUE(std::equal(ra, ra + links_of(a, layer, i), rb)) << "m " << m << " layer " << layer << " node " << i;
            }
        }
    }
}

// NaN and infinite components make comparisons false both ways, which
// sorts and the selection rule must survive: every call still succeeds and
// hits name inserted ids (the sanitizer builds check the memory accesses).
TEST(HnswGraph, NonFiniteVectorsNeverBreakTheGraph) {
    const float specials[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f};
    for (uint32_t metric : {VEC_METRIC_L2, VEC_METRIC_COSINE, VEC_METRIC_IP}) {
        auto g = make_graph(4, 2, 16, 8, 800, metric);
        std::mt19937 rng(metric + 1);
        std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
        for (int i = 0; i < 1200; i++) {
            float v[4];
            for (auto &x : v) x = rng() % 8 == 0 ? specials[rng() % 5] : uniform(rng);
            uint64_t id = rng() % 600;  // overwrites too
            ASSERT_EQ(hnsw_insert(g.get(), id, v), 0);
            if (i % 5 == 0) hnsw_delete(g.get(), rng() % 600);
            vec_result r[6];
            int32_t n = hnsw_search(g.get(), v, 6, r);
            ASSERT_GE(n, 0);
            ASSERT_LE(n, 6);
            for (int32_t j = 0; j < n; j++) ASSERT_LT(r[j].id, 600u);
        }
    }
}

long resident_kib() {
    std::ifstream in("/proc/self/statm");
    long pages_total = 0, pages_resident = 0;
    in >> pages_total >> pages_resident;
    return pages_resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(HnswGraph, DefaultCapacityCostsMemoryOnlyForInsertedNodes) {
    long before = resident_kib();
    vec_config c = vtest::hnsw_config(1536);
    vec_store *s = nullptr;
    ASSERT_EQ(morvadb_vec_create(nullptr, &c, &s), 0);
    EXPECT_EQ(s->graph->capacity, 4194304);
    auto data = vtest::random_vectors(200, 1536, 4);
    for (uint64_t i = 0; i < 200; i++) ASSERT_EQ(morvadb_vec_insert(s, i, data.data() + i * 1536), 0);
    vec_result r[5];
    ASSERT_EQ(morvadb_vec_search(s, data.data(), 5, r), 5);
    EXPECT_EQ(r[0].id, 0u);
    // Fully committed, the arrays would take over 24 GiB.
    EXPECT_LT(resident_kib() - before, 256 * 1024);
    morvadb_vec_close(s);
}

TEST(HnswStore, BatchThatFailsPartwayMarksDirtyAndKeepsEarlierVectors) {
    vec_config c = vtest::hnsw_config(2, 4, 16, 8, 3);
    vec_store *s = nullptr;
    ASSERT_EQ(morvadb_vec_create(nullptr, &c, &s), 0);
    const uint64_t ids[5] = {1, 2, 3, 4, 5};
    const float v[10] = {0};
    EXPECT_EQ(morvadb_vec_insert_batch(s, 5, ids, v), -1);
    EXPECT_EQ(morvadb_vec_count(s), 3);
    EXPECT_EQ(s->dirty, 1u);
    vec_stats st;
    ASSERT_EQ(morvadb_vec_stats(s, &st), 0);
    EXPECT_EQ(st.count, 3u);
    EXPECT_EQ(st.capacity, 0u);
    EXPECT_EQ(st.memory_bytes, 320u);
    morvadb_vec_close(s);
}

TEST(HnswStore, CreateRejectsMBelowTwo) {
    for (uint32_t m : {0u, 1u}) {
        vec_config c = vtest::hnsw_config(4, m);
        vec_store *s = nullptr;
        EXPECT_EQ(morvadb_vec_create(nullptr, &c, &s), -5);
    }
}

// The graph is rebuilt at open by inserting the stored vectors in their
// order. With the level draws repeated, the reopened store must answer
// every query exactly as before it was closed.
TEST(HnswStore, ReopenAnswersAsBeforeClose) {
    const uint32_t dim = 16;
    vtest::TempDir dir;
    vec_config c = vtest::hnsw_config(dim, 8, 64, 32);
    c.persist = 1;
    auto data = clustered_vectors(8, 150, dim, 12);
    auto queries = clustered_vectors(8, 4, dim, 13);
    const size_t n = data.size() / dim, nq = queries.size() / dim;
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; i++) ids[i] = 1000 + i * 7;
    auto answers = [&](vec_store *s) {
        std::vector<vec_result> all(nq * 10);
        for (size_t q = 0; q < nq; q++)
            EXPECT_EQ(morvadb_vec_search(s, queries.data() + q * dim, 10, all.data() + q * 10), 10);
        return all;
    };
    srand(5);
    vec_store *s = nullptr;
    ASSERT_EQ(morvadb_vec_create(dir.path().c_str(), &c, &s), 0);
    ASSERT_EQ(morvadb_vec_insert_batch(s, static_cast<uint32_t>(n), ids.data(), data.data()), 0);
    auto before = answers(s);
    ASSERT_EQ(morvadb_vec_close(s), 0);
    srand(5);
    ASSERT_EQ(morvadb_vec_open(dir.path().c_str(), &s), 0);
    auto after = answers(s);
    for (size_t j = 0; j < before.size(); j++) {
        EXPECT_EQ(after[j].id, before[j].id) << j;
        EXPECT_EQ(vtest::float_bits(after[j].distance), vtest::float_bits(before[j].distance)) << j;
    }
    morvadb_vec_close(s);
}

TEST(HnswStore, ConcurrentSearchesWhileInserting) {
    const uint32_t dim = 16;
    vec_config c = vtest::hnsw_config(dim, 8, 40, 20, 5000);
    vec_store *s = nullptr;
    ASSERT_EQ(morvadb_vec_create(nullptr, &c, &s), 0);
    auto data = vtest::random_vectors(1200, dim, 8);
    for (uint64_t i = 0; i < 400; i++) ASSERT_EQ(morvadb_vec_insert(s, i, data.data() + i * dim), 0);
    std::atomic<int> bad{0}, missed{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; t++) {
        readers.emplace_back([&, t] {
            // A fixed number of rounds: the default read-write lock prefers
            // readers, so endless searching would starve the inserter.
            for (int round = 0; round < 150; round++) {
                // Each thread looks for vectors already inserted; the
                // approximate search nearly always finds the exact match.
                uint64_t id = static_cast<uint64_t>((t * 97 + round * 13) % 400);
                vec_result r[10];
                int32_t n = morvadb_vec_search(s, data.data() + id * dim, 10, r);
                if (n != 10) bad++;
                if (n > 0 && r[0].distance != 0.0f) missed++;
                for (int j = 1; j < n; j++)
                    if (r[j - 1].distance > r[j].distance) bad++;
                std::this_thread::yield();
            }
        });
    }
    for (uint64_t i = 400; i < 1200; i++) ASSERT_EQ(morvadb_vec_insert(s, i, data.data() + i * dim), 0);
    for (auto &th : readers) th.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LT(missed.load(), 30);  // of 600 searches
    morvadb_vec_close(s);
}

}  // namespace
