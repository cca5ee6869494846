#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "memtable/btree.h"
#include "memtable/btree_node.h"
#include "morvadb.h"

namespace {

using Bytes = std::string;

struct TreeDeleter {
    void operator()(btree *t) const { btree_destroy(t); }
};
struct CursorDeleter {
    void operator()(btree_cursor *c) const { btree_cursor_destroy(c); }
};
using TreePtr = std::unique_ptr<btree, TreeDeleter>;
using CursorPtr = std::unique_ptr<btree_cursor, CursorDeleter>;

int32_t put(btree *t, const Bytes &k, const Bytes &v) { return btree_put(t, k.data(), k.size(), v.data(), v.size()); }

bool get(btree *t, const Bytes &k, Bytes *v) {
    const uint8_t *p = nullptr;
    uint64_t n = 0;
    if (btree_get(t, k.data(), k.size(), &p, &n) != DB_OK) return false;
    v->assign(reinterpret_cast<const char *>(p), n);
    return true;
}

Bytes key_of(uint32_t i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "k%08u", i);
    return buf;
}

// Order used by std::map over std::string matches the store's key order
// only with unsigned comparison, which std::string's char_traits provides.
using Model = std::map<Bytes, Bytes>;

struct Walk {
    int leaf_depth = -1;
    std::vector<const btree_node *> leaves;
    uint64_t entries = 0;
};

Bytes node_key(const btree_node *n, int i) {
    return Bytes(reinterpret_cast<const char *>(n->keys[i]), n->key_lens[i]);
}

// The private search state behind a node agrees with its public fields.
void check_search_state(const btree_node *n) {
    const morva::NodeState *st = morva::state_of(n);
    ASSERT_EQ(st->count, n->num_keys);
    ASSERT_EQ(st->leaf, n->is_leaf);
    for (int i = 0; i < n->num_keys; ++i) {
        ASSERT_LE(st->prefix_len, n->key_lens[i]);
        ASSERT_EQ(0, std::memcmp(n->keys[i], n->keys[0], st->prefix_len)) << "key " << i << " outside the prefix";
        ASSERT_EQ(st->heads[i], morva::head_at(n->keys[i], n->key_lens[i], st->prefix_len)) << i;
        ASSERT_EQ(st->lens[i], morva::short_length(n->key_lens[i])) << i;
    }
    if (n->num_keys > 0) {
        const uint32_t inline_part = std::min(st->prefix_len, morva::kInlinePrefix);
        ASSERT_EQ(0, std::memcmp(st->prefix, n->keys[0], inline_part));
    }
}

// Checks the structural invariants of a subtree whose keys must lie in
// [low, high) (an empty optional bound is open).
void check_node(const btree_node *n, const Bytes *low, const Bytes *high, int depth, Walk *walk) {
    ASSERT_GE(n->num_keys, 0);
    ASSERT_LE(n->num_keys, BTREE_MAX_KEYS);
    check_search_state(n);
    for (int i = 0; i < n->num_keys; ++i) {
        const Bytes k = node_key(n, i);
        if (i > 0) {
            ASSERT_LT(node_key(n, i - 1), k);
        }
        if (low != nullptr) {
            ASSERT_GE(k, *low);
        }
        if (high != nullptr) {
            ASSERT_LT(k, *high);
        }
    }
    if (n->is_leaf) {
        if (walk->leaf_depth < 0) walk->leaf_depth = depth;
        ASSERT_EQ(walk->leaf_depth, depth) << "leaves at different depths";
        walk->leaves.push_back(n);
        walk->entries += n->num_keys;
        return;
    }
    for (int i = 0; i <= n->num_keys; ++i) {
        ASSERT_NE(n->children[i], nullptr);
        Bytes lo = i > 0 ? node_key(n, i - 1) : Bytes();
        Bytes hi = i < n->num_keys ? node_key(n, i) : Bytes();
        check_node(n->children[i], i > 0 ? &lo : low, i < n->num_keys ? &hi : high, depth + 1, walk);
    }
}

