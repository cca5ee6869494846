// Query execution over a handle whose memtables and B-tree are filled
// directly, so every placement of a key's versions can be set up exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "morvadb.h"
#include "query/fake_db.h"
#include "query/row_encoder.h"

using morva_test::FakeDb;
using morva_test::RowEncoder;

namespace {

struct QbDeleter {
    void operator()(query_builder *qb) const { qb_destroy(qb); }
};
struct RsDeleter {
    void operator()(result_set *rs) const { rs_close(rs); }
};
using QbPtr = std::unique_ptr<query_builder, QbDeleter>;
using RsPtr = std::unique_ptr<result_set, RsDeleter>;

std::vector<uint8_t> user(int32_t id, const std::string &name, double score) {
    RowEncoder r;
    r.i32(id).str(name).f64(score);
    return r.bytes();
}

class QueryExec : public ::testing::Test {
protected:
    void SetUp() override { db.add_table("users", {"id", "name", "score"}, {COL_INT32, COL_STRING, COL_DOUBLE}); }

    QbPtr query(const char *table = "users") { return QbPtr(db_query(db.handle(), table)); }

    static std::vector<int32_t> ids(result_set *rs) {
        std::vector<int32_t> out;
        for (int32_t r = 0; r < rs->stored_rows; ++r) {
            uint64_t len = 0;
            const void *v = rs_get_row_column(rs, r, 0, &len);
            out.push_back(v != nullptr ? morva_test::read_as<int32_t>(v) : -999);
        }
        return out;
    }

