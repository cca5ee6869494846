#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

struct IndexDeleter {
    void operator()(fts_index *i) const { fts_index_destroy(i); }
};
using IndexPtr = std::unique_ptr<fts_index, IndexDeleter>;

int32_t add(fts_index *idx, std::vector<const char *> terms, const std::vector<uint64_t> &payloads = {}) {
    const char *no_terms[1] = {nullptr};
    return fts_index_add_document(idx, terms.empty() ? no_terms : terms.data(), "ignored",
                                  payloads.empty() ? nullptr : payloads.data(), static_cast<int32_t>(terms.size()));
}

uint64_t search(fts_index *idx, const char *term) {
    uint64_t id = ~uint64_t{0};
    return fts_index_search(idx, term, &id, 1) == 1 ? id : ~uint64_t{0};
}

constexpr uint64_t kMissing = ~uint64_t{0};

TEST(FtsIndex, LatestDocumentWinsAndIdsAreSequential) {
    IndexPtr idx(fts_index_create());
    ASSERT_TRUE(idx);
    ASSERT_EQ(add(idx.get(), {"apple", "pie"}), DB_OK);
    ASSERT_EQ(add(idx.get(), {"apple", "tart"}), DB_OK);
    EXPECT_EQ(search(idx.get(), "apple"), 1u);
    EXPECT_EQ(search(idx.get(), "pie"), 0u);
    EXPECT_EQ(search(idx.get(), "cake"), kMissing);
    // An empty document and null terms still consume ids; nulls add nothing.
    ASSERT_EQ(fts_index_add_document(idx.get(), nullptr, nullptr, nullptr, 0), DB_ERR_INVALID);
    ASSERT_EQ(add(idx.get(), {}), DB_OK);
    ASSERT_EQ(add(idx.get(), {nullptr, "tart", nullptr}), DB_OK);
    EXPECT_EQ(search(idx.get(), "tart"), 3u);
    EXPECT_EQ(idx->next_doc_id, 4u);
    EXPECT_EQ(idx->doc_count, 4);
    EXPECT_EQ(idx->posting_count, 5);
    EXPECT_EQ(fst_size(idx->terms), 3u);
}

TEST(FtsIndex, PayloadsKeepOnlyTheirLowSixteenBits) {
    IndexPtr idx(fts_index_create());
    for (int i = 0; i < 5; ++i) ASSERT_EQ(add(idx.get(), {}), DB_OK);
    ASSERT_EQ(add(idx.get(), {"apple", "pear"}, {3, 0x7ABCD}), DB_OK);
    uint64_t posting = 0;
    ASSERT_EQ(fst_get(idx->terms, "apple", &posting), DB_OK);
    EXPECT_EQ(posting, 327683u);
    ASSERT_EQ(fst_get(idx->terms, "pear", &posting), DB_OK);
    EXPECT_EQ(posting, (5u << 16) | 0xABCDu);
    EXPECT_EQ(search(idx.get(), "pear"), 5u);
}

TEST(FtsIndex, FailedTermStopsTheDocumentButConsumesItsId) {
    IndexPtr idx(fts_index_create());
    const std::string too_long(257, 'a');
    EXPECT_EQ(add(idx.get(), {"first", too_long.c_str(), "never"}), DB_ERR_INVALID);
    EXPECT_EQ(search(idx.get(), "first"), 0u);
    EXPECT_EQ(search(idx.get(), "never"), kMissing);
    EXPECT_EQ(idx->posting_count, 1);
    ASSERT_EQ(add(idx.get(), {"next"}), DB_OK);
    EXPECT_EQ(search(idx.get(), "next"), 1u);
    EXPECT_EQ(add(nullptr, {"x"}), DB_ERR_INVALID);
    const char *one[] = {"x"};
    EXPECT_EQ(fts_index_add_document(idx.get(), one, nullptr, nullptr, -1), DB_ERR_INVALID);
    EXPECT_EQ(idx->next_doc_id, 2u) << "argument errors consume no id";
}

TEST(FtsIndex, FuzzySearchReturnsDocumentIdsCappedAt256) {
    IndexPtr idx(fts_index_create());
    ASSERT_EQ(add(idx.get(), {"apple"}, {9}), DB_OK);
    ASSERT_EQ(add(idx.get(), {"banana"}), DB_OK);
    uint64_t ids[8];
    ASSERT_EQ(fts_index_search_fuzzy(idx.get(), "aple", 1, ids, 8), 1);
    EXPECT_EQ(ids[0], 0u);
    EXPECT_EQ(fts_index_search_fuzzy(idx.get(), "aple", 0, ids, 8), 0);
    EXPECT_EQ(fts_index_search_fuzzy(idx.get(), "aple", -1, ids, 8), 0);
    EXPECT_EQ(fts_index_search(idx.get(), "apple", ids, 0), 0);

    // 300 two-letter terms are all within distance 2 of "zz".
    for (int i = 0; i < 300; ++i) {
        const std::string t{static_cast<char>('a' + i / 26 % 26), static_cast<char>('a' + i % 26)};
        const std::string term = t + std::to_string(i / 676);
        ASSERT_EQ(add(idx.get(), {term.c_str()}), DB_OK);
    }
    std::vector<uint64_t> many(1000);
    EXPECT_EQ(fts_index_search_fuzzy(idx.get(), "zz0", 3, many.data(), 1000), 256);
    EXPECT_EQ(many[0], 2u) << "results follow term order: aa0 first";
}

TEST(Bm25, ScoresAndDegenerateInputs) {
    EXPECT_DOUBLE_EQ(bm25_score(1, 10, 10, 100, 1, 1.2, 0.75), std::log(99.5 / 1.5 + 1));
    EXPECT_NEAR(bm25_score(1, 10, 10, 100, 1, 1.2, 0.75), 4.21, 0.01);
    EXPECT_EQ(bm25_score(1, 10, 10, 100, 0, 1.2, 0.75), 0.0);
    EXPECT_EQ(bm25_score(1, 10, 10, 0, 1, 1.2, 0.75), 0.0);
    // Longer documents score lower, more occurrences score higher.
    EXPECT_LT(bm25_score(1, 20, 10, 100, 5, 1.2, 0.75), bm25_score(1, 10, 10, 100, 5, 1.2, 0.75));
    EXPECT_GT(bm25_score(3, 10, 10, 100, 5, 1.2, 0.75), bm25_score(1, 10, 10, 100, 5, 1.2, 0.75));
    // No average length (empty corpus statistics) gives a finite score.
    const double s = bm25_score(1, 10, 0, 100, 1, 1.2, 0.75);
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_DOUBLE_EQ(s, bm25_score(1, 10, 10, 100, 1, 1.2, 0.75));
}

} // namespace
