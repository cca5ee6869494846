// Queries over real databases: rows written with db_put and db_delete, held
// in memtables, flushed into sorted tables, compacted and reloaded, read
// while other threads keep writing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "morvadb.h"
#include "query/row_encoder.h"
#include "query/temp_dir.h"

using morva_test::RowEncoder;

namespace {

// Every row starts with a kind column so queries can pick one table's rows
// out of the shared key space.
constexpr int32_t kUserKind = 1;
constexpr int32_t kOrderKind = 2;

struct User {
    int32_t id;
    int64_t big;
    float ratio;
    double score;
    std::string name;
    std::string blob;
    bool active;
};

std::vector<uint8_t> encode(const User &u) {
    RowEncoder r;
    r.i32(kUserKind).i32(u.id).i64(u.big).f32(u.ratio).f64(u.score).str(u.name).str(u.blob).boolean(u.active);
    return r.bytes();
}

User user_for(int32_t id, int version) {
    return User{id, int64_t{id} * 1000000007LL, id * 0.5f, id + version * 0.001, "user" + std::to_string(id),
                std::string(static_cast<size_t>(id % 7), '\x01'), (id + version) % 2 == 0};
}

class QueryDb : public ::testing::Test {
protected:
    void SetUp() override { open(4096); }
    void TearDown() override { close(); }

    void open(uint64_t memtable_size) {
        db_options options{};
        options.memtable_size = memtable_size;
        options.reserved2 = 65536;
        options.reserved3 = 1;
        options.refresh_interval_ms = 10;
        options.reserved4 = 4;
        options.reserved5 = 10485760;
        options.reserved6 = 10.0;
        ASSERT_EQ(db_open((dir.path() + "/db").c_str(), &options, &db), DB_OK);
        if (db->table_count == 0) {
            const char *user_cols[] = {"kind", "id", "big", "ratio", "score", "name", "blob", "active"};
            int32_t user_types[] = {COL_INT32, COL_INT32, COL_INT64, COL_FLOAT, COL_DOUBLE, COL_STRING, COL_BLOB, COL_BOOL};
            ASSERT_EQ(db_create_table(db, "users", user_cols, user_types, 8, "id"), DB_OK);
            const char *order_cols[] = {"kind", "order_id", "user_key", "total"};
            int32_t order_types[] = {COL_INT32, COL_INT64, COL_STRING, COL_DOUBLE};
            ASSERT_EQ(db_create_table(db, "orders", order_cols, order_types, 4, nullptr), DB_OK);
        }
    }
    void close() {
        if (db != nullptr) db_close(db);
        db = nullptr;
    }

    // User rows live under "u<id>" plus a NUL, so a join can find them from
    // an order's user_key column holding "u<id>".
    static std::string user_key(int32_t id) { return "u" + std::to_string(id) + std::string(1, '\0'); }

    void put_user(const User &u) {
        std::vector<uint8_t> row = encode(u);
        std::string key = user_key(u.id);
        ASSERT_EQ(db_put(db, "users", key.data(), key.size(), row.data(), row.size()), DB_OK);
        model[u.id] = u;
    }
    void delete_user(int32_t id) {
        std::string key = user_key(id);
        ASSERT_EQ(db_delete(db, "users", key.data(), key.size()), DB_OK);
        model.erase(id);
    }

    static std::vector<int32_t> column_ints(result_set *rs, int32_t column) {
        std::vector<int32_t> out;
        for (int32_t r = 0; r < rs->stored_rows; ++r) {
            uint64_t len;
            const void *v = rs_get_row_column(rs, r, column, &len);
            int32_t x = -1;
            if (v != nullptr) std::memcpy(&x, v, sizeof x);
            out.push_back(x);
        }
        return out;
    }

    result_set *users_query(query_builder **out_qb) {
        query_builder *qb = db_query(db, "users");
        EXPECT_EQ(qb_filter(qb, "kind", "=", "1"), DB_OK);
        *out_qb = qb;
        return qb_exec(qb);
    }

    // The query returns exactly the model's rows, byte for byte, once each.
    void expect_matches_model() {
        query_builder *qb;
        result_set *rs = users_query(&qb);
        ASSERT_NE(rs, nullptr);
        ASSERT_EQ(rs->row_count, static_cast<int32_t>(model.size()));
        std::set<int32_t> seen;
        for (int32_t r = 0; r < rs->stored_rows; ++r) {
            uint64_t len;
            int32_t id;
            std::memcpy(&id, rs_get_row_column(rs, r, 1, &len), sizeof id);
            ASSERT_TRUE(seen.insert(id).second) << "duplicate row for id " << id;
            ASSERT_TRUE(model.count(id)) << "deleted id " << id << " returned";
            std::vector<uint8_t> want = encode(model[id]);
            ASSERT_EQ(std::vector<uint8_t>(rs->rows[r], rs->rows[r] + rs->row_lengths[r]), want) << id;
        }
        rs_close(rs);
        qb_destroy(qb);
    }

