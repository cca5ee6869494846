#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

struct FstDeleter {
    void operator()(fst *f) const { fst_destroy(f); }
};
using FstPtr = std::unique_ptr<fst, FstDeleter>;

std::vector<uint64_t> prefix(fst *f, const char *p, int32_t max = 64) {
    std::vector<uint64_t> out(static_cast<size_t>(std::max(max, 1)));
    out.resize(static_cast<size_t>(fst_prefix_search(f, p, out.data(), max)));
    return out;
}

std::vector<uint64_t> fuzzy(fst *f, const char *t, int32_t d, int32_t max = 64) {
    std::vector<uint64_t> out(static_cast<size_t>(std::max(max, 1)));
    out.resize(static_cast<size_t>(fst_fuzzy_search(f, t, d, out.data(), max)));
    return out;
}

size_t levenshtein(const std::string &a, const std::string &b) {
    std::vector<size_t> prev(b.size() + 1), cur(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) prev[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        cur[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            cur[j] = std::min({cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        }
        std::swap(prev, cur);
    }
    return prev[b.size()];
}

TEST(Fst, InsertReplaceCountsAndMemory) {
    FstPtr f(fst_create());
    ASSERT_TRUE(f);
    EXPECT_EQ(f->node_count, 1u);
    EXPECT_EQ(fst_size(f.get()), 0u);
    ASSERT_EQ(fst_insert(f.get(), "cat", 1), DB_OK);
    ASSERT_EQ(fst_insert(f.get(), "cat", 2), DB_OK);
    EXPECT_EQ(fst_size(f.get()), 1u);
    uint64_t v = 0;
    ASSERT_EQ(fst_get(f.get(), "cat", &v), DB_OK);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(fst_insert(f.get(), "car", 7), DB_OK);
    EXPECT_EQ(f->node_count, 5u);
    EXPECT_EQ(fst_memory_used(f.get()), 5u * 2064u + 24u);
    EXPECT_EQ(fst_get(f.get(), "ca", &v), DB_ERR_NOT_FOUND);
    EXPECT_EQ(fst_get(f.get(), "cats", &v), DB_ERR_NOT_FOUND);
    EXPECT_EQ(fst_get(f.get(), "car", nullptr), DB_OK);
    // The empty term lives at the root.
    EXPECT_EQ(fst_get(f.get(), "", &v), DB_ERR_NOT_FOUND);
    ASSERT_EQ(fst_insert(f.get(), "", 9), DB_OK);
    ASSERT_EQ(fst_get(f.get(), "", &v), DB_OK);
    EXPECT_EQ(v, 9u);
    EXPECT_EQ(f->node_count, 5u);
    EXPECT_EQ(fst_size(f.get()), 3u);
}

TEST(Fst, TermLengthLimitAndArguments) {
    FstPtr f(fst_create());
    const std::string longest(256, 'x');
    const std::string too_long(257, 'x');
    EXPECT_EQ(fst_insert(f.get(), too_long.c_str(), 1), DB_ERR_INVALID);
    EXPECT_EQ(f->node_count, 1u) << "a refused term adds no nodes";
    ASSERT_EQ(fst_insert(f.get(), longest.c_str(), 5), DB_OK);
    EXPECT_EQ(f->node_count, 257u);
    uint64_t v = 0;
    ASSERT_EQ(fst_get(f.get(), longest.c_str(), &v), DB_OK);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(fst_get(f.get(), too_long.c_str(), &v), DB_ERR_NOT_FOUND);
    EXPECT_EQ(prefix(f.get(), longest.c_str()), std::vector<uint64_t>{5});
    EXPECT_EQ(prefix(f.get(), too_long.c_str()), std::vector<uint64_t>{});
    EXPECT_EQ(fuzzy(f.get(), too_long.c_str(), 0), std::vector<uint64_t>{5}) << "the query is cut to 256 bytes";

    uint64_t out[4];
    EXPECT_EQ(fst_insert(nullptr, "a", 1), DB_ERR_INVALID);
    EXPECT_EQ(fst_insert(f.get(), nullptr, 1), DB_ERR_INVALID);
    EXPECT_EQ(fst_get(nullptr, "a", &v), DB_ERR_INVALID);
    EXPECT_EQ(fst_get(f.get(), nullptr, &v), DB_ERR_INVALID);
    EXPECT_EQ(fst_prefix_search(f.get(), "", out, 0), 0);
    EXPECT_EQ(fst_prefix_search(f.get(), "", nullptr, 4), 0);
    EXPECT_EQ(fst_prefix_search(nullptr, "", out, 4), 0);
    EXPECT_EQ(fst_fuzzy_search(f.get(), "x", -1, out, 4), 0);
    EXPECT_EQ(fst_fuzzy_search(f.get(), "x", 1, out, -3), 0);
    EXPECT_EQ(fst_size(nullptr), 0u);
    EXPECT_EQ(fst_memory_used(nullptr), 0u);
    fst_destroy(nullptr);
}

TEST(Fst, PrefixSearchIsDepthFirstInUnsignedByteOrder) {
    FstPtr f(fst_create());
    const char *terms[] = {"cat", "car", "ca", "c\xff", "cab", "dog", "", "cart"};
    for (uint64_t i = 0; i < 8; ++i) ASSERT_EQ(fst_insert(f.get(), terms[i], i), DB_OK);
    // Values of: ca, cab, car, cart, cat, c\xff.
    EXPECT_EQ(prefix(f.get(), "c"), (std::vector<uint64_t>{2, 4, 1, 7, 0, 3}));
    EXPECT_EQ(prefix(f.get(), "ca"), (std::vector<uint64_t>{2, 4, 1, 7, 0}));
    EXPECT_EQ(prefix(f.get(), ""), (std::vector<uint64_t>{6, 2, 4, 1, 7, 0, 3, 5}));
    EXPECT_EQ(prefix(f.get(), "", 3), (std::vector<uint64_t>{6, 2, 4}));
    EXPECT_EQ(prefix(f.get(), "cb"), std::vector<uint64_t>{});
    EXPECT_EQ(prefix(f.get(), "cartwheel"), std::vector<uint64_t>{});
}

TEST(Fst, FuzzySearchMatchesBruteForceInTermOrder) {
    FstPtr f(fst_create());
    // Inserted out of order so that results cannot follow insertion order.
    const uint64_t cats = 1, dog = 2, bat = 3, cat = 4;
    ASSERT_EQ(fst_insert(f.get(), "cats", cats), DB_OK);
    ASSERT_EQ(fst_insert(f.get(), "dog", dog), DB_OK);
    ASSERT_EQ(fst_insert(f.get(), "bat", bat), DB_OK);
    ASSERT_EQ(fst_insert(f.get(), "cat", cat), DB_OK);
    EXPECT_EQ(fuzzy(f.get(), "cat", 1), (std::vector<uint64_t>{bat, cat, cats}));
    EXPECT_EQ(fuzzy(f.get(), "cat", 0), (std::vector<uint64_t>{cat}));
    EXPECT_EQ(fuzzy(f.get(), "cat", 1, 2), (std::vector<uint64_t>{bat, cat}));

    // Random dictionary over a small alphabet, compared with a direct
    // distance computation over every term in sorted order.
    FstPtr g(fst_create());
    std::map<std::string, uint64_t> terms;
    std::srand(7);
    for (uint64_t i = 0; i < 400; ++i) {
        std::string t;
        const int len = std::rand() % 7;
        for (int k = 0; k < len; ++k) t += static_cast<char>("ab\x80\xfe"[std::rand() % 4]);
        terms[t] = i;
        ASSERT_EQ(fst_insert(g.get(), t.c_str(), i), DB_OK);
    }
    for (const std::string query : {"", "ab", "\x80\x80\xfe", "babab", "aaaaaaa"}) {
        for (int32_t d = 0; d <= 3; ++d) {
            std::vector<uint64_t> expected;
            for (const auto &[t, v] : terms) {
                if (levenshtein(t, query) <= static_cast<size_t>(d)) expected.push_back(v);
            }
            ASSERT_EQ(fuzzy(g.get(), query.c_str(), d, 1000), expected) << "query '" << query << "' d=" << d;
        }
    }
}

void *deep_fuzzy_search(void *arg) {
    auto *f = static_cast<fst *>(arg);
    const std::string query(256, 'q');
    static uint64_t out[8];
    return reinterpret_cast<void *>(static_cast<intptr_t>(fst_fuzzy_search(f, query.c_str(), 300, out, 8)));
}

TEST(Fst, DeepSearchesRunOnASmallThreadStack) {
    // Rows of 257 integers for each of 256 levels exceed a 64 KiB stack if
    // they were kept in recursive frames.
    FstPtr f(fst_create());
    const std::string deep(256, 'z');
    ASSERT_EQ(fst_insert(f.get(), deep.c_str(), 42), DB_OK);
    ASSERT_EQ(fst_insert(f.get(), deep.substr(0, 200).c_str(), 41), DB_OK);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, deep_fuzzy_search, f.get()), 0);
    void *result = nullptr;
    pthread_join(thread, &result);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(reinterpret_cast<intptr_t>(result), 2);
}

} // namespace