void check_tree(const btree *t, const Model &model) {
    Walk walk;
    check_node(t->root, nullptr, nullptr, 0, &walk);
    ASSERT_EQ(walk.entries, model.size());
    ASSERT_EQ(t->entry_count, model.size());
    // The leaf chain visits exactly the leaves in order.
    for (size_t i = 0; i < walk.leaves.size(); ++i) {
        ASSERT_EQ(walk.leaves[i]->next, i + 1 < walk.leaves.size() ? walk.leaves[i + 1] : nullptr);
    }
    auto it = model.begin();
    for (morva::BTreeIterator bi(t); bi.valid(); bi.next(), ++it) {
        ASSERT_NE(it, model.end());
        ASSERT_EQ(Bytes(reinterpret_cast<const char *>(bi.key()), bi.key_len()), it->first);
        ASSERT_EQ(Bytes(reinterpret_cast<const char *>(bi.value()), bi.value_len()), it->second);
    }
    ASSERT_EQ(it, model.end());
}

TEST(BTree, SeventeenthAscendingPutSplitsRootLeaf) {
    TreePtr t(btree_create());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->root->is_leaf, 1);
    EXPECT_EQ(t->root->num_keys, 0);
    for (uint8_t k = 1; k <= 16; ++k) ASSERT_EQ(btree_put(t.get(), &k, 1, &k, 1), DB_OK);
    EXPECT_EQ(t->root->is_leaf, 1);
    uint8_t k = 17;
    ASSERT_EQ(btree_put(t.get(), &k, 1, &k, 1), DB_OK);
    const btree_node *root = t->root;
    ASSERT_EQ(root->is_leaf, 0);
    ASSERT_EQ(root->num_keys, 1);
    EXPECT_EQ(root->key_lens[0], 1u);
    EXPECT_EQ(root->keys[0][0], 9);
    EXPECT_EQ(root->children[0]->num_keys, 8);
    EXPECT_EQ(root->children[1]->num_keys, 9);
    EXPECT_EQ(root->children[0]->next, root->children[1]);
    EXPECT_EQ(root->children[1]->next, nullptr);
}

TEST(BTree, ReplaceKeepsCountAndKeyOrderIsUnsignedShorterFirst) {
    TreePtr t(btree_create());
    Model model;
    for (const Bytes &k : {Bytes("ab"), Bytes("a"), Bytes(""), Bytes("\xff"), Bytes("\x01"), Bytes("a\0", 2)}) {
        ASSERT_EQ(put(t.get(), k, "v" + k), DB_OK);
        model[k] = "v" + k;
    }
    ASSERT_EQ(put(t.get(), "a", "replaced"), DB_OK);
    model["a"] = "replaced";
    check_tree(t.get(), model);
    Bytes v;
    ASSERT_TRUE(get(t.get(), "a", &v));
    EXPECT_EQ(v, "replaced");
    ASSERT_TRUE(get(t.get(), "", &v));
    EXPECT_EQ(v, "v");
    EXPECT_FALSE(get(t.get(), "b", &v));
    // "a" < "a\0" < "ab": a proper prefix sorts first, then bytes compare.
    morva::BTreeIterator it(t.get());
    it.seek(reinterpret_cast<const uint8_t *>("a"), 1);
    ASSERT_TRUE(it.valid());
    EXPECT_EQ(it.key_len(), 1u);
    it.next();
    EXPECT_EQ(it.key_len(), 2u);
    EXPECT_EQ(it.key()[1], 0);
}

// Keys sharing a 40-byte prefix, keys that are prefixes of one another, a
// 0xFF byte right after the shared part, and keys of 0 and 1 bytes: the
// cases where a node's shared prefix and key heads matter.
static Bytes awkward_key(uint32_t i) {
    const Bytes shared(40, 'p');
    switch (i % 10) {
        case 0: return (i / 10) % 2 ? Bytes(1, static_cast<char>(i % 256)) : Bytes();
        case 1: return shared + static_cast<char>(0xFF) + key_of(i);
        case 2: return shared;
        default: return shared + key_of(i).substr(0, 1 + i % 9);
    }
}

