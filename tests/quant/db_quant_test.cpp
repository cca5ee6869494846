// The quantized vector index on a database handle.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "quant/nearest_selection.h"
#include "vector/db_vector_fixture.h"

namespace {

using vectest::TempDatabase;

std::vector<float> random_floats(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> out(count);
    for (float &v : out) v = dist(rng);
    return out;
}

quant_config scalar_config(int32_t dim) { return quant_config{QUANT_TYPE_SCALAR, dim, 0}; }
quant_config product_config(int32_t dim, int32_t m) { return quant_config{QUANT_TYPE_PRODUCT, dim, m}; }

// What a search must return: every stored vector encoded now, measured
// against the encoded query, ranked by selection sort.
std::vector<vec_result> reference_search(db_handle *db, const float *query, uint32_t k) {
    const quantizer *q = db->quant;
    const size_t code_size = morvadb_quant_code_size(q);
    std::vector<uint8_t> query_code(code_size);
    std::vector<uint8_t> code(code_size);
    EXPECT_EQ(morvadb_quant_encode(q, query, query_code.data(), nullptr), 0);
    std::vector<float> distances(db->quant_count);
    for (uint32_t i = 0; i < db->quant_count; ++i) {
        EXPECT_EQ(morvadb_quant_encode(q, db->quant_vectors + i * q->dimension, code.data(), nullptr), 0);
        distances[i] = morvadb_quant_distance(q, query_code.data(), code_size, code.data(), code_size);
    }
    std::vector<vec_result> hits(std::min<size_t>(k, db->quant_count));
    morva::selection_sort_nearest(distances.data(), db->quant_ids, distances.size(), k, hits.data());
    return hits;
}

void expect_search_matches_reference(db_handle *db, const float *query, uint32_t k) {
    const std::vector<vec_result> expected = reference_search(db, query, k);
    std::vector<vec_result> hits(k);
    ASSERT_EQ(db_vec_quant_search(db, query, k, hits.data()), static_cast<int32_t>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(hits[i].id, expected[i].id) << "at " << i;
        EXPECT_EQ(hits[i].distance, expected[i].distance) << "at " << i;
    }
}

TEST(DbQuant, ArgumentErrors) {
    TempDatabase t;
    db_handle *db = t.get();
    const std::vector<float> v(8, 0.5f);
    vec_result hits[4];
    float out[8];
    const quant_config c = scalar_config(8);
    EXPECT_EQ(db_vec_quant_create(nullptr, &c), DB_ERR_INVALID);
    ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
    EXPECT_EQ(db_vec_quant_train(db, v.data(), 0), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_train(db, v.data(), -3), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_train(db, nullptr, 1), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_search(db, v.data(), 0, hits), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_search(db, nullptr, 4, hits), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_search(db, v.data(), 4, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_insert(db, 1, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_decode(db, 1, nullptr), DB_ERR_INVALID);
    db_vec_quant_destroy(db);
    EXPECT_EQ(db_vec_quant_decode(db, 1, out), DB_ERR_INVALID);
}


TEST(DbQuant, UntrainedIndexRefusesToRank) {
    TempDatabase t;
    db_handle *db = t.get();
    const quant_config c = scalar_config(4);
    ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
    const float v[4] = {1, 2, 3, 4};
    float out[4];
    vec_result hits[2];
    EXPECT_EQ(db_vec_quant_search(db, v, 2, hits), 0);  // nothing stored
    ASSERT_EQ(db_vec_quant_insert(db, 9, v), DB_OK);   // inserting works before training
    EXPECT_EQ(db_vec_quant_search(db, v, 2, hits), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_decode(db, 9, out), DB_ERR_INVALID);
    EXPECT_EQ(db_vec_quant_decode(db, 8, out), DB_ERR_NOT_FOUND);

    // A training that fails leaves it untrained: still refused.
    const quant_config unknown{5, 4, 0};
    ASSERT_EQ(db_vec_quant_create(db, &unknown), DB_OK);
    ASSERT_EQ(db_vec_quant_insert(db, 9, v), DB_OK);
    EXPECT_EQ(db_vec_quant_train(db, v, 1), DB_ERR_IO);
    EXPECT_EQ(db_vec_quant_search(db, v, 2, hits), DB_ERR_INVALID);
    const quant_config too_many = product_config(4, 8);
    ASSERT_EQ(db_vec_quant_create(db, &too_many), DB_OK);
    EXPECT_EQ(db_vec_quant_train(db, v, 1), DB_ERR_IO);
}

TEST(DbQuant, DecodeGivesTheReconstruction) {
    TempDatabase t;
    db_handle *db = t.get();
    constexpr int32_t kDim = 8;
    const quant_config c = scalar_config(kDim);
    ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
    const std::vector<float> data = random_floats(3 * kDim, 3);
    for (uint64_t i = 0; i < 3; ++i) ASSERT_EQ(db_vec_quant_insert(db, 50 + i, data.data() + i * kDim), DB_OK);
    ASSERT_EQ(db_vec_quant_train(db, data.data(), 3), DB_OK);

    // Decoding gives what the code keeps: the reconstruction, not the input.
    float out[kDim];
    uint8_t code[kDim];
    float expected[kDim];
    ASSERT_EQ(db_vec_quant_decode(db, 51, out), DB_OK);
    ASSERT_EQ(morvadb_quant_encode(db->quant, data.data() + kDim, code, nullptr), 0);
    ASSERT_EQ(morvadb_quant_decode(db->quant, code, kDim, expected), 0);
    for (int i = 0; i < kDim; ++i) EXPECT_EQ(out[i], expected[i]);
    EXPECT_EQ(db_vec_quant_decode(db, 77, out), DB_ERR_NOT_FOUND);
}

TEST(DbQuant, DuplicateIdsAreKeptAndDecodeUsesTheFirst) {
    TempDatabase t;
    db_handle *db = t.get();
    const quant_config c = scalar_config(2);
    ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
    const float a[2] = {0, 0};
    const float b[2] = {1, 1};
    ASSERT_EQ(db_vec_quant_insert(db, 4, a), DB_OK);
    ASSERT_EQ(db_vec_quant_insert(db, 4, b), DB_OK);
    const float both[4] = {0, 0, 1, 1};
    ASSERT_EQ(db_vec_quant_train(db, both, 2), DB_OK);
    EXPECT_EQ(db->quant_count, 2u);
    float out[2];
    ASSERT_EQ(db_vec_quant_decode(db, 4, out), DB_OK);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 0.0f);
    vec_result hits[2];
    ASSERT_EQ(db_vec_quant_search(db, b, 2, hits), 2);
    EXPECT_EQ(hits[0].distance, 0.0f);
    EXPECT_EQ(hits[1].distance, 2.0f);
}

// The search keeps codes instead of re-encoding every stored vector; its
// results must stay those of re-encoding, across inserts before and after
// training and across retraining.
TEST(DbQuant, KeptCodesGiveTheResultsOfReencoding) {
    TempDatabase t;
    db_handle *db = t.get();
    constexpr int32_t kDim = 16;
    const quant_config configs[] = {scalar_config(kDim), product_config(kDim, 4), product_config(kDim + 2, 4)};
    for (const quant_config &c : configs) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " dim " << c.dimension);
        ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
        const uint32_t dim = static_cast<uint32_t>(c.dimension);
        const std::vector<float> data = random_floats(900 * dim, 17);
        for (uint64_t i = 0; i < 300; ++i) ASSERT_EQ(db_vec_quant_insert(db, i % 250, data.data() + i * dim), DB_OK);
        ASSERT_EQ(db_vec_quant_train(db, data.data(), 300), DB_OK);
        for (uint64_t i = 300; i < 600; ++i) ASSERT_EQ(db_vec_quant_insert(db, i % 250, data.data() + i * dim), DB_OK);
        for (uint32_t k : {1u, 10u, 700u}) expect_search_matches_reference(db, data.data() + 5 * dim, k);

        // Retraining on other vectors changes every code.
        ASSERT_EQ(db_vec_quant_train(db, data.data() + 600 * dim, 300), DB_OK);
        for (uint32_t k : {1u, 10u, 700u}) expect_search_matches_reference(db, data.data() + 650 * dim, k);
        float out[kDim + 2];
        ASSERT_EQ(db_vec_quant_decode(db, 7, out), DB_OK);
    }
}