    morva_test::TempDir dir;
    db_handle *db = nullptr;
    std::map<int32_t, User> model;
};

TEST_F(QueryDb, NewestVersionsAcrossMemtablesFlushedTablesAndReopen) {
    // Small memtables: these writes flush many level-0 tables, and later
    // versions and deletions land above older versions in sorted tables.
    for (int32_t id = 0; id < 300; ++id) put_user(user_for(id, 0));
    for (int32_t id = 0; id < 300; id += 3) put_user(user_for(id, 1));
    for (int32_t id = 1; id < 300; id += 5) delete_user(id);
    expect_matches_model();
    for (int32_t id = 2; id < 300; id += 7) put_user(user_for(id, 2));  // some now only in a memtable
    delete_user(299);
    expect_matches_model();
    close();
    open(4096);
    expect_matches_model();
}

TEST_F(QueryDb, FiltersSortsLimitsAndJoinsEveryColumnType) {
    for (int32_t id = 0; id < 120; ++id) put_user(user_for(id, 0));
    for (int32_t i = 0; i < 40; ++i) {
        RowEncoder order;
        order.i32(kOrderKind).i64(1000 + i).str("u" + std::to_string(i * 3)).f64(i * 2.5);
        std::string key = "o" + std::to_string(i);
        ASSERT_EQ(db_put(db, "orders", key.data(), key.size(), order.data(), order.bytes().size()), DB_OK);
    }
    struct Case {
        const char *column, *op, *literal;
        size_t expected;
    } cases[] = {{"id", "<", "10", 10},          {"big", ">=", "100000000700", 20},
                 {"ratio", "<=", "2.5", 6},      {"score", ">", "118.5", 1},
                 {"name", "=", "user42", 1},     {"name", "<", "user2", 32},
                 {"active", "=", "true", 60},    {"blob", "=", "", 0}};
    for (const Case &c : cases) {
        query_builder *qb;
        result_set *rs = users_query(&qb);
        rs_close(rs);
        ASSERT_EQ(qb_filter(qb, c.column, c.op, c.literal), DB_OK);
        rs = qb_exec(qb);
        EXPECT_EQ(static_cast<size_t>(rs->row_count), c.expected) << c.column << c.op << c.literal;
        rs_close(rs);
        qb_destroy(qb);
    }

    // Orders sorted by total descending, top 5, joined with their users.
    query_builder *qb = db_query(db, "orders");
    ASSERT_EQ(qb_filter(qb, "kind", "=", "2"), DB_OK);
    ASSERT_EQ(qb_sort(qb, "total", 0), DB_OK);
    ASSERT_EQ(qb_limit(qb, 5), DB_OK);
    ASSERT_EQ(qb_join(qb, "users", "user_key", "kind"), DB_OK);
    result_set *rs = qb_exec(qb);
    ASSERT_EQ(rs->row_count, 5);
    ASSERT_EQ(rs->column_count, 4 + 7);
    EXPECT_STREQ(rs->column_names[4], "id");
    for (int32_t r = 0; r < 5; ++r) {
        uint64_t len;
        double total;
        std::memcpy(&total, rs_get_row_column(rs, r, 3, &len), sizeof total);
        EXPECT_EQ(total, (39 - r) * 2.5);
        int32_t joined_id;
        const void *v = rs_get_row_column(rs, r, 4, &len);
        ASSERT_NE(v, nullptr);
        std::memcpy(&joined_id, v, sizeof joined_id);
        EXPECT_EQ(joined_id, (39 - r) * 3);
        const void *name = rs_get_row_column(rs, r, 8, &len);
        EXPECT_EQ(std::string(static_cast<const char *>(name), len), "user" + std::to_string(joined_id));
    }
    rs_close(rs);
    qb_destroy(qb);
}

TEST_F(QueryDb, QueriesRunWhileOtherThreadsWriteFlushAndCompact) {
    for (int32_t id = 0; id < 200; ++id) put_user(user_for(id, 0));
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([this, t, &stop] {
            for (int round = 1; !stop.load(); ++round) {
                for (int32_t id = t; id < 200; id += 2) {
                    User u = user_for(id, round);
                    std::vector<uint8_t> row = encode(u);
                    std::string key = user_key(id);
                    if ((id + round) % 11 == 0) {
                        db_delete(db, "users", key.data(), key.size());
                    } else {
                        db_put(db, "users", key.data(), key.size(), row.data(), row.size());
                    }
                }
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        query_builder *qb = db_query(db, "users");
        ASSERT_EQ(qb_filter(qb, "kind", "=", "1"), DB_OK);
        ASSERT_EQ(qb_sort(qb, "score", i % 2), DB_OK);
        if (i % 3 == 0) {
            ASSERT_EQ(qb_limit(qb, 10), DB_OK);  // rows selected while the scan holds its locks
        }
        ASSERT_EQ(qb_join(qb, "users", "name", "kind"), DB_OK);  // lookups of absent keys
        result_set *rs = qb_exec(qb);
        ASSERT_NE(rs, nullptr);
        std::vector<int32_t> ids = column_ints(rs, 1);
        std::set<int32_t> unique(ids.begin(), ids.end());
        EXPECT_EQ(unique.size(), ids.size()) << "a key yielded two rows";
        EXPECT_LE(ids.size(), 200u);
        rs_close(rs);
        qb_destroy(qb);
    }
    stop = true;
    for (std::thread &w : writers) w.join();
}

}  // namespace