// The random mix runs through btree_put and through the engine's packing
// insert, with plain keys and with awkward ones.
TEST(BTree, RandomOperationsMatchAnOrderedMap) {
    for (bool packed : {false, true}) {
        for (bool awkward : {false, true}) {
            SCOPED_TRACE(std::string(packed ? "btree_upsert" : "btree_put") + (awkward ? ", awkward keys" : ""));
            auto make_key = [awkward](uint32_t i) { return awkward ? awkward_key(i) : key_of(i); };
            TreePtr t(btree_create());
            Model model;
            std::srand(12345);
            for (int op = 0; op < 40000; ++op) {
                const Bytes k = make_key(static_cast<uint32_t>(std::rand() % 5000));
                const int kind = std::rand() % 10;
                if (kind < 6) {
                    const Bytes v(static_cast<size_t>(std::rand() % 40), static_cast<char>('a' + op % 26));
                    ASSERT_EQ(packed ? morva::btree_upsert(t.get(), reinterpret_cast<const uint8_t *>(k.data()),
                                                           k.size(), v.data(), v.size())
                                     : put(t.get(), k, v),
                              DB_OK);
                    model[k] = v;
                } else if (kind < 9) {
                    const int32_t status = btree_delete(t.get(), k.data(), k.size());
                    EXPECT_EQ(status, model.erase(k) ? DB_OK : DB_ERR_NOT_FOUND);
                } else {
                    Bytes v;
                    auto m = model.find(k);
                    ASSERT_EQ(get(t.get(), k, &v), m != model.end());
                    if (m != model.end()) {
                        ASSERT_EQ(v, m->second);
                    }
                }
                if (op % 5000 == 0) check_tree(t.get(), model);
            }
            check_tree(t.get(), model);
            // Seeking the in-place iterator agrees with the map's lower bound,
            // including keys between stored ones and past the end.
            for (uint32_t i = 0; i < 5200; i += 7) {
                const Bytes probe = make_key(i) + (i % 2 ? "x" : "");
                morva::BTreeIterator it(t.get());
                it.seek(reinterpret_cast<const uint8_t *>(probe.data()), probe.size());
                auto m = model.lower_bound(probe);
                ASSERT_EQ(it.valid(), m != model.end());
                if (it.valid()) {
                    ASSERT_EQ(Bytes(reinterpret_cast<const char *>(it.key()), it.key_len()), m->first);
                }
            }
        }
    }
}

TEST(BTree, DeepTreesFromAscendingAndDescendingLoads) {
    for (bool ascending : {true, false}) {
        TreePtr t(btree_create());
        Model model;
        for (uint32_t i = 0; i < 20000; ++i) {
            const Bytes k = key_of(ascending ? i : 20000 - i);
            ASSERT_EQ(put(t.get(), k, k), DB_OK);
            model[k] = k;
        }
        check_tree(t.get(), model);
        // Half-full leaves from sequential loads need at least three levels.
        EXPECT_EQ(t->root->is_leaf, 0);
        EXPECT_EQ(t->root->children[0]->is_leaf, 0);
    }
    // The engine's inserts leave full leaves behind an ascending load, and
    // keep a random load's leaves well above the two thirds of plain splits.
    for (bool ascending : {true, false}) {
        TreePtr t(btree_create());
        Model model;
        std::srand(7);
        for (uint32_t i = 0; i < 20000; ++i) {
            const Bytes k = key_of(ascending ? i : static_cast<uint32_t>(std::rand()));
            ASSERT_EQ(morva::btree_upsert(t.get(), reinterpret_cast<const uint8_t *>(k.data()), k.size(), k.data(),
                                          k.size()),
                      DB_OK);
            model[k] = k;
        }
        check_tree(t.get(), model);
        Walk walk;
        check_node(t->root, nullptr, nullptr, 0, &walk);
        const double fill = static_cast<double>(walk.entries) / walk.leaves.size();
        EXPECT_GE(fill, ascending ? BTREE_MAX_KEYS - 1 : 0.85 * BTREE_MAX_KEYS) << (ascending ? "ascending" : "random");
    }
}

