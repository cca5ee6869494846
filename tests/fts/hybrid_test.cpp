// Fusion of caller-supplied rankings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "morvadb.h"

namespace {

hybrid_options options(int32_t mode, double vector_weight, double text_weight) {
    hybrid_options o{};
    o.mode = mode;
    o.vector_weight = vector_weight;
    o.text_weight = text_weight;
    return o;
}

TEST(MorvadbHybridSearch, ReciprocalRankAddsBothSides) {
    vec_result vec[] = {{7, 0.1f}, {8, 0.2f}};
    uint64_t text_ids[] = {9, 7};
    double text_scores[] = {2.0, 1.0};
    hybrid_options o = options(0, 1.0, 0.5);
    hybrid_result out[8];
    ASSERT_EQ(morvadb_hybrid_search(vec, 2, text_ids, text_scores, 2, &o, out, 8), 3);
    EXPECT_EQ(out[0].id, 7u);
    EXPECT_DOUBLE_EQ(out[0].score, 1.0 / 61 + 0.5 / 62);
    EXPECT_DOUBLE_EQ(out[0].vector_distance, static_cast<double>(0.1f));
    EXPECT_DOUBLE_EQ(out[0].text_score, 1.0);
    EXPECT_EQ(out[1].id, 8u);
    EXPECT_DOUBLE_EQ(out[1].score, 1.0 / 62);
    EXPECT_EQ(out[2].id, 9u);
    EXPECT_DOUBLE_EQ(out[2].score, 0.5 / 61);
    EXPECT_EQ(out[2].vector_distance, 0.0);
}

TEST(MorvadbHybridSearch, WeightedScoresUseSimilarityAndTextScore) {
    vec_result vec[] = {{1, 0.2f}, {2, 1.5f}, {3, -0.5f}};
    uint64_t text_ids[] = {1};
    double text_scores[] = {3.0};
    hybrid_options o = options(1, 0.7, 0.3);
    hybrid_result out[3];
    ASSERT_EQ(morvadb_hybrid_search(vec, 3, text_ids, text_scores, 1, &o, out, 3), 3);
    EXPECT_EQ(out[0].id, 1u);
    EXPECT_NEAR(out[0].score, 0.7 * (1 - static_cast<double>(0.2f)) + 0.3 * 3.0, 1e-12);
    EXPECT_EQ(out[1].id, 3u);  // negative distance: similarity above 1, not clamped
    EXPECT_DOUBLE_EQ(out[1].score, 0.7 * 1.5);
    EXPECT_EQ(out[2].id, 2u);
    EXPECT_EQ(out[2].score, 0.0);  // distance beyond 1 contributes nothing
}

TEST(MorvadbHybridSearch, OneSidedInputsTruncationAndRefusals) {
    uint64_t text_ids[] = {4, 5, 6};
    double text_scores[] = {1, 1, 1};
    hybrid_options o = options(0, 1.0, 1.0);
    hybrid_result out[2];
    ASSERT_EQ(morvadb_hybrid_search(nullptr, 5, text_ids, text_scores, 3, &o, out, 2), 2);
    EXPECT_EQ(out[0].id, 4u);
    EXPECT_EQ(out[1].id, 5u);
    EXPECT_EQ(morvadb_hybrid_search(nullptr, 0, text_ids, nullptr, 3, &o, out, 2), 0);
    EXPECT_EQ(morvadb_hybrid_search(nullptr, 0, text_ids, text_scores, 3, nullptr, out, 2), 0);
    EXPECT_EQ(morvadb_hybrid_search(nullptr, 0, text_ids, text_scores, 3, &o, nullptr, 2), 0);
    EXPECT_EQ(morvadb_hybrid_search(nullptr, 0, text_ids, text_scores, 3, &o, out, 0), 0);

    // A repeated vector id keeps its last position and distance.
    vec_result vec[] = {{1, 0.5f}, {2, 0.6f}, {1, 0.9f}};
    hybrid_result all[3];
    ASSERT_EQ(morvadb_hybrid_search(vec, 3, nullptr, nullptr, 0, &o, all, 3), 2);
    EXPECT_EQ(all[0].id, 2u);
    EXPECT_EQ(all[1].id, 1u);
    EXPECT_DOUBLE_EQ(all[1].score, 1.0 / 63);
    EXPECT_DOUBLE_EQ(all[1].vector_distance, static_cast<double>(0.9f));
}

TEST(MorvadbHybridSearch, NaNScoresSortLastAndManyIdsStayOrdered) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<vec_result> vec;
    for (uint64_t i = 0; i < 2000; ++i) vec.push_back({i, i % 5 == 0 ? nan : static_cast<float>(i % 97) / 100.0f});
    hybrid_options o = options(1, 1.0, 1.0);
    std::vector<hybrid_result> out(vec.size());
    int32_t n = morvadb_hybrid_search(vec.data(), static_cast<int32_t>(vec.size()), nullptr, nullptr, 0, &o, out.data(),
                                      static_cast<int32_t>(out.size()));
    ASSERT_EQ(n, 2000);
    bool seen_nan = false;
    for (int32_t i = 0; i < n; ++i) {
        if (std::isnan(out[static_cast<size_t>(i)].score)) {
            seen_nan = true;
            continue;
        }
        ASSERT_FALSE(seen_nan) << "number after NaN at " << i;
        if (i > 0) {
            EXPECT_LE(out[static_cast<size_t>(i)].score, out[static_cast<size_t>(i - 1)].score);
        }
    }
    EXPECT_TRUE(seen_nan);
}

}  // namespace

namespace {

TEST(DbHybridSearch, RefusesMissingArgumentsAndIndexes) {
    db_handle *db = static_cast<db_handle *>(calloc(1, sizeof(db_handle)));
    pthread_rwlock_init(&db->catalog_lock, nullptr);
    db->fts = fts_index_create();
    db->last_error = 77;
    float query[4] = {0, 0, 0, 1};
    hybrid_options o = options(0, 1.0, 1.0);
    hybrid_result out[4];
    // No vector store on the handle.
    EXPECT_EQ(db_hybrid_search(db, "t", "c", "word", query, &o, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(nullptr, "t", "c", "word", query, &o, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, nullptr, "c", "word", query, &o, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, "t", "c", nullptr, query, &o, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, "t", "c", "word", nullptr, &o, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, "t", "c", "word", query, nullptr, out, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, "t", "c", "word", query, &o, nullptr, 4), DB_ERR_INVALID);
    EXPECT_EQ(db_hybrid_search(db, "t", "c", "word", query, &o, out, 0), DB_ERR_INVALID);
    EXPECT_EQ(db->last_error, 77);  // hybrid search never records a status
    fts_index_destroy(db->fts);
    pthread_rwlock_destroy(&db->catalog_lock);
    free(db);
}

}  // namespace
