#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

int32_t put(lsm *l, const std::string &k, const std::string &v) {
    return lsm_put(l, 1, k.data(), k.size(), v.data(), v.size());
}

int32_t get(lsm *l, const std::string &k, std::string *v) {
    const uint8_t *p = nullptr;
    uint64_t len = 0;
    int32_t st = lsm_get(l, 1, k.data(), k.size(), &p, &len);
    if (st == DB_OK) v->assign(reinterpret_cast<const char *>(p), len);
    return st;
}

TEST(MemtablePair, CreateAndSequence) {
    lsm *l = lsm_create("data/db", 4096);
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l->path, "data/db");
    EXPECT_NE(lsm_get_active(l), nullptr);
    EXPECT_EQ(lsm_get_flushing(l), nullptr);
    EXPECT_EQ(lsm_has_data(l), 0);
    EXPECT_EQ(lsm_next_seq(l), 0u);
    EXPECT_EQ(lsm_next_seq(l), 1u);
    EXPECT_EQ(lsm_next_seq(l), 2u);
    EXPECT_EQ(lsm_iterate_flushing(l, [](const memtable_entry *, void *) { return 0; }, nullptr), DB_ERR_INVALID);
    lsm_destroy(l);

    EXPECT_EQ(lsm_next_seq(nullptr), 0u);
    EXPECT_EQ(lsm_is_full(nullptr), 0);
    EXPECT_EQ(lsm_has_data(nullptr), 0);
    EXPECT_EQ(lsm_get_active(nullptr), nullptr);
    lsm_destroy_flushing(nullptr);
    lsm_destroy(nullptr);
}

TEST(MemtablePair, PutIntoFullActiveRotatesFirst) {
    lsm *l = lsm_create("p", 1);  // any entry fills a memtable
    ASSERT_EQ(put(l, "old", "1"), DB_OK);
    EXPECT_EQ(lsm_has_data(l), 1);
    EXPECT_EQ(lsm_is_full(l), 1);
    memtable *first = lsm_get_active(l);

    ASSERT_EQ(put(l, "new", "2"), DB_OK);
    EXPECT_EQ(lsm_get_flushing(l), first);
    EXPECT_NE(lsm_get_active(l), first);
    EXPECT_EQ(memtable_get(lsm_get_active(l), "new", 3, nullptr, nullptr, nullptr), DB_OK);
    EXPECT_EQ(memtable_get(lsm_get_active(l), "old", 3, nullptr, nullptr, nullptr), DB_ERR_NOT_FOUND);

    std::vector<std::string> flushed;
    auto collect = [](const memtable_entry *e, void *ctx) -> int32_t {
        static_cast<std::vector<std::string> *>(ctx)->emplace_back(reinterpret_cast<const char *>(e->key), e->key_len);
        return 0;
    };
    EXPECT_EQ(lsm_iterate_flushing(l, collect, &flushed), DB_OK);
    EXPECT_EQ(flushed, std::vector<std::string>{"old"});

    // A delete follows the same rotation rule.
    ASSERT_EQ(lsm_delete(l, 1, "gone", 4), DB_OK);
    int32_t tomb = 0;
    EXPECT_EQ(memtable_get(lsm_get_flushing(l), "new", 3, nullptr, nullptr, nullptr), DB_OK);
    EXPECT_EQ(memtable_get(lsm_get_active(l), "gone", 4, nullptr, nullptr, &tomb), DB_ERR_NOT_FOUND);
    EXPECT_EQ(tomb, 1);

    lsm_destroy_flushing(l);
    EXPECT_EQ(lsm_get_flushing(l), nullptr);
    lsm_destroy(l);
}

TEST(MemtablePair, ReadsSeeNewestMemtableFirst) {
    lsm *l = lsm_create("p", 1 << 20);
    put(l, "both", "old");
    put(l, "flushing-only", "f");
    put(l, "deleted", "was-live");
    ASSERT_EQ(lsm_flush(l), DB_OK);
    put(l, "both", "new");
    ASSERT_EQ(lsm_delete(l, 1, "deleted", 7), DB_OK);

    std::string v;
    EXPECT_EQ(get(l, "both", &v), DB_OK);
    EXPECT_EQ(v, "new");
    EXPECT_EQ(get(l, "flushing-only", &v), DB_OK);
    EXPECT_EQ(v, "f");
    EXPECT_EQ(get(l, "deleted", &v), DB_ERR_NOT_FOUND) << "a tombstone in the active memtable hides the older value";
    EXPECT_EQ(get(l, "never", &v), DB_ERR_NOT_FOUND);

    // A rotation discards what the flushing slot held.
    ASSERT_EQ(lsm_flush(l), DB_OK);
    EXPECT_EQ(get(l, "flushing-only", &v), DB_ERR_NOT_FOUND);
    EXPECT_EQ(get(l, "both", &v), DB_OK);
    EXPECT_EQ(lsm_has_data(l), 0);
    lsm_destroy(l);
}

TEST(MemtablePair, InvalidArguments) {
    lsm *l = lsm_create(nullptr, 100);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(lsm_put(nullptr, 0, "k", 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(lsm_put(l, 0, nullptr, 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(lsm_delete(nullptr, 0, "k", 1), DB_ERR_INVALID);
    EXPECT_EQ(lsm_get(nullptr, 0, "k", 1, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(lsm_get(l, 0, nullptr, 1, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(lsm_flush(nullptr), DB_ERR_INVALID);
    EXPECT_EQ(lsm_iterate_flushing(nullptr, nullptr, nullptr), DB_ERR_INVALID);
    lsm_destroy(l);
}

// After a rotation that could not create a new active memtable, the pair
// must not lose the rotated memtable nor crash on the next write.
TEST(MemtablePair, RecoversFromMissingActiveMemtable) {
    lsm *l = lsm_create("p", 1 << 20);
    put(l, "pending", "1");
    ASSERT_EQ(lsm_flush(l), DB_OK);
    memtable *pending = lsm_get_flushing(l);
    memtable_destroy(l->active);
    l->active = nullptr;  // the state a failed rotation leaves behind

    EXPECT_EQ(lsm_is_full(l), 0);
    EXPECT_EQ(lsm_has_data(l), 0);
    std::string v;
    EXPECT_EQ(get(l, "pending", &v), DB_OK);
    ASSERT_EQ(lsm_flush(l), DB_OK);
    EXPECT_EQ(lsm_get_flushing(l), pending) << "the unwritten memtable stays in the flushing slot";
    ASSERT_NE(lsm_get_active(l), nullptr);

    memtable_destroy(l->active);
    l->active = nullptr;
    ASSERT_EQ(put(l, "next", "2"), DB_OK);
    EXPECT_EQ(lsm_get_flushing(l), pending);
    EXPECT_EQ(get(l, "next", &v), DB_OK);
    lsm_destroy(l);
}

}  // namespace