TEST(BTree, DeletingEverythingLeavesEmptyLeavesThatStillWork) {
    TreePtr t(btree_create());
    Model model;
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(put(t.get(), key_of(i), "v"), DB_OK);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(btree_delete(t.get(), key_of(i).data(), 9), DB_OK);
    check_tree(t.get(), model);
    EXPECT_EQ(t->root->is_leaf, 0) << "deletes do not shrink the tree";
    Bytes v;
    EXPECT_FALSE(get(t.get(), key_of(5), &v));
    EXPECT_EQ(btree_delete(t.get(), key_of(5).data(), 9), DB_ERR_NOT_FOUND);
    CursorPtr c(btree_cursor_create(t.get()));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->entry_count, 0);
    btree_entry e;
    EXPECT_EQ(btree_cursor_next(c.get(), &e), DB_ERR_NOT_FOUND);
    EXPECT_TRUE(morva::btree_for_each(t.get(), [](const btree_entry &) { return false; }));
    // Reinserting into the emptied structure routes through old separators.
    for (uint32_t i = 0; i < 1000; i += 3) {
        ASSERT_EQ(put(t.get(), key_of(i), "w"), DB_OK);
        model[key_of(i)] = "w";
    }
    check_tree(t.get(), model);
}

TEST(BTree, NullValuesKeepTheirLengthAndAreNeverRead) {
    TreePtr t(btree_create());
    ASSERT_EQ(btree_put(t.get(), "n", 1, nullptr, 100), DB_OK);
    ASSERT_EQ(btree_put(t.get(), "e", 1, "", 0), DB_OK);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(1);
    uint64_t n = 0;
    ASSERT_EQ(btree_get(t.get(), "n", 1, &p, &n), DB_OK);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(n, 100u);
    CursorPtr c(btree_cursor_create(t.get()));
    ASSERT_TRUE(c);
    btree_entry e;
    ASSERT_EQ(btree_cursor_next(c.get(), &e), DB_OK);
    EXPECT_EQ(e.key[0], 'e');
    EXPECT_NE(e.value, nullptr);
    EXPECT_EQ(e.value_len, 0u);
    ASSERT_EQ(btree_cursor_next(c.get(), &e), DB_OK);
    EXPECT_EQ(e.value, nullptr);
    EXPECT_EQ(e.value_len, 100u);
    // Outs are optional.
    EXPECT_EQ(btree_get(t.get(), "n", 1, nullptr, nullptr), DB_OK);
}

TEST(BTreeCursor, SnapshotSeekAndIndependenceFromTheTree) {
    TreePtr t(btree_create());
    for (uint32_t i = 0; i < 100; i += 2) ASSERT_EQ(put(t.get(), key_of(i), "v" + key_of(i)), DB_OK);
    CursorPtr c(btree_cursor_create(t.get()));
    ASSERT_TRUE(c);
    ASSERT_EQ(c->entry_count, 50);
    EXPECT_EQ(c->position, 0);

    btree_entry e;
    const Bytes between = key_of(41);
    ASSERT_EQ(btree_cursor_seek(c.get(), between.data(), between.size()), DB_OK);
    ASSERT_EQ(btree_cursor_next(c.get(), &e), DB_OK);
    EXPECT_EQ(Bytes(reinterpret_cast<const char *>(e.key), e.key_len), key_of(42));

    const Bytes exact = key_of(10);
    ASSERT_EQ(btree_cursor_seek(c.get(), exact.data(), exact.size()), DB_OK);
    EXPECT_EQ(c->position, 5);

    const Bytes past = key_of(1000);
    ASSERT_EQ(btree_cursor_seek(c.get(), past.data(), past.size()), DB_OK);
    EXPECT_EQ(c->position, 50);
    EXPECT_EQ(btree_cursor_next(c.get(), &e), DB_ERR_NOT_FOUND);

    // Changing and then destroying the tree does not touch the snapshot.
    for (uint32_t i = 0; i < 100; ++i) put(t.get(), key_of(i), "changed");
    t.reset();
    ASSERT_EQ(btree_cursor_seek(c.get(), nullptr, 0), DB_OK);
    for (uint32_t i = 0; i < 100; i += 2) {
        ASSERT_EQ(btree_cursor_next(c.get(), &e), DB_OK);
        EXPECT_EQ(Bytes(reinterpret_cast<const char *>(e.value), e.value_len), "v" + key_of(i));
    }
    EXPECT_EQ(btree_cursor_next(c.get(), &e), DB_ERR_NOT_FOUND);
}

