#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "memtable/memtable.h"
#include "morvadb.h"

namespace {

struct Seen {
    uint64_t tag;
    std::string key;
    std::string value;
    int32_t tombstone;
};

int32_t collect(const memtable_entry *e, void *ctx) {
    auto *out = static_cast<std::vector<Seen> *>(ctx);
    out->push_back({e->tag, std::string(reinterpret_cast<const char *>(e->key), e->key_len),
                    std::string(reinterpret_cast<const char *>(e->value), e->value_len), e->tombstone});
    return 0;
}

std::vector<Seen> entries(const memtable *mt) {
    std::vector<Seen> out;
    EXPECT_EQ(memtable_iterate(mt, collect, &out), DB_OK);
    return out;
}

int32_t put(memtable *mt, const std::string &k, const std::string &v, uint64_t tag = 0) {
    return memtable_put(mt, tag, k.data(), k.size(), v.data(), v.size());
}

uint64_t charge(const memtable_node *n) { return 40 + 8 * n->top_level + n->key_len + n->value_len; }

std::string get_value(const memtable *mt, const std::string &k, int32_t *status, int32_t *tombstone = nullptr) {
    const uint8_t *v = nullptr;
    uint64_t len = 0;
    *status = memtable_get(mt, k.data(), k.size(), &v, &len, tombstone);
    return v != nullptr ? std::string(reinterpret_cast<const char *>(v), len) : std::string();
}

TEST(Memtable, NewTableAndBudget) {
    memtable *mt = memtable_create(100);
    ASSERT_NE(mt, nullptr);
    EXPECT_EQ(memtable_size(mt), 0u);
    EXPECT_EQ(memtable_is_full(mt), 0);
    memtable_destroy(mt);

    memtable *zero = memtable_create(0);
    EXPECT_EQ(memtable_is_full(zero), 1);
    memtable_destroy(zero);
    memtable_destroy(nullptr);
}

TEST(Memtable, SizeAccountingOfInsertAndOverwrite) {
    memtable *mt = memtable_create(1 << 20);
    ASSERT_EQ(put(mt, "k", "0123456789"), DB_OK);
    const memtable_node *n = mt->head->forward[0];
    EXPECT_EQ(memtable_size(mt), 40u + 8u * n->top_level + 1 + 10);
    uint64_t before = memtable_size(mt);

    // Shorter value: the same node, size shrinks by the difference.
    ASSERT_EQ(put(mt, "k", "0123"), DB_OK);
    EXPECT_EQ(mt->head->forward[0], n);
    EXPECT_EQ(memtable_size(mt), before - 6);

    // Longer value: a replacement node of the same level, size grows by the difference.
    uint16_t level = n->top_level;
    ASSERT_EQ(put(mt, "k", std::string(50, 'x')), DB_OK);
    EXPECT_EQ(mt->head->forward[0]->top_level, level);
    EXPECT_EQ(memtable_size(mt), before - 6 + 46);
    int32_t st;
    EXPECT_EQ(get_value(mt, "k", &st), std::string(50, 'x'));
    EXPECT_EQ(st, DB_OK);

    // Puts keep succeeding past the budget; the owner decides when to rotate.
    memtable *tiny = memtable_create(10);
    ASSERT_EQ(put(tiny, "a", "1"), DB_OK);
    EXPECT_EQ(memtable_is_full(tiny), 1);
    EXPECT_EQ(put(tiny, "b", "2"), DB_OK);
    memtable_destroy(tiny);
    memtable_destroy(mt);
}

TEST(Memtable, TombstonesAndRevival) {
    memtable *mt = memtable_create(1 << 20);
    ASSERT_EQ(memtable_delete(mt, 7, "ghost", 5), DB_OK);
    int32_t st, tomb = -1;
    const uint8_t *v = nullptr;
    uint64_t len = 99;
    EXPECT_EQ(memtable_get(mt, "ghost", 5, &v, &len, &tomb), DB_ERR_NOT_FOUND);
    EXPECT_EQ(tomb, 1);
    EXPECT_EQ(len, 0u);
    auto seen = entries(mt);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].tombstone, 1);
    EXPECT_EQ(seen[0].tag, 7u);
    EXPECT_EQ(seen[0].value, "");

    ASSERT_EQ(put(mt, "live", "value"), DB_OK);
    ASSERT_EQ(memtable_delete(mt, 0, "live", 4), DB_OK);
    EXPECT_EQ(get_value(mt, "live", &st, &tomb), "");
    EXPECT_EQ(st, DB_ERR_NOT_FOUND);
    EXPECT_EQ(tomb, 1);

    ASSERT_EQ(put(mt, "live", "again"), DB_OK);
    EXPECT_EQ(get_value(mt, "live", &st, &tomb), "again");
    EXPECT_EQ(st, DB_OK);
    EXPECT_EQ(tomb, 0);

    // An absent key leaves the outs untouched.
    v = reinterpret_cast<const uint8_t *>("sentinel");
    len = 42;
    tomb = 5;
    EXPECT_EQ(memtable_get(mt, "nope", 4, &v, &len, &tomb), DB_ERR_NOT_FOUND);
    EXPECT_EQ(len, 42u);
    EXPECT_EQ(tomb, 5);
    memtable_destroy(mt);
}