TEST(DbQuant, ForwardingOnlyAtTheStoresDimension) {
    TempDatabase t;
    db_handle *db = t.get();
    db_vec_options o{};
    o.dimension = 8;
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    const quant_config same = scalar_config(0);
    ASSERT_EQ(db_vec_quant_create(db, &same), DB_OK);
    const std::vector<float> v = random_floats(8, 1);
    ASSERT_EQ(db_vec_quant_insert(db, 3, v.data()), DB_OK);
    std::vector<float> got(8);
    ASSERT_EQ(morvadb_vec_get(db->vectors, 3, got.data()), 0);
    EXPECT_EQ(got, v);

    // A quantizer of another dimension is accepted; its vectors stay out of
    // the store, which would read 8 floats from a 4-float vector.
    const quant_config narrow = scalar_config(4);
    ASSERT_EQ(db_vec_quant_create(db, &narrow), DB_OK);
    const std::vector<float> short_vector = random_floats(4, 2);
    ASSERT_EQ(db_vec_quant_insert(db, 4, short_vector.data()), DB_OK);
    EXPECT_EQ(db->quant_count, 1u);
    EXPECT_EQ(db_vec_count(db), 1);
}

TEST(DbQuant, ConcurrentSearchesAndInserts) {
    TempDatabase t;
    db_handle *db = t.get();
    constexpr int32_t kDim = 8;
    const quant_config c = product_config(kDim, 2);
    ASSERT_EQ(db_vec_quant_create(db, &c), DB_OK);
    const std::vector<float> data = random_floats(2000 * kDim, 9);
    ASSERT_EQ(db_vec_quant_train(db, data.data(), 500), DB_OK);
    for (uint64_t i = 0; i < 500; ++i) ASSERT_EQ(db_vec_quant_insert(db, i, data.data() + i * kDim), DB_OK);

    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (uint64_t i = 500; i < 2000; ++i) {
            if (db_vec_quant_insert(db, i, data.data() + i * kDim) != DB_OK) failed = true;
        }
    });
    threads.emplace_back([&] {
        if (db_vec_quant_train(db, data.data(), 1000) != DB_OK) failed = true;
    });
    for (int s = 0; s < 2; ++s) {
        threads.emplace_back([&, s] {
            vec_result hits[10];
            float out[kDim];
            for (int i = 0; i < 100; ++i) {
                const int32_t n = db_vec_quant_search(db, data.data() + (s * 100 + i) * kDim, 10, hits);
                if (n != 10) failed = true;
                for (int32_t j = 1; j < n; ++j) {
                    if (hits[j - 1].distance > hits[j].distance) failed = true;
                }
                if (db_vec_quant_decode(db, i, out) != DB_OK) failed = true;
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_FALSE(failed);
    EXPECT_EQ(db->quant_count, 2000u);
    expect_search_matches_reference(db, data.data() + 1234 * kDim, 10);
}

}  // namespace