    FakeDb db;
};

TEST_F(QueryExec, FiltersChainAsALeftDeepConjunctionAndWhereReplacesThem) {
    QbPtr qb = query();
    ASSERT_EQ(qb_filter(qb.get(), "id", ">", "30"), DB_OK);
    ASSERT_EQ(qb_filter(qb.get(), "name", "=", "bob"), DB_OK);
    ASSERT_EQ(qb->condition->kind, COND_AND);
    EXPECT_STREQ(qb->condition->left->column, "id");
    EXPECT_STREQ(qb->condition->right->column, "name");
    ASSERT_EQ(qb_filter(qb.get(), "score", "<", "5"), DB_OK);
    EXPECT_EQ(qb->condition->left->kind, COND_AND);
    EXPECT_STREQ(qb->condition->right->column, "score");

    condition *c = qb_cond(nullptr, "id", "=", "1");
    ASSERT_EQ(qb_where(qb.get(), c), DB_OK);
    EXPECT_EQ(qb->condition, c);
    EXPECT_EQ(qb_where(qb.get(), c), DB_OK);  // re-attaching the same tree keeps it alive
    EXPECT_EQ(qb->condition->kind, COND_LEAF);
    ASSERT_EQ(qb_filter(qb.get(), "name", "=", "x"), DB_OK);
    EXPECT_EQ(qb->condition->left, c);

    EXPECT_EQ(qb_where(qb.get(), nullptr), DB_ERR_INVALID);
    EXPECT_EQ(qb_filter(nullptr, "a", "=", "1"), DB_ERR_INVALID);
    EXPECT_EQ(qb_filter(qb.get(), "a", nullptr, "1"), DB_ERR_INVALID);
    EXPECT_EQ(qb_limit(qb.get(), -1), DB_ERR_INVALID);
    EXPECT_EQ(qb_sort(qb.get(), nullptr, 1), DB_ERR_INVALID);
    EXPECT_EQ(qb_join(qb.get(), "t", nullptr, "c"), DB_ERR_INVALID);
    EXPECT_EQ(qb_from(qb.get(), nullptr), DB_ERR_INVALID);
    EXPECT_EQ(db_query(nullptr, "users"), nullptr);
    EXPECT_EQ(db_query(db.handle(), nullptr), nullptr);
    EXPECT_EQ(qb_exec(nullptr), nullptr);
    qb_destroy(nullptr);
}

TEST_F(QueryExec, EachKeyYieldsOnlyItsNewestLiveVersion) {
    db.put_flushing("a", user(10, "flushing-a", 0));  // hidden by the active version
    db.put_flushing("b", user(20, "flushing-b", 0));  // hidden by the active tombstone
    db.put_flushing("c", user(30, "flushing-c", 0));  // live, hides the tree's version
    db.delete_flushing("d");                          // hides the tree's version
    db.put_active("a", user(11, "active-a", 0));
    db.delete_active("b");
    db.delete_active("e");                            // hides the tree's version
    db.put_active("f", user(60, "active-f", 0));
    for (const char *k : {"a", "b", "c", "d", "e"}) db.put_tree(k, user(99, "tree", 0));
    db.put_tree("g", user(70, "tree-g", 0));

    QbPtr qb = query();
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_NE(rs, nullptr);
    // Scan order: active memtable, flushing memtable, B-tree, each in key order.
    EXPECT_EQ(ids(rs.get()), (std::vector<int32_t>{11, 60, 30, 70}));
    EXPECT_EQ(rs->row_count, 4);
    EXPECT_EQ(rs->cursor, -1);
    EXPECT_EQ(rs->column_count, 3);
    EXPECT_STREQ(rs->column_names[1], "name");
    EXPECT_EQ(rs->column_names[1], db.handle()->tables[0].column_names[1]);  // borrowed from the catalog
}

TEST_F(QueryExec, UnknownTableGivesAnEmptyResult) {
    db.put_tree("k", user(1, "x", 0));
    QbPtr qb = query("nobody");
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(rs->column_count, 0);
    EXPECT_EQ(rs->row_count, 0);
    EXPECT_EQ(rs_next(rs.get()), 0);
    // Table names match exactly and case-sensitively; qb_from switches.
    EXPECT_EQ(qb_from(qb.get(), "Users"), DB_OK);
    RsPtr again(qb_exec(qb.get()));
    EXPECT_EQ(again->row_count, 0);
    ASSERT_EQ(qb_from(qb.get(), "users"), DB_OK);
    RsPtr found(qb_exec(qb.get()));
    EXPECT_EQ(found->row_count, 1);
}

TEST_F(QueryExec, RowsOfOtherTablesPassOnlyTheirCondition) {
    // All tables share one key space: a query decodes every entry with the
    // queried table's schema and relies on its condition to pick rows.
    db.add_table("flags", {"on"}, {COL_BOOL});
    db.put_tree("u1", user(1, "ann", 0));
    RowEncoder flag;
    flag.boolean(true);
    db.put_tree("f1", flag.bytes());
    QbPtr qb = query();
    ASSERT_EQ(qb_filter(qb.get(), "name", "=", "ann"), DB_OK);
    RsPtr rs(qb_exec(qb.get()));
    EXPECT_EQ(ids(rs.get()), std::vector<int32_t>{1});
}

TEST_F(QueryExec, SortsEveryComparableTypeBothWays) {
    for (int i = 0; i < 6; ++i) {
        int32_t id = (i * 7) % 6;
        db.put_tree("k" + std::to_string(i), user(id, std::string(1, static_cast<char>('f' - id)), id * 0.5));
    }
    QbPtr qb = query();
    ASSERT_EQ(qb_sort(qb.get(), "id", 0), DB_OK);
    RsPtr desc(qb_exec(qb.get()));
    EXPECT_EQ(ids(desc.get()), (std::vector<int32_t>{5, 4, 3, 2, 1, 0}));
    ASSERT_EQ(qb_sort(qb.get(), "name", 1), DB_OK);  // 'f' - id: ascending names are descending ids
    RsPtr by_name(qb_exec(qb.get()));
    EXPECT_EQ(ids(by_name.get()), (std::vector<int32_t>{5, 4, 3, 2, 1, 0}));
    ASSERT_EQ(qb_sort(qb.get(), "score", 1), DB_OK);
    RsPtr by_score(qb_exec(qb.get()));
    EXPECT_EQ(ids(by_score.get()), (std::vector<int32_t>{0, 1, 2, 3, 4, 5}));

    // Limit applies after the sort: the three largest.
    ASSERT_EQ(qb_sort(qb.get(), "id", 0), DB_OK);
    ASSERT_EQ(qb_limit(qb.get(), 3), DB_OK);
    RsPtr top(qb_exec(qb.get()));
    EXPECT_EQ(ids(top.get()), (std::vector<int32_t>{5, 4, 3}));
    EXPECT_EQ(top->row_count, 3);
    ASSERT_EQ(qb_limit(qb.get(), 0), DB_OK);
    RsPtr none(qb_exec(qb.get()));
    EXPECT_EQ(none->row_count, 0);
    EXPECT_EQ(none->column_count, 3);
}

TEST_F(QueryExec, SortOnAMissingColumnOrABlobKeepsScanOrder) {
    db.add_table("files", {"id", "data"}, {COL_INT32, COL_BLOB});
    for (int i = 0; i < 5; ++i) {
        RowEncoder r;
        r.i32(4 - i).str(std::string(1, static_cast<char>('a' + i)));
        db.put_tree("k" + std::to_string(i), r.bytes());
    }
    for (const char *column : {"nothing", "data"}) {
        QbPtr qb = query("files");
        ASSERT_EQ(qb_sort(qb.get(), column, 1), DB_OK);
        RsPtr rs(qb_exec(qb.get()));
        EXPECT_EQ(ids(rs.get()), (std::vector<int32_t>{4, 3, 2, 1, 0})) << column;
    }
}

TEST_F(QueryExec, RowsWithoutAComparableValueSortLastInScanOrder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    db.put_tree("a", user(1, "n", nan));
    db.put_tree("b", user(2, "n", 3.0));
    RowEncoder short_row;
    short_row.i32(3).str("short");  // no score column
    db.put_tree("c", short_row.bytes());
    db.put_tree("d", user(4, "n", -1.0));
    db.put_tree("e", user(5, "n", nan));
    db.put_tree("f", user(6, "n", 3.0));
    for (int ascending : {1, 0}) {
        QbPtr qb = query();
        ASSERT_EQ(qb_sort(qb.get(), "score", ascending), DB_OK);
        RsPtr rs(qb_exec(qb.get()));
        // Equal scores keep scan order in both directions.
        std::vector<int32_t> expected = ascending ? std::vector<int32_t>{4, 2, 6, 1, 3, 5}
                                                  : std::vector<int32_t>{2, 6, 4, 1, 3, 5};
        EXPECT_EQ(ids(rs.get()), expected) << ascending;
    }
}

TEST_F(QueryExec, SortsColumnsFullOfNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < 300; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "k%03d", i);
        db.put_tree(key, user(i, "n", i % 3 == 0 ? static_cast<double>(i % 17) : nan));
    }
    QbPtr qb = query();
    ASSERT_EQ(qb_sort(qb.get(), "score", 1), DB_OK);
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_EQ(rs->row_count, 300);
    double previous = -1;
    bool in_nan_tail = false;
    int32_t previous_nan_id = -1;
    for (int32_t r = 0; r < 300; ++r) {
        uint64_t len;
        double s = morva_test::read_as<double>(rs_get_row_column(rs.get(), r, 2, &len));
        int32_t id = morva_test::read_as<int32_t>(rs_get_row_column(rs.get(), r, 0, &len));
        if (std::isnan(s)) {
            in_nan_tail = true;
            EXPECT_GT(id, previous_nan_id);  // scan order among NaNs
            previous_nan_id = id;
        } else {
            EXPECT_FALSE(in_nan_tail) << "a number after a NaN at row " << r;
            EXPECT_GE(s, previous);
            previous = s;
        }
    }
}

