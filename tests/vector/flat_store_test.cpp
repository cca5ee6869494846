#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "vector/vector_support.h"

namespace {

struct StoreCloser {
    void operator()(vec_store *s) const { morvadb_vec_close(s); }
};
using StorePtr = std::unique_ptr<vec_store, StoreCloser>;

StorePtr make_flat(uint32_t dim, uint32_t metric = VEC_METRIC_L2, uint32_t capacity = 0) {
    vec_config c = vtest::flat_config(dim, metric);
    c.capacity = capacity;
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_create(nullptr, &c, &s), 0);
    return StorePtr(s);
}

TEST(FlatStore, ArgumentErrors) {
    vec_config c = vtest::flat_config(4);
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_create(nullptr, nullptr, &s), -5);
    EXPECT_EQ(morvadb_vec_create(nullptr, &c, nullptr), -5);
    c.dimension = 0;
    EXPECT_EQ(morvadb_vec_create(nullptr, &c, &s), -5);
    auto st = make_flat(4);
    float v[4] = {0};
    vec_result r[2];
    EXPECT_EQ(morvadb_vec_insert(nullptr, 1, v), -5);
    EXPECT_EQ(morvadb_vec_insert(st.get(), 1, nullptr), -5);
    uint64_t id = 1;
    EXPECT_EQ(morvadb_vec_insert_batch(st.get(), 0, &id, v), -5);
    EXPECT_EQ(morvadb_vec_delete(nullptr, 1), -5);
    EXPECT_EQ(morvadb_vec_get(st.get(), 1, nullptr), -5);
    EXPECT_EQ(morvadb_vec_search(st.get(), v, 0, r), -5);
    EXPECT_EQ(morvadb_vec_search(st.get(), v, -3, r), -5);
    EXPECT_EQ(morvadb_vec_close(nullptr), -5);
    EXPECT_EQ(morvadb_vec_count(nullptr), 0);
    EXPECT_EQ(morvadb_vec_dimension(nullptr), 0u);
    EXPECT_EQ(morvadb_vec_dimension(st.get()), 4u);
    // No directory: flush is refused, interval 0 without a thread is fine.
    EXPECT_EQ(morvadb_vec_flush(st.get()), -5);
    EXPECT_EQ(morvadb_vec_flush_interval(st.get(), 0), 0);
}

TEST(FlatStore, InsertOverwriteDeleteReinsert) {
    auto st = make_flat(2);
    const float a[2] = {1, 2}, b[2] = {3, 4};
    float out[2];
    ASSERT_EQ(morvadb_vec_insert(st.get(), 7, a), 0);
    ASSERT_EQ(morvadb_vec_insert(st.get(), 7, b), 0);  // overwrite: same slot
    EXPECT_EQ(morvadb_vec_count(st.get()), 1);
    ASSERT_EQ(morvadb_vec_get(st.get(), 7, out), 0);
    EXPECT_EQ(out[0], 3.0f);
    EXPECT_EQ(morvadb_vec_delete(st.get(), 7), 0);
    EXPECT_EQ(morvadb_vec_delete(st.get(), 7), -2);
    EXPECT_EQ(morvadb_vec_get(st.get(), 7, out), -2);
    ASSERT_EQ(morvadb_vec_insert(st.get(), 7, a), 0);  // a new slot; the deleted one still counts
    EXPECT_EQ(morvadb_vec_count(st.get()), 2);
    ASSERT_EQ(morvadb_vec_get(st.get(), 7, out), 0);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(st->deleted[0], 1);
    EXPECT_EQ(st->deleted[1], 0);
}

TEST(FlatStore, BatchWithRepeatedIdKeepsBothAndActsOnTheFirst) {
    auto st = make_flat(1);
    const float one = 1.0f, two[2] = {2.0f, 3.0f};
    ASSERT_EQ(morvadb_vec_insert(st.get(), 5, &one), 0);
    const uint64_t ids[2] = {5, 5};
    ASSERT_EQ(morvadb_vec_insert_batch(st.get(), 2, ids, two), 0);
    EXPECT_EQ(morvadb_vec_count(st.get()), 3);
    float out;
    ASSERT_EQ(morvadb_vec_get(st.get(), 5, &out), 0);
    EXPECT_EQ(out, 1.0f);
    ASSERT_EQ(morvadb_vec_delete(st.get(), 5), 0);
    ASSERT_EQ(morvadb_vec_get(st.get(), 5, &out), 0);
    EXPECT_EQ(out, 2.0f);
    // A single insert overwrites the first live slot (slot 1).
    const float nine = 9.0f;
    ASSERT_EQ(morvadb_vec_insert(st.get(), 5, &nine), 0);
    EXPECT_EQ(st->vectors[1], 9.0f);
    ASSERT_EQ(morvadb_vec_delete(st.get(), 5), 0);
    ASSERT_EQ(morvadb_vec_get(st.get(), 5, &out), 0);
    EXPECT_EQ(out, 3.0f);
    ASSERT_EQ(morvadb_vec_delete(st.get(), 5), 0);
    EXPECT_EQ(morvadb_vec_delete(st.get(), 5), -2);
}