TEST(Memtable, IterationOrderIsBytewiseShorterFirst) {
    memtable *mt = memtable_create(1 << 20);
    const std::string nul_key("a\0", 2);
    for (const std::string &k : {std::string("b"), std::string("a"), std::string("ab"), std::string(),
                                 std::string("\xff"), nul_key}) {
        ASSERT_EQ(put(mt, k, "v"), DB_OK);
    }
    std::vector<std::string> keys;
    for (const auto &e : entries(mt)) keys.push_back(e.key);
    EXPECT_EQ(keys, (std::vector<std::string>{"", "a", nul_key, "ab", "b", "\xff"}));
    memtable_destroy(mt);
}

TEST(Memtable, IterationStopsAtFirstNonzeroResult) {
    memtable *mt = memtable_create(1 << 20);
    for (int i = 0; i < 10; ++i) put(mt, std::to_string(i), "v");
    int calls = 0;
    auto stop_at_third = [](const memtable_entry *, void *ctx) -> int32_t {
        return ++*static_cast<int *>(ctx) == 3 ? 77 : 0;
    };
    EXPECT_EQ(memtable_iterate(mt, stop_at_third, &calls), 77);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(memtable_iterate(mt, nullptr, nullptr), DB_ERR_INVALID);
    memtable_destroy(mt);
}

// A replacement that cannot be allocated must leave the entry readable and
// unchanged, tombstone included. A length that cannot be sized in 64 bits
// fails the same way as an exhausted allocator, without touching memory.
TEST(Memtable, FailedGrowthLeavesOldEntryIntact) {
    memtable *mt = memtable_create(1 << 20);
    ASSERT_EQ(put(mt, "k", "abc", 5), DB_OK);
    uint64_t size = memtable_size(mt);
    const char big = 'x';
    EXPECT_EQ(memtable_put(mt, 9, "k", 1, &big, UINT64_MAX - 8), DB_ERR_NOMEM);
    int32_t st, tomb;
    EXPECT_EQ(get_value(mt, "k", &st, &tomb), "abc");
    EXPECT_EQ(st, DB_OK);
    EXPECT_EQ(memtable_size(mt), size);
    EXPECT_EQ(entries(mt)[0].tag, 5u);

    ASSERT_EQ(memtable_delete(mt, 6, "k", 1), DB_OK);
    EXPECT_EQ(memtable_put(mt, 9, "k", 1, &big, UINT64_MAX - 8), DB_ERR_NOMEM);
    EXPECT_EQ(get_value(mt, "k", &st, &tomb), "");
    EXPECT_EQ(st, DB_ERR_NOT_FOUND);
    EXPECT_EQ(tomb, 1) << "a failed put must not revive a deleted key";

    EXPECT_EQ(memtable_put(mt, 0, "new", 3, &big, UINT64_MAX - 8), DB_ERR_NOMEM);
    EXPECT_EQ(entries(mt).size(), 1u);
    memtable_destroy(mt);
}