TEST_F(QueryExec, FiltersEveryColumnType) {
    db.add_table("all", {"i", "l", "f", "d", "s", "b", "o"},
                 {COL_INT32, COL_INT64, COL_FLOAT, COL_DOUBLE, COL_STRING, COL_BLOB, COL_BOOL});
    for (int i = 0; i < 4; ++i) {
        RowEncoder r;
        r.i32(i).i64(int64_t{i} << 40).f32(i * 0.5f).f64(i * 0.25).str("s" + std::to_string(i)).str("blob").boolean(i % 2);
        db.put_active("r" + std::to_string(i), r.bytes());
    }
    struct Case {
        const char *column, *op, *literal;
        int32_t expected;
    } cases[] = {{"i", ">=", "2", 2},     {"l", ">", "1099511627776", 2}, {"f", "=", "1.5", 1},
                 {"d", "<", "0.5", 2},    {"s", "!=", "s1", 3},           {"b", "=", "blob", 0},
                 {"o", "=", "true", 2},   {"o", "=", "false", 2},         {"i", "==", "1", 0}};
    for (const Case &c : cases) {
        QbPtr qb = query("all");
        ASSERT_EQ(qb_filter(qb.get(), c.column, c.op, c.literal), DB_OK);
        RsPtr rs(qb_exec(qb.get()));
        EXPECT_EQ(rs->row_count, c.expected) << c.column << c.op << c.literal;
        // Values read back through the cursor are the stored bytes.
        while (rs_next(rs.get())) {
            const void *data;
            uint64_t len;
            ASSERT_EQ(rs_get_column(rs.get(), 4, &data, &len), DB_OK);
            EXPECT_EQ(len, 2u);
        }
    }
}

