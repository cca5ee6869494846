// The quantized index of a database handle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

class DbQuantIndex : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/morvadb_dbquant_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(db_open((dir + "/db").c_str(), nullptr, &db), DB_OK);
    }
    void TearDown() override {
        db_close(db);  // also releases a quantized index left in place
        std::filesystem::remove_all(dir);
    }

    static quant_config scalar(int32_t dimension) { return quant_config{QUANT_TYPE_SCALAR, dimension, 0}; }

    std::string dir;
    db_handle *db = nullptr;
};

TEST_F(DbQuantIndex, EveryCallNeedsAQuantizer) {
    float v[4] = {};
    vec_result r[2];
    EXPECT_EQ(db_vec_quant_insert(db, 1, v), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_train(db, v, 1), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_search(db, v, 2, r), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_decode(db, 1, v), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_create(db, nullptr), DB_ERR_INVALID);
    quant_config no_dimension = scalar(0);
    EXPECT_EQ(db_vec_quant_create(db, &no_dimension), DB_ERR_NOMEM);  // no vector store to take it from
    db_vec_quant_destroy(nullptr);
}

TEST_F(DbQuantIndex, TrainedScalarIndexFindsStoredVectorsAndGrows) {
    constexpr int kDim = 8, kCount = 5000;  // beyond the first 4,096 slots
    quant_config config = scalar(kDim);
    ASSERT_EQ(db_vec_quant_create(db, &config), DB_OK);
    EXPECT_EQ(db->quant_capacity, 4096u);
    float query[kDim] = {};
    vec_result r[10];
    EXPECT_EQ(db_vec_quant_search(db, query, 10, r), 0);  // empty

    std::vector<float> vectors(static_cast<size_t>(kCount) * kDim);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> value(0.0f, 100.0f);
    for (float &x : vectors) x = value(rng);
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(db_vec_quant_insert(db, 100 + i, &vectors[static_cast<size_t>(i) * kDim]), DB_OK);
    EXPECT_EQ(db->quant_count, static_cast<uint32_t>(kCount));
    EXPECT_EQ(db->quant_capacity, 8192u);

    // Untrained: no codes to rank by.
    EXPECT_EQ(db_vec_quant_search(db, query, 10, r), DB_ERR_INVALID);
    ASSERT_EQ(db_vec_quant_train(db, vectors.data(), kCount), DB_OK);

    const float *probe = &vectors[static_cast<size_t>(4321) * kDim];
    ASSERT_EQ(db_vec_quant_search(db, probe, 10, r), 10);
    EXPECT_EQ(r[0].id, 4421u);
    EXPECT_EQ(r[0].distance, 0.0f);
    for (int i = 1; i < 10; ++i) EXPECT_LE(r[i - 1].distance, r[i].distance);

    float decoded[kDim];
    ASSERT_EQ(db_vec_quant_decode(db, 100, decoded), DB_OK);
    for (int d = 0; d < kDim; ++d) EXPECT_NEAR(decoded[d], vectors[static_cast<size_t>(d)], 0.5f);
    EXPECT_EQ(db_vec_quant_decode(db, 99, decoded), DB_ERR_NOT_FOUND);
}

TEST_F(DbQuantIndex, FewerStoredThanAskedAndVectorStoreForwarding) {
    db_vec_options vopts{};
    vopts.dimension = 4;
    ASSERT_EQ(db_vec_create_index(db, &vopts), DB_OK);
    quant_config config = scalar(0);  // takes the vector store's dimension
    ASSERT_EQ(db_vec_quant_create(db, &config), DB_OK);
    EXPECT_EQ(db->quant->dimension, 4u);
    float v[3][4] = {{0, 0, 0, 0}, {1, 1, 1, 1}, {4, 4, 4, 4}};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(db_vec_quant_insert(db, static_cast<uint64_t>(i), v[i]), DB_OK);
    EXPECT_EQ(db_vec_count(db), 3);  // inserts reach the vector store too
    ASSERT_EQ(db_vec_quant_train(db, &v[0][0], 3), DB_OK);
    vec_result r[10];
    ASSERT_EQ(db_vec_quant_search(db, v[2], 10, r), 3);
    EXPECT_EQ(r[0].id, 2u);
    EXPECT_EQ(r[1].id, 1u);
    EXPECT_EQ(r[2].id, 0u);
    db_vec_quant_destroy(db);
    EXPECT_EQ(db->quant, nullptr);
    EXPECT_EQ(db_vec_quant_search(db, v[0], 1, r), DB_ERR_INVALID);
}

}  // namespace