TEST(BTree, BuildSortedAndArgumentChecks) {
    TreePtr t(btree_create());
    EXPECT_EQ(btree_build_sorted(t.get(), nullptr, 0), DB_OK);
    EXPECT_EQ(btree_build_sorted(t.get(), nullptr, 3), DB_ERR_INVALID);
    EXPECT_EQ(btree_build_sorted(nullptr, nullptr, 0), DB_ERR_INVALID);
    const btree_entry entries[] = {
        {reinterpret_cast<const uint8_t *>("b"), 1, reinterpret_cast<const uint8_t *>("2"), 1},
        {reinterpret_cast<const uint8_t *>("a"), 1, reinterpret_cast<const uint8_t *>("1"), 1},
        {reinterpret_cast<const uint8_t *>("b"), 1, reinterpret_cast<const uint8_t *>("3"), 1},
        {nullptr, 1, nullptr, 0},
        {reinterpret_cast<const uint8_t *>("c"), 1, nullptr, 0},
    };
    // Puts run in array order (the later "b" wins) and stop at the entry
    // without a key.
    EXPECT_EQ(btree_build_sorted(t.get(), entries, 5), DB_ERR_INVALID);
    check_tree(t.get(), Model{{"a", "1"}, {"b", "3"}});

    EXPECT_EQ(btree_put(nullptr, "a", 1, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(btree_put(t.get(), nullptr, 0, "v", 1), DB_ERR_INVALID);
    EXPECT_EQ(btree_get(t.get(), nullptr, 0, nullptr, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(btree_delete(nullptr, "a", 1), DB_ERR_INVALID);
    EXPECT_EQ(btree_cursor_create(nullptr), nullptr);
    EXPECT_EQ(btree_cursor_seek(nullptr, nullptr, 0), DB_ERR_INVALID);
    btree_entry e;
    EXPECT_EQ(btree_cursor_next(nullptr, &e), DB_ERR_INVALID);
    CursorPtr c(btree_cursor_create(t.get()));
    EXPECT_EQ(btree_cursor_next(c.get(), nullptr), DB_ERR_INVALID);
    btree_destroy(nullptr);
    btree_cursor_destroy(nullptr);
}

TEST(BTree, ForEachStartsAtLowerBoundAndStopsOnRequest) {
    TreePtr t(btree_create());
    for (uint32_t i = 0; i < 300; ++i) ASSERT_EQ(put(t.get(), key_of(i * 10), "v"), DB_OK);
    std::vector<Bytes> seen;
    const Bytes start = key_of(1234);
    const bool completed = morva::btree_for_each(t.get(), reinterpret_cast<const uint8_t *>(start.data()),
                                                 start.size(), [&](const btree_entry &e) {
                                                     seen.emplace_back(reinterpret_cast<const char *>(e.key),
                                                                       e.key_len);
                                                     return seen.size() < 5;
                                                 });
    EXPECT_FALSE(completed);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0], key_of(1240));
    EXPECT_EQ(seen[4], key_of(1280));
}

} // namespace