TEST(Memtable, InvalidArguments) {
    memtable *mt = memtable_create(100);
    EXPECT_EQ(memtable_put(nullptr, 0, "k", 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(memtable_put(mt, 0, nullptr, 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(memtable_put(mt, 0, "k", 1, nullptr, 1), DB_ERR_INVALID);
    EXPECT_EQ(memtable_put(mt, 0, "k", 1, nullptr, 0), DB_OK);
    EXPECT_EQ(memtable_delete(nullptr, 0, "k", 1), DB_ERR_INVALID);
    EXPECT_EQ(memtable_get(nullptr, "k", 1, nullptr, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(memtable_get(mt, "k", 1, nullptr, nullptr, nullptr), DB_OK);
    EXPECT_EQ(memtable_size(nullptr), 0u);
    EXPECT_EQ(memtable_is_full(nullptr), 0);
    memtable_destroy(mt);
}

// Overwriting with a value that points into the stored entry itself (as a
// host might, holding the pointer from memtable_get) must copy correctly.
TEST(Memtable, OverwriteFromItsOwnValue) {
    memtable *mt = memtable_create(1 << 20);
    put(mt, "k", "hello world");
    const uint8_t *v;
    uint64_t len;
    ASSERT_EQ(memtable_get(mt, "k", 1, &v, &len, nullptr), DB_OK);
    ASSERT_EQ(memtable_put(mt, 0, "k", 1, v + 6, 5), DB_OK);
    int32_t st;
    EXPECT_EQ(get_value(mt, "k", &st), "world");
    ASSERT_EQ(memtable_get(mt, "k", 1, &v, &len, nullptr), DB_OK);
    ASSERT_EQ(memtable_put(mt, 0, "k", 1, v, len), DB_OK);
    EXPECT_EQ(get_value(mt, "k", &st), "world");
    memtable_destroy(mt);
}

// Random puts, overwrites and deletes against an ordered map: contents,
// order, tombstones, size accounting and the skip list's level invariants.
TEST(Memtable, MatchesOrderedModelUnderRandomOperations) {
    std::srand(20261208);
    memtable *mt = memtable_create(1 << 30);
    std::map<std::string, std::pair<std::string, bool>> model;  // key -> (value, deleted)
    uint32_t x = 1;
    auto next = [&x] { x = x * 1664525u + 1013904223u; return x >> 8; };
    for (int op = 0; op < 20000; ++op) {
        std::string key = "k" + std::to_string(next() % 3000);
        if (next() % 4 == 0) {
            ASSERT_EQ(memtable_delete(mt, op, key.data(), key.size()), DB_OK);
            model[key] = {"", true};
        } else {
            std::string value(next() % 40, static_cast<char>('a' + op % 26));
            ASSERT_EQ(put(mt, key, value, op), DB_OK);
            model[key] = {value, false};
        }
    }
    auto seen = entries(mt);
    ASSERT_EQ(seen.size(), model.size());
    size_t i = 0;
    for (const auto &[key, vd] : model) {
        EXPECT_EQ(seen[i].key, key);
        EXPECT_EQ(seen[i].value, vd.first);
        EXPECT_EQ(seen[i].tombstone, vd.second ? 1 : 0);
        int32_t st, tomb;
        EXPECT_EQ(get_value(mt, key, &st, &tomb), vd.first);
        EXPECT_EQ(st, vd.second ? DB_ERR_NOT_FOUND : DB_OK);
        ++i;
    }

    uint64_t total = 0;
    int max_level = 0;
    for (const memtable_node *n = mt->head->forward[0]; n != nullptr; n = n->forward[0]) {
        total += charge(n);
        max_level = std::max<int>(max_level, n->top_level);
    }
    EXPECT_EQ(memtable_size(mt), total);
    EXPECT_EQ(mt->top_level, max_level);
    EXPECT_GT(max_level, 4) << "levels are drawn with probability 1/2 each";
    for (int level = 1; level <= mt->top_level; ++level) {
        const memtable_node *prev = nullptr;
        for (const memtable_node *n = mt->head->forward[level]; n != nullptr; n = n->forward[level]) {
            ASSERT_GE(n->top_level, level);
            if (prev != nullptr) {
                ASSERT_LT(std::string(reinterpret_cast<const char *>(morva::node_key(prev)), prev->key_len),
                          std::string(reinterpret_cast<const char *>(morva::node_key(n)), n->key_len));
            }
            prev = n;
        }
    }
    memtable_destroy(mt);
}

}  // namespace
