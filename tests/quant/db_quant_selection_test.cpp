// The quantized search's ranking must give exactly the order of k passes of
// selection sort, ties included, whatever shortcut it takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "quant/nearest_selection.h"

namespace morva {
namespace {

// Hits written for n entries and k, by both routines.
struct Ranked {
    std::vector<vec_result> fast;
    std::vector<vec_result> reference;
};

Ranked rank_both(const std::vector<float> &distances, size_t k) {
    const size_t n = distances.size();
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = 1000 + i;
    const size_t want = std::min(n, k);
    Ranked r{std::vector<vec_result>(want + 1, vec_result{0, -1.0f}),
             std::vector<vec_result>(want + 1, vec_result{0, -1.0f})};
    EXPECT_EQ(select_nearest(distances.data(), ids.data(), n, k, r.fast.data()), want);
    EXPECT_EQ(selection_sort_nearest(distances.data(), ids.data(), n, k, r.reference.data()), want);
    // Nothing is written past the hits.
    EXPECT_EQ(r.fast[want].distance, -1.0f);
    return r;
}

void expect_same_order(const Ranked &r) {
    ASSERT_EQ(r.fast.size(), r.reference.size());
    for (size_t i = 0; i < r.fast.size(); ++i) {
        EXPECT_EQ(r.fast[i].id, r.reference[i].id) << "at " << i;
        if (std::isnan(r.reference[i].distance)) {
            EXPECT_TRUE(std::isnan(r.fast[i].distance));
        } else {
            EXPECT_EQ(r.fast[i].distance, r.reference[i].distance) << "at " << i;
        }
    }
}

TEST(NearestSelection, ReferenceSwapsTiesOutOfInsertionOrder) {
    // Pass 0 picks entry 2 (distance 0) and swaps entry 0 into slot 2, so
    // among the three ties at 1 entry 1 now precedes entry 0.
    const std::vector<float> d{1.0f, 1.0f, 0.0f, 1.0f};
    std::vector<uint64_t> ids{10, 11, 12, 13};
    std::vector<vec_result> out(4);
    ASSERT_EQ(selection_sort_nearest(d.data(), ids.data(), 4, 4, out.data()), 4u);
    EXPECT_EQ(out[0].id, 12u);
    EXPECT_EQ(out[1].id, 11u);
    EXPECT_EQ(out[2].id, 10u);
    EXPECT_EQ(out[3].id, 13u);
    expect_same_order(rank_both(d, 4));
}

TEST(NearestSelection, MatchesSelectionSortOnHeavyTies) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        const size_t n = 1 + rng() % 60;
        const int levels = 1 + static_cast<int>(rng() % 5);
        std::vector<float> d(n);
        for (float &x : d) x = static_cast<float>(rng() % levels);
        for (size_t k : {size_t{1}, size_t{2}, n / 2 + 1, n, n + 3}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " n " << n << " k " << k);
            expect_same_order(rank_both(d, k));
        }
    }
}

TEST(NearestSelection, MatchesSelectionSortOnLargeInputs) {
    std::mt19937 rng(11);
    std::vector<float> d(5000);
    for (float &x : d) x = static_cast<float>(rng() % 300) * 0.25f;
    for (size_t k : {size_t{1}, size_t{10}, size_t{100}, size_t{5000}}) {
        SCOPED_TRACE(k);
        expect_same_order(rank_both(d, k));
    }
}

TEST(NearestSelection, SpecialValues) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Infinities and signed zeros order like any other value.
    expect_same_order(rank_both({inf, 0.0f, -0.0f, 3.0f, inf, 0.0f}, 6));
    // A NaN in front wins its pass under the strict scan; the result must
    // still be that order and never read or write out of bounds.
    expect_same_order(rank_both({nan, 2.0f, 1.0f, nan, 0.5f}, 5));
    expect_same_order(rank_both({2.0f, nan, 1.0f}, 2));
}

TEST(NearestSelection, EmptyInputOrZeroKWritesNothing) {
    std::vector<vec_result> out(1, vec_result{5, 5.0f});
    const float d = 1.0f;
    const uint64_t id = 1;
    EXPECT_EQ(select_nearest(&d, &id, 0, 10, out.data()), 0u);
    EXPECT_EQ(select_nearest(&d, &id, 1, 0, out.data()), 0u);
    EXPECT_EQ(out[0].id, 5u);
}

}  // namespace
}  // namespace morva