TEST(FlatStore, SearchMatchesExactScanForEveryMetric) {
    const uint32_t dim = 13;
    const size_t n = 700;
    for (uint32_t metric : {VEC_METRIC_L2, VEC_METRIC_COSINE, VEC_METRIC_IP}) {
        auto st = make_flat(dim, metric);
        auto data = vtest::random_vectors(n, dim, 3);
        std::vector<uint64_t> ids;
        for (size_t i = 0; i < n; i++) ids.push_back(1000 + i);
        ASSERT_EQ(morvadb_vec_insert_batch(st.get(), n, ids.data(), data.data()), 0);
        // Delete every seventh from the store and the reference alike.
        std::vector<float> live_data;
        std::vector<uint64_t> live_ids;
        for (size_t i = 0; i < n; i++) {
            if (i % 7 == 0) {
                ASSERT_EQ(morvadb_vec_delete(st.get(), ids[i]), 0);
            } else {
                live_ids.push_back(ids[i]);
                live_data.insert(live_data.end(), data.begin() + i * dim, data.begin() + (i + 1) * dim);
            }
        }
        auto queries = vtest::random_vectors(5, dim, 77);
        for (int q = 0; q < 5; q++) {
            vec_result got[25];
            int32_t n_got = morvadb_vec_search(st.get(), queries.data() + q * dim, 25, got);
            auto want = vtest::exact_knn(live_data, live_ids, dim, queries.data() + q * dim, 25,
                                         vec_get_dist_func(metric));
            ASSERT_EQ(n_got, 25);
            for (int j = 0; j < 25; j++) {
                EXPECT_EQ(got[j].id, want[j].id) << "metric " << metric;
                EXPECT_EQ(vtest::float_bits(got[j].distance), vtest::float_bits(want[j].distance));
            }
        }
    }
}

TEST(FlatStore, SearchCountsAndEmptyStore) {
    auto st = make_flat(3);
    const float q[3] = {0, 0, 0};
    vec_result r[10];
    EXPECT_EQ(morvadb_vec_search(st.get(), q, 5, r), 0);
    auto data = vtest::random_vectors(4, 3, 1);
    const uint64_t ids[4] = {1, 2, 3, 4};
    ASSERT_EQ(morvadb_vec_insert_batch(st.get(), 4, ids, data.data()), 0);
    ASSERT_EQ(morvadb_vec_delete(st.get(), 2), 0);
    EXPECT_EQ(morvadb_vec_search(st.get(), q, 10, r), 3);
    for (int i = 0; i < 3; i++) EXPECT_NE(r[i].id, 2u);
    for (uint64_t id : {1, 3, 4}) ASSERT_EQ(morvadb_vec_delete(st.get(), id), 0);
    EXPECT_EQ(morvadb_vec_search(st.get(), q, 10, r), 0);
}

TEST(FlatStore, LaterEqualDistanceDoesNotDisplaceAHeldHit) {
    auto st = make_flat(1);
    const float zero = 0.0f, one = 1.0f;
    const float *values[] = {&one, &zero, &one, &one};
    for (uint64_t id = 1; id <= 4; id++) ASSERT_EQ(morvadb_vec_insert(st.get(), id, values[id - 1]), 0);
    vec_result r[2];
    ASSERT_EQ(morvadb_vec_search(st.get(), &zero, 2, r), 2);
    EXPECT_EQ(r[0].id, 2u);
    EXPECT_EQ(r[1].id, 1u);  // ids 3 and 4 tie with 1 but are not strictly nearer
}

TEST(FlatStore, InnerProductNegativeDistancesRankNormally) {
    auto st = make_flat(2, VEC_METRIC_IP);
    const float v1[2] = {1, 0}, v2[2] = {5, 0}, v3[2] = {-1, 0}, q[2] = {1, 0};
    morvadb_vec_insert(st.get(), 1, v1);
    morvadb_vec_insert(st.get(), 2, v2);
    morvadb_vec_insert(st.get(), 3, v3);
    vec_result r[3];
    ASSERT_EQ(morvadb_vec_search(st.get(), q, 2, r), 2);
    EXPECT_EQ(r[0].id, 2u);
    EXPECT_EQ(r[0].distance, -5.0f);
    EXPECT_EQ(r[1].id, 1u);
}

TEST(FlatStore, GrowthAndStats) {
    auto st = make_flat(4, VEC_METRIC_L2, 0);
    vec_stats stats;
    ASSERT_EQ(morvadb_vec_stats(st.get(), &stats), 0);
    EXPECT_EQ(stats.capacity, 0u);
    const float v[4] = {1, 2, 3, 4};
    for (uint64_t id = 0; id < 1025; id++) ASSERT_EQ(morvadb_vec_insert(st.get(), id, v), 0);
    ASSERT_EQ(morvadb_vec_stats(st.get(), &stats), 0);
    EXPECT_EQ(stats.count, 1025u);
    EXPECT_EQ(stats.capacity, 2048u);
    EXPECT_EQ(stats.dimension, 4u);
    auto pre = make_flat(4, VEC_METRIC_L2, 1024);
    ASSERT_EQ(morvadb_vec_stats(pre.get(), &stats), 0);
    EXPECT_EQ(stats.memory_bytes, 25808u);
    EXPECT_EQ(morvadb_vec_stats(pre.get(), nullptr), -5);
}

TEST(FlatStore, GrowthThatWouldOverflowFailsAndKeepsTheStore) {
    auto st = make_flat(4);
    // Pretend the store is already as large as the doubling guard allows:
    // the next growth must fail before any allocation is attempted.
    const uint64_t limit = ((uint64_t{1} << 62) - 1) / 4;
    st->capacity = limit;
    st->count = limit;
    const float v[4] = {1, 2, 3, 4};
    EXPECT_EQ(morvadb_vec_insert(st.get(), 1, v), -1);
    const uint64_t id = 2;
    EXPECT_EQ(morvadb_vec_insert_batch(st.get(), 1, &id, v), -1);
    EXPECT_EQ(st->capacity, limit);
    EXPECT_EQ(st->count, limit);
    st->capacity = 0;
    st->count = 0;
}

}  // namespace
