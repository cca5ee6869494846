#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "morvadb.h"
#include "query/result_set.h"
#include "query/row_encoder.h"

using morva_test::RowEncoder;

namespace {

struct RsDeleter {
    void operator()(result_set *rs) const { rs_close(rs); }
};
using RsPtr = std::unique_ptr<result_set, RsDeleter>;

RsPtr two_column_result() {
    RsPtr rs(morva::result_set_create());
    rs->column_count = 2;
    rs->column_types[0] = COL_INT32;
    rs->column_types[1] = COL_STRING;
    rs->column_names[0] = "id";
    rs->column_names[1] = "name";
    return rs;
}

TEST(ResultSet, CursorWalksRowsAndStopsAtTheEnd) {
    RsPtr rs = two_column_result();
    for (int i = 0; i < 3; ++i) {
        RowEncoder r;
        r.i32(i).str(std::string(static_cast<size_t>(i), 'a'));
        ASSERT_EQ(rs_add_row(rs.get(), r.data(), static_cast<size_t>(r.size())), DB_OK);
    }
    rs->row_count = rs->stored_rows;
    const void *data = reinterpret_cast<const void *>(1);
    uint64_t len = 9;
    // Before the first rs_next there is no current row.
    EXPECT_EQ(rs_get_column(rs.get(), 0, &data, &len), DB_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(rs_next(rs.get()), 1);
        ASSERT_EQ(rs_get_column(rs.get(), 0, &data, &len), DB_OK);
        EXPECT_EQ(morva_test::read_as<int32_t>(data), i);
        ASSERT_EQ(rs_get_column(rs.get(), 1, &data, &len), DB_OK);
        EXPECT_EQ(len, static_cast<uint64_t>(i));
        EXPECT_NE(data, nullptr);
    }
    EXPECT_EQ(rs_next(rs.get()), 0);
    EXPECT_EQ(rs_next(rs.get()), 0);
    EXPECT_EQ(rs->cursor, 3);
    EXPECT_EQ(rs_get_column(rs.get(), 0, &data, &len), DB_OK);
    EXPECT_EQ(data, nullptr);

    EXPECT_EQ(rs_get_column(rs.get(), 2, &data, &len), DB_ERR_INVALID);
    EXPECT_EQ(rs_get_column(rs.get(), -1, &data, &len), DB_ERR_INVALID);
    EXPECT_EQ(rs_get_column(rs.get(), 0, nullptr, &len), DB_ERR_INVALID);
    EXPECT_EQ(rs_get_column(rs.get(), 0, &data, nullptr), DB_ERR_INVALID);
    EXPECT_EQ(rs_get_column(nullptr, 0, &data, &len), DB_ERR_INVALID);
}

TEST(ResultSet, EmptyResultParksCursorAtZero) {
    RsPtr rs(morva::result_set_create());
    EXPECT_EQ(rs->cursor, -1);
    EXPECT_EQ(rs_next(rs.get()), 0);
    EXPECT_EQ(rs->cursor, 0);
    EXPECT_EQ(rs_next(nullptr), 0);
    EXPECT_EQ(rs_num_columns(rs.get()), 0);
    EXPECT_EQ(rs_num_columns(nullptr), 0);
}

TEST(ResultSet, ArraysStartAt64SlotsAndDouble) {
    RsPtr rs = two_column_result();
    uint8_t byte = 1;
    for (int i = 0; i < 64; ++i) ASSERT_EQ(rs_add_row(rs.get(), &byte, 1), DB_OK);
    EXPECT_EQ(rs->capacity, 64);
    ASSERT_EQ(rs_add_row(rs.get(), &byte, 1), DB_OK);
    EXPECT_EQ(rs->capacity, 128);
    EXPECT_EQ(rs->stored_rows, 65);
    EXPECT_EQ(rs_add_row(nullptr, &byte, 1), DB_ERR_INVALID);
    EXPECT_EQ(rs_add_row(rs.get(), nullptr, 4), DB_ERR_INVALID);
    EXPECT_EQ(rs_add_row(rs.get(), nullptr, 0), DB_OK);
}

TEST(ResultSet, RowsAreCopiesAndRandomAccessDoesNotMoveTheCursor) {
    RsPtr rs = two_column_result();
    RowEncoder r;
    r.i32(41).str("bob");
    std::vector<uint8_t> bytes = r.bytes();
    ASSERT_EQ(rs_add_row(rs.get(), bytes.data(), bytes.size()), DB_OK);
    bytes[0] = 0;  // the result set holds its own copy
    rs->row_count = 1;
    uint64_t len = 7;
    const void *v = rs_get_row_column(rs.get(), 0, 0, &len);
    EXPECT_EQ(morva_test::read_as<int32_t>(v), 41);
    EXPECT_EQ(len, 4u);
    v = rs_get_row_column(rs.get(), 0, 1, &len);
    EXPECT_EQ(std::string(static_cast<const char *>(v), len), "bob");
    EXPECT_EQ(rs_get_row_column(rs.get(), 0, 1, nullptr), v);
    EXPECT_EQ(rs->cursor, -1);
    EXPECT_EQ(rs_get_row_column(rs.get(), 1, 0, &len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(rs_get_row_column(rs.get(), -1, 0, &len), nullptr);
    EXPECT_EQ(rs_get_row_column(rs.get(), 0, 2, &len), nullptr);
    EXPECT_EQ(rs_get_row_column(nullptr, 0, 0, &len), nullptr);
}

TEST(ResultSet, ColumnTypesOutOfRangeReadAsZero) {
    RsPtr rs = two_column_result();
    EXPECT_EQ(rs_get_column_type(rs.get(), 1), static_cast<uint32_t>(COL_STRING));
    EXPECT_EQ(rs_get_column_type(rs.get(), 2), 0u);
    EXPECT_EQ(rs_get_column_type(rs.get(), -1), 0u);
    EXPECT_EQ(rs_get_column_type(nullptr, 0), 0u);
    EXPECT_EQ(rs_num_columns(rs.get()), 2);
}

TEST(ResultSet, SearchResultServesIdsAndScores) {
    int64_t ids[] = {10, 20};
    double scores[] = {0.0, 0.0};
    RsPtr rs(morva::result_set_create_search(ids, scores, 2));
    ASSERT_NE(rs, nullptr);
    EXPECT_EQ(rs->search_mode, 1);
    EXPECT_STREQ(rs->column_names[0], "doc_id");
    EXPECT_STREQ(rs->column_names[1], "score");
    EXPECT_EQ(rs_get_column_type(rs.get(), 0), static_cast<uint32_t>(COL_INT64));
    EXPECT_EQ(rs_get_column_type(rs.get(), 1), static_cast<uint32_t>(COL_DOUBLE));
    const void *data;
    uint64_t len;
    ASSERT_EQ(rs_next(rs.get()), 1);
    ASSERT_EQ(rs_next(rs.get()), 1);
    ASSERT_EQ(rs_get_column(rs.get(), 0, &data, &len), DB_OK);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(morva_test::read_as<int64_t>(data), 20);
    ASSERT_EQ(rs_get_column(rs.get(), 1, &data, &len), DB_OK);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(morva_test::read_as<double>(data), 0.0);
    for (int row = 0; row < 2; ++row) EXPECT_EQ(rs_get_row_column(rs.get(), row, 0, &len), nullptr);
}

TEST(ResultSet, CloseReleasesAHostAllocatedRecord) {
    auto *rs = static_cast<result_set *>(std::calloc(1, sizeof(result_set)));
    uint8_t b = 0;
    ASSERT_EQ(rs_add_row(rs, &b, 1), DB_OK);
    rs_close(rs);  // leak and double-free checks run under the sanitizers
    rs_close(nullptr);
}

}  // namespace