class QueryJoin : public QueryExec {
protected:
    void SetUp() override {
        QueryExec::SetUp();
        db.add_table("orders", {"order_id", "user_id", "total"}, {COL_INT64, COL_INT32, COL_DOUBLE});
        db.add_table("profiles", {"city", "uid", "age"}, {COL_STRING, COL_INT32, COL_INT32});
    }

    static std::string key_of(const std::string &text) { return std::string(text.c_str(), text.size() + 1); }

    static std::vector<uint8_t> order(int64_t order_id, int32_t user_id, double total) {
        RowEncoder r;
        r.i64(order_id).i32(user_id).f64(total);
        return r.bytes();
    }
    static std::vector<uint8_t> profile(const std::string &city, int32_t uid, int32_t age) {
        RowEncoder r;
        r.str(city).i32(uid).i32(age);
        return r.bytes();
    }
};

TEST_F(QueryJoin, LeftOuterJoinOnTheJoinedRowsKey) {
    db.put_tree(key_of("42"), profile("Oslo", 42, 31));  // the 3-byte key '4' '2' NUL
    db.put_active("o1", order(1, 42, 9.5));
    db.put_active("o2", order(2, 7, 1.0));  // no profile under "7"
    QbPtr qb = query("orders");
    // Keep the profile row (also decoded as an order) out of the result.
    ASSERT_EQ(qb_filter(qb.get(), "order_id", "<", "100"), DB_OK);
    ASSERT_EQ(qb_join(qb.get(), "profiles", "user_id", "uid"), DB_OK);
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_EQ(rs->row_count, 2);
    ASSERT_EQ(rs->column_count, 5);
    EXPECT_STREQ(rs->column_names[3], "city");
    EXPECT_STREQ(rs->column_names[4], "age");
    EXPECT_EQ(rs->column_types[3], static_cast<uint32_t>(COL_STRING));
    uint64_t len = 0;
    const void *city = rs_get_row_column(rs.get(), 0, 3, &len);
    ASSERT_NE(city, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(city), len), "Oslo");
    EXPECT_EQ(morva_test::read_as<int32_t>(rs_get_row_column(rs.get(), 0, 4, &len)), 31);
    EXPECT_EQ(rs->row_lengths[0], 20u + 4 + 4 + 4);
    // The unmatched row keeps its bytes; its joined columns read as absent.
    EXPECT_EQ(rs->row_lengths[1], 20u);
    EXPECT_EQ(rs_get_row_column(rs.get(), 1, 3, &len), nullptr);
    EXPECT_EQ(morva_test::read_as<double>(rs_get_row_column(rs.get(), 1, 2, &len)), 1.0);
    EXPECT_EQ(db.handle()->last_error, DB_ERR_NOT_FOUND);  // the last lookup missed
}

TEST_F(QueryJoin, JoinsOnStringsAndLooksThroughTombstones) {
    db.add_table("cities", {"name", "country"}, {COL_STRING, COL_STRING});
    RowEncoder oslo;
    oslo.str("Oslo").str("NO");
    db.put_tree(key_of("Oslo"), oslo.bytes());
    RowEncoder rome;
    rome.str("Rome").str("IT");
    db.put_tree(key_of("Rome"), rome.bytes());
    db.delete_active(key_of("Rome"));  // deleted: no partner any more
    db.put_active("p1", profile("Oslo", 1, 20));
    db.put_active("p2", profile("Rome", 2, 30));
    QbPtr qb = query("profiles");
    ASSERT_EQ(qb_filter(qb.get(), "age", ">", "0"), DB_OK);  // city rows are too short for an age
    ASSERT_EQ(qb_join(qb.get(), "cities", "city", "name"), DB_OK);
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_EQ(rs->row_count, 2);
    ASSERT_EQ(rs->column_count, 4);
    uint64_t len;
    const void *country = rs_get_row_column(rs.get(), 0, 3, &len);
    ASSERT_NE(country, nullptr);
    EXPECT_EQ(std::string(static_cast<const char *>(country), len), "NO");
    EXPECT_EQ(rs_get_row_column(rs.get(), 1, 3, &len), nullptr);
}

TEST_F(QueryJoin, MissingPartsLeaveTheQueriedColumns) {
    db.put_active("o1", order(1, 42, 9.5));
    db.put_tree(key_of("42"), profile("Oslo", 42, 31));
    const char *joins[][3] = {{"nowhere", "user_id", "uid"}, {"profiles", "nope", "uid"}, {"profiles", "user_id", "nope"}};
    for (auto &j : joins) {
        QbPtr qb = query("orders");
        ASSERT_EQ(qb_filter(qb.get(), "order_id", "=", "1"), DB_OK);
        ASSERT_EQ(qb_join(qb.get(), j[0], j[1], j[2]), DB_OK);
        RsPtr rs(qb_exec(qb.get()));
        EXPECT_EQ(rs->column_count, 3) << j[0] << j[1] << j[2];
        EXPECT_EQ(rs->row_lengths[0], 20u);
    }
}

