// The database vector index: a store and an embedder on the handle.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "vector/db_vector_fixture.h"

namespace {

using vectest::TempDatabase;

constexpr uint32_t kDim = 16;

db_vec_options flat_options(uint32_t dim = kDim) {
    db_vec_options o{};
    o.dimension = dim;
    return o;
}

db_vec_options hnsw_options(uint32_t m, uint32_t dim = kDim) {
    db_vec_options o{};
    o.dimension = dim;
    o.use_hnsw = 1;
    o.m = m;
    o.ef_construction = 100;
    return o;
}

std::vector<float> unit_vector(uint32_t dim, uint32_t hot) {
    std::vector<float> v(dim, 0.0f);
    v[hot % dim] = 1.0f;
    return v;
}

int32_t keep_even(uint64_t id, void *) { return id % 2 == 0; }

TEST(DbVector, FilteredTextSearchAndOwnEmbedderReinstalled) {
    TempDatabase t;
    db_handle *db = t.get();
    const db_vec_options o = flat_options();
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    const std::string texts[] = {"vector search engine", "full text index", "red apples and pears",
                                 "database storage", "quantized codes"};
    for (uint64_t i = 0; i < 5; ++i) {
        ASSERT_EQ(db_vec_insert_text(db, 100 + i, texts[i].data(), texts[i].size()), 0);
    }

    // The filter sees every live id and drops the odd ones.
    vec_result hits[10];
    int32_t n = db_vec_search_text_filtered(db, texts[1].data(), texts[1].size(), 10, keep_even, nullptr, hits);
    ASSERT_EQ(n, 3);
    for (int32_t j = 0; j < n; ++j) EXPECT_EQ(hits[j].id % 2, 0u);
    n = db_vec_search_text_filtered(db, texts[2].data(), texts[2].size(), 10, keep_even, nullptr, hits);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(hits[0].id, 102u);
    EXPECT_EQ(hits[0].distance, 0.0f);

    // Installing the embedder the handle already owns must not free it.
    embedder *own = db->embed;
    ASSERT_EQ(db_vec_set_embed(db, own), DB_OK);
    EXPECT_EQ(db->embed, own);
    ASSERT_EQ(db_vec_search_text(db, texts[4].data(), texts[4].size(), 1, hits), 1);
    EXPECT_EQ(hits[0].id, 104u);
}

TEST(DbVector, BatchTextsMatchSingleInserts) {
    TempDatabase t;
    db_handle *db = t.get();
    const db_vec_options o = flat_options();
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    const char *texts[3] = {"alpha beta", "gamma delta", "epsilon"};
    const uint64_t lengths[3] = {10, 11, 7};
    const uint64_t ids[3] = {7, 8, 9};
    ASSERT_EQ(db_vec_insert_batch(db, 3, ids, texts, lengths), 0);
    EXPECT_EQ(db_vec_count(db), 3);

    // Each batch vector is the embedding of its own text.
    std::vector<float> expected(kDim);
    std::vector<float> stored(kDim);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(morvadb_embed_text(db->embed, texts[i], lengths[i], expected.data()), 0);
        ASSERT_EQ(morvadb_vec_get(db->vectors, ids[i], stored.data()), 0);
        EXPECT_EQ(stored, expected);
    }
    // A null text inside the batch is the embedder's failure; nothing reaches the store.
    const char *bad[2] = {"ok", nullptr};
    const uint64_t bad_lengths[2] = {2, 3};
    EXPECT_EQ(db_vec_insert_batch(db, 2, ids, bad, bad_lengths), -1);
    EXPECT_EQ(db_vec_count(db), 3);
}

TEST(DbVector, RawVectorsOnFlatAndHnsw) {
    for (uint32_t use_hnsw : {0u, 1u}) {
        SCOPED_TRACE(use_hnsw);
        TempDatabase t;
        db_handle *db = t.get();
        const db_vec_options o = use_hnsw ? hnsw_options(8) : flat_options();
        ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
        EXPECT_EQ(db->vectors->uses_graph, use_hnsw);
        for (uint32_t i = 0; i < kDim; ++i) {
            const std::vector<float> v = unit_vector(kDim, i);
            ASSERT_EQ(db_vec_insert_vector(db, i, v.data()), 0);
        }
        EXPECT_EQ(db_vec_count(db), static_cast<int32_t>(kDim));
        const std::vector<float> q = unit_vector(kDim, 5);
        vec_result hits[3];
        ASSERT_EQ(db_vec_search(db, q.data(), 3, hits), 3);
        EXPECT_EQ(hits[0].id, 5u);
        EXPECT_EQ(hits[0].distance, 0.0f);
        ASSERT_GE(db_vec_search_filtered(db, q.data(), 3, keep_even, nullptr, hits), 1);
        EXPECT_EQ(hits[0].id % 2, 0u);
        EXPECT_EQ(db_vec_flush(db), -5);
    }
}

TEST(DbVector, ConcurrentInsertsSearchesAndReplacement) {
    TempDatabase t;
    db_handle *db = t.get();
    const db_vec_options o = flat_options();
    ASSERT_EQ(db_vec_create_index(db, &o), DB_OK);
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (uint32_t i = 0; i < 200; ++i) {
                const std::vector<float> v = unit_vector(kDim, i);
                const std::string text = "text " + std::to_string(i);
                // The index may be replaced at any moment: only -6 is allowed besides success.
                int32_t s = w ? db_vec_insert_text(db, i, text.data(), text.size())
                              : db_vec_insert_vector(db, 1000 + i, v.data());
                if (s != 0 && s != DB_ERR_INVALID) failed = true;
            }
        });
    }
    threads.emplace_back([&] {
        vec_result hits[5];
        for (uint32_t i = 0; i < 200; ++i) {
            const std::vector<float> q = unit_vector(kDim, i);
            const int32_t n = i % 2 ? db_vec_search(db, q.data(), 5, hits) : db_vec_search_text(db, "text 3", 6, 5, hits);
            if (n < 0 && n != DB_ERR_INVALID) failed = true;
            for (int32_t j = 1; j < n; ++j) {
                if (hits[j - 1].distance > hits[j].distance) failed = true;
            }
            (void)db_vec_count(db);
        }
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) {
            if (db_vec_create_index(db, &o) != DB_OK) failed = true;
        }
    });
    for (auto &th : threads) th.join();
    EXPECT_FALSE(failed);
}

// Indexes attached to a follower are released when it closes (the leak
// checker of the sanitizer build reports them otherwise).
TEST(DbVector, FollowerCloseReleasesItsIndexes) {
    db_options shared{};
    shared.memtable_size = 65536;
    shared.shared_mode = 1;
    TempDatabase writer(&shared);
    db_handle *follower = nullptr;
    ASSERT_EQ(db_open_reader(writer.prefix().c_str(), nullptr, &follower), DB_OK);
    const db_vec_options o = flat_options();
    ASSERT_EQ(db_vec_create_index(follower, &o), DB_OK);
    ASSERT_EQ(db_vec_insert_text(follower, 1, "kept in memory", 14), 0);
    const quant_config c{QUANT_TYPE_SCALAR, 0, 0};
    ASSERT_EQ(db_vec_quant_create(follower, &c), DB_OK);
    const std::vector<float> v = unit_vector(kDim, 1);
    ASSERT_EQ(db_vec_quant_train(follower, v.data(), 1), DB_OK);
    ASSERT_EQ(db_vec_quant_insert(follower, 2, v.data()), DB_OK);
    EXPECT_EQ(db_vec_count(follower), 2);
    EXPECT_EQ(db_close(follower), DB_OK);
}

}  // namespace
