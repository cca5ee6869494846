// The database vector index on a real database handle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

class DbVectorIndex : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/morvadb_dbvec_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(db_open((dir + "/db").c_str(), nullptr, &db), DB_OK);
    }
    void TearDown() override {
        db_close(db);
        std::filesystem::remove_all(dir);
    }

    static db_vec_options flat(uint32_t dimension) {
        db_vec_options o{};
        o.dimension = dimension;
        return o;
    }

    int32_t insert_text(uint64_t id, const std::string &text) {
        return db_vec_insert_text(db, id, text.data(), text.size());
    }

    std::string dir;
    db_handle *db = nullptr;
};

TEST_F(DbVectorIndex, EveryCallNeedsAnIndexFirst) {
    float v[8] = {};
    vec_result r[4];
    EXPECT_EQ(insert_text(1, "hello"), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_insert_vector(db, 1, v), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_search(db, v, 4, r), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_search_text(db, "x", 1, 4, r), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_search_filtered(db, v, 4, nullptr, nullptr, r), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_delete(db, 1), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_flush(db), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_count(db), 0);
    EXPECT_EQ(db_vec_count(nullptr), 0);
    EXPECT_EQ(db_vec_create_index(db, nullptr), DB_ERR_INVALID);
    db_vec_options zero = flat(0);
    EXPECT_EQ(db_vec_create_index(db, &zero), DB_ERR_INVALID);
}

TEST_F(DbVectorIndex, TextInsertedThenSearchedComesBackFirst) {
    db_vec_options o = flat(64);
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    ASSERT_EQ(insert_text(7, "storage engines flush memtables"), VEC_OK);
    ASSERT_EQ(insert_text(8, "vectors are searched by distance"), VEC_OK);
    const char *texts[] = {"a third text", "and a fourth"};
    uint64_t ids[] = {9, 10};
    uint64_t lengths[] = {std::strlen(texts[0]), std::strlen(texts[1])};
    ASSERT_EQ(db_vec_insert_batch(db, 2, ids, texts, lengths), VEC_OK);
    EXPECT_EQ(db_vec_count(db), 4);
    vec_result r[4];
    const char *query = "storage engines flush memtables";
    ASSERT_GE(db_vec_search_text(db, query, std::strlen(query), 4, r), 1);
    EXPECT_EQ(r[0].id, 7u);
    EXPECT_EQ(r[0].distance, 0.0f);
    EXPECT_EQ(db_vec_flush(db), VEC_ERR_INVALID);  // an in-memory index has nowhere to flush
    ASSERT_EQ(db_vec_delete(db, 7), VEC_OK);
    ASSERT_GE(db_vec_search_text(db, query, std::strlen(query), 4, r), 1);
    EXPECT_NE(r[0].id, 7u);

    // A second creation discards every vector.
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    EXPECT_EQ(db_vec_count(db), 0);
    ASSERT_EQ(db_vec_destroy_index(db), DB_OK);
    EXPECT_EQ(db_vec_count(db), 0);
}

TEST_F(DbVectorIndex, FailedGraphCreationLeavesNoIndex) {
    db_vec_options o = flat(16);
    o.use_hnsw = 1;
    o.m = 0;
    EXPECT_EQ(db_vec_create_index(db, &o), VEC_ERR_INVALID);
    float v[16] = {};
    EXPECT_EQ(db_vec_insert_vector(db, 1, v), DB_ERR_INVALID);
}

TEST_F(DbVectorIndex, EmbeddersMustMatchTheStoresDimension) {
    db_vec_options o = flat(32);
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    embedder *wrong = nullptr;
    ASSERT_EQ(morvadb_embed_create(48, 3, &wrong), 0);
    EXPECT_EQ(db_vec_set_embed(db, wrong), DB_ERR_INVALID);  // refused: still ours
    morvadb_embed_destroy(wrong);
    embedder *right = nullptr;
    ASSERT_EQ(morvadb_embed_create(32, 2, &right), 0);
    EXPECT_EQ(db_vec_set_embed(db, right), DB_OK);  // the handle owns it now
    EXPECT_EQ(insert_text(1, "ok"), VEC_OK);

    // An embedder installed without a store that later gets a store of
    // another dimension is caught by the text calls.
    ASSERT_EQ(db_vec_destroy_index(db), DB_OK);
    embedder *early = nullptr;
    ASSERT_EQ(morvadb_embed_create(48, 3, &early), 0);
    ASSERT_EQ(db_vec_set_embed(db, early), DB_OK);
    EXPECT_EQ(insert_text(1, "no store"), DB_ERR_INVALID);
}

TEST_F(DbVectorIndex, HybridSearchFusesTheHandlesVectorAndTextRankings) {
    db_vec_options o = flat(4);
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    float a[4] = {1, 0, 0, 0}, b[4] = {0, 1, 0, 0}, c[4] = {0, 0, 1, 0};
    ASSERT_EQ(db_vec_insert_vector(db, 0, a), VEC_OK);
    ASSERT_EQ(db_vec_insert_vector(db, 1, b), VEC_OK);
    ASSERT_EQ(db_vec_insert_vector(db, 2, c), VEC_OK);
    // Text documents 0 ("apple") and 1 ("pear"): ids 0 and 1.
    const char *doc0[] = {"apple"}, *doc1[] = {"pear"};
    ASSERT_EQ(fts_index_add_document(db->fts, doc0, "apple", nullptr, 1), DB_OK);
    ASSERT_EQ(fts_index_add_document(db->fts, doc1, "pear", nullptr, 1), DB_OK);

    hybrid_options opts{};
    opts.vector_weight = 1.0;
    opts.text_weight = 0.5;
    opts.vector_k = 2;
    hybrid_result out[8];
    db->last_error = 55;
    int32_t n = db_hybrid_search(db, "any", "any", "pear apple", a, &opts, out, 8);
    ASSERT_EQ(n, 2);
    // Vector ranking: 0 (distance 0), then 1 or 2 (distance 2); text ranking: 1, then 0.
    EXPECT_EQ(out[0].id, 0u);
    EXPECT_DOUBLE_EQ(out[0].score, 1.0 / 61 + 0.5 / 62);
    EXPECT_EQ(out[0].vector_distance, 0.0);
    double idf = std::log((2 - 0.5) / 1.5 + 1);
    EXPECT_NEAR(out[0].text_score, idf, 1e-12);
    EXPECT_EQ(db->last_error, 55);

    opts.vector_k = 0;  // ten candidates: all three vectors
    n = db_hybrid_search(db, "any", "any", "pear", a, &opts, out, 8);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(out[0].id, 1u);  // 1/62 + 0.5/61 beats the nearest vector's 1/61
    EXPECT_DOUBLE_EQ(out[0].score, 1.0 / 62 + 0.5 / 61);
    EXPECT_EQ(out[1].id, 0u);
    EXPECT_DOUBLE_EQ(out[1].score, 1.0 / 61);
    EXPECT_EQ(out[2].id, 2u);
    EXPECT_DOUBLE_EQ(out[2].score, 1.0 / 63);
    n = db_hybrid_search(db, "any", "any", "pear", a, &opts, out, 1);
    EXPECT_EQ(n, 1);
}

}  // namespace