TEST_F(QueryJoin, OverlongKeysShortRowsAndTooWideResultsStayUnjoined) {
    db.add_table("names", {"tag", "name", "extra"}, {COL_INT32, COL_STRING, COL_INT32});
    db.add_table("by_name", {"name", "v"}, {COL_STRING, COL_INT32});
    std::string long_name(300, 'x');
    RowEncoder partner;
    partner.str(long_name.substr(0, 255)).i32(5);
    db.put_tree(key_of(long_name.substr(0, 255)), partner.bytes());  // what a cut key would find
    RowEncoder long_row;
    long_row.i32(77).str(long_name).i32(1);
    db.put_active("n1", long_row.bytes());
    RowEncoder short_row;
    short_row.i32(77).str(long_name.substr(0, 255));  // finds the partner, but "extra" is absent
    db.put_active("n2", short_row.bytes());
    QbPtr qb = query("names");
    ASSERT_EQ(qb_filter(qb.get(), "tag", "=", "77"), DB_OK);
    ASSERT_EQ(qb_join(qb.get(), "by_name", "name", "name"), DB_OK);
    RsPtr rs(qb_exec(qb.get()));
    ASSERT_EQ(rs->row_count, 2);
    EXPECT_EQ(rs->column_count, 4);
    uint64_t len;
    for (int32_t r = 0; r < 2; ++r) {
        EXPECT_EQ(rs_get_row_column(rs.get(), r, 3, &len), nullptr) << r;
        EXPECT_EQ(rs_get_row_column(rs.get(), r, 2, &len) == nullptr, r == 1) << r;
    }

    // 40 + 30 - 1 columns do not fit a result set: the join is not applied.
    std::vector<std::string> names;
    std::vector<int32_t> types;
    for (int i = 0; i < 40; ++i) {
        names.push_back("c" + std::to_string(i));
        types.push_back(COL_INT32);
    }
    db.add_table("wide", names, types);
    names.resize(30);
    types.resize(30);
    db.add_table("wide2", names, types);
    QbPtr wide = query("wide");
    ASSERT_EQ(qb_join(wide.get(), "wide2", "c0", "c0"), DB_OK);
    RsPtr wide_rs(qb_exec(wide.get()));
    EXPECT_EQ(wide_rs->column_count, 40);
}

}  // namespace

namespace {

// Sorting with a limit selects rows during the scan; it must keep exactly
// the rows, in the order, that a full sort followed by the limit gives.
TEST_F(QueryExec, LimitedSortsMatchAFullSortCutShort) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < 200; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "k%03d", i);
        if (i % 13 == 0) {
            RowEncoder short_row;
            short_row.i32(i);  // no name, no score
            db.put_tree(key, short_row.bytes());
        } else {
            db.put_tree(key, user(i, std::string(1, static_cast<char>('a' + i % 5)), i % 7 == 0 ? nan : (i * 37) % 11));
        }
    }
    for (int i = 0; i < 20; ++i) db.put_active("m" + std::to_string(i), user(1000 + i, "z", i % 3));
    for (const char *column : {"score", "name", "id"}) {
        for (int ascending : {0, 1}) {
            QbPtr full = query();
            ASSERT_EQ(qb_sort(full.get(), column, ascending), DB_OK);
            RsPtr all(qb_exec(full.get()));
            std::vector<int32_t> sorted = ids(all.get());
            for (int32_t limit : {0, 1, 5, 17, 150, 219, 220, 500}) {
                QbPtr qb = query();
                ASSERT_EQ(qb_sort(qb.get(), column, ascending), DB_OK);
                ASSERT_EQ(qb_limit(qb.get(), limit), DB_OK);
                RsPtr rs(qb_exec(qb.get()));
                std::vector<int32_t> expected(sorted.begin(),
                                              sorted.begin() + std::min<size_t>(sorted.size(), static_cast<size_t>(limit)));
                EXPECT_EQ(ids(rs.get()), expected) << column << " " << ascending << " " << limit;
                EXPECT_EQ(rs->row_count, static_cast<int32_t>(expected.size()));
            }
        }
    }
}

}  // namespace
