#include <gtest/gtest.h>

#include <set>

#include "vector/vector_support.h"

namespace {

struct StoreCloser {
    void operator()(vec_store *s) const { morvadb_vec_close(s); }
};
using StorePtr = std::unique_ptr<vec_store, StoreCloser>;

StorePtr make_store(const vec_config &c) {
    vec_store *s = nullptr;
    EXPECT_EQ(morvadb_vec_create(nullptr, &c, &s), 0);
    return StorePtr(s);
}

// Fills a store with ids 0 .. n-1 at positions (i, 0).
void fill_line(vec_store *s, int n) {
    for (int i = 0; i < n; i++) {
        float v[2] = {static_cast<float>(i), 0};
        ASSERT_EQ(morvadb_vec_insert(s, static_cast<uint64_t>(i), v), 0);
    }
}

int32_t keep_listed(uint64_t id, void *user) {
    auto *keep = static_cast<std::set<uint64_t> *>(user);
    return keep->count(id) ? 1 : 0;
}
int32_t keep_none(uint64_t, void *) { return 0; }

TEST(FilteredSearch, ArgumentErrorsAreMinusOne) {
    auto st = make_store(vtest::flat_config(2));
    fill_line(st.get(), 5);
    float q[2] = {0, 0};
    vec_result r[4];
    EXPECT_EQ(morvadb_vec_search_filtered(nullptr, q, 2, nullptr, nullptr, r), -1);
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), nullptr, 2, nullptr, nullptr, r), -1);
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), q, 2, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), q, 0, nullptr, nullptr, r), -1);
    // A negative k must not be read as a huge unsigned count.
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), q, -1, nullptr, nullptr, r), -1);
}

TEST(FilteredSearch, FlatFilterIsExactAndNearestFirst) {
    auto st = make_store(vtest::flat_config(2));
    fill_line(st.get(), 100);
    std::set<uint64_t> keep = {91, 10, 55};
    float q[2] = {50, 0};
    vec_result r[10];
    ASSERT_EQ(morvadb_vec_search_filtered(st.get(), q, 10, keep_listed, &keep, r), 3);
    EXPECT_EQ(r[0].id, 55u);
    EXPECT_EQ(r[1].id, 10u);
    EXPECT_EQ(r[2].id, 91u);
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), q, 10, keep_none, nullptr, r), 0);
}

TEST(FilteredSearch, FlatWithoutFilterEqualsPlainSearch) {
    auto st = make_store(vtest::flat_config(8, VEC_METRIC_COSINE));
    auto data = vtest::random_vectors(500, 8, 2);
    std::vector<uint64_t> ids(500);
    for (int i = 0; i < 500; i++) ids[i] = static_cast<uint64_t>(i);
    ASSERT_EQ(morvadb_vec_insert_batch(st.get(), 500, ids.data(), data.data()), 0);
    vec_result a[20], b[20];
    ASSERT_EQ(morvadb_vec_search(st.get(), data.data() + 40, 20, a), 20);
    ASSERT_EQ(morvadb_vec_search_filtered(st.get(), data.data() + 40, 20, nullptr, nullptr, b), 20);
    for (int j = 0; j < 20; j++) {
        EXPECT_EQ(a[j].id, b[j].id);
        EXPECT_EQ(vtest::float_bits(a[j].distance), vtest::float_bits(b[j].distance));
    }
}

TEST(FilteredSearch, HnswOverFetchesAndFiltersAfterwards) {
    auto st = make_store(vtest::hnsw_config(2, 8, 64, 50, 1000));
    fill_line(st.get(), 30);
    float q[2] = {0, 0};
    vec_result r[5];
    // With 30 nodes the graph is asked for all 30 (ef_search 50 > 4k),
    // so a filter keeping far ids still finds them.
    std::set<uint64_t> keep = {29, 28, 3};
    ASSERT_EQ(morvadb_vec_search_filtered(st.get(), q, 5, keep_listed, &keep, r), 3);
    EXPECT_EQ(r[0].id, 3u);
    EXPECT_EQ(r[1].id, 28u);
    EXPECT_EQ(r[2].id, 29u);
    EXPECT_EQ(morvadb_vec_search_filtered(st.get(), q, 5, keep_none, nullptr, r), 0);
    ASSERT_EQ(morvadb_vec_search_filtered(st.get(), q, 5, nullptr, nullptr, r), 5);
    for (int j = 0; j < 5; j++) EXPECT_EQ(r[j].id, static_cast<uint64_t>(j));
}

TEST(RadiusSearch, FlatReturnsFirstQualifyingSlotsSortedByDistance) {
    auto st = make_store(vtest::flat_config(2));
    // Five vectors within radius, inserted far-to-near.
    const float xs[] = {4, 3, 2, 1, 0, 100};
    for (int i = 0; i < 6; i++) {
        float v[2] = {xs[i], 0};
        ASSERT_EQ(morvadb_vec_insert(st.get(), static_cast<uint64_t>(i), v), 0);
    }
    float q[2] = {0, 0};
    vec_result r[6];
    ASSERT_EQ(morvadb_vec_search_radius(st.get(), q, r, 2, 20.0f), 2);
    EXPECT_EQ(r[0].id, 1u);  // slots 0 and 1 qualify first, nearer one first
    EXPECT_EQ(r[1].id, 0u);
    ASSERT_EQ(morvadb_vec_search_radius(st.get(), q, r, 6, 20.0f), 5);
    EXPECT_EQ(r[0].id, 4u);
    // Radius 0 finds only exact duplicates.
    ASSERT_EQ(morvadb_vec_search_radius(st.get(), q, r, 6, 0.0f), 1);
    EXPECT_EQ(r[0].id, 4u);
    EXPECT_EQ(morvadb_vec_search_radius(st.get(), q, r, 0, 20.0f), 0);
    EXPECT_EQ(morvadb_vec_search_radius(st.get(), nullptr, r, 2, 1.0f), -5);
    // A NaN distance never qualifies.
    float nan_q[2] = {std::numeric_limits<float>::quiet_NaN(), 0};
    EXPECT_EQ(morvadb_vec_search_radius(st.get(), nan_q, r, 6, 1e30f), 0);
}

TEST(RadiusSearch, HnswKeepsGraphHitsWithinRadius) {
    auto st = make_store(vtest::hnsw_config(2, 8, 64, 50, 1000));
    fill_line(st.get(), 40);
    float q[2] = {10, 0};
    vec_result r[40];
    int32_t n = morvadb_vec_search_radius(st.get(), q, r, 40, 4.0f);
    ASSERT_EQ(n, 5);  // ids 8 .. 12
    for (int j = 0; j < n; j++) EXPECT_LE(r[j].distance, 4.0f);
    EXPECT_EQ(r[0].id, 10u);
}

}  // namespace
