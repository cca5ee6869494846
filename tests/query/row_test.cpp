#include <gtest/gtest.h>

#include <climits>

#include "morvadb.h"
#include "query/row_encoder.h"

using morva_test::RowEncoder;

namespace {

row_schema schema_of(std::initializer_list<uint32_t> types) {
    std::vector<uint32_t> t(types);
    row_schema s;
    std::memset(&s, 0x7f, sizeof s);
    row_schema_init(&s, t.data(), static_cast<int32_t>(t.size()));
    return s;
}

TEST(RowSchema, OffsetsAssumeEmptyVariableValues) {
    row_schema s = schema_of({COL_INT32, COL_STRING, COL_INT64, COL_BOOL, COL_DOUBLE, 9, COL_FLOAT});
    EXPECT_EQ(s.count, 7);
    int32_t offsets[] = {0, -1, 8, 16, 17, -1, 29};
    int32_t sizes[] = {4, 0, 8, 1, 8, 0, 4};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(s.offsets[i], offsets[i]) << i;
        EXPECT_EQ(s.sizes[i], sizes[i]) << i;
    }
    row_schema_init(nullptr, nullptr, 3);  // no crash
}

TEST(RowSchema, KeepsCountButDescribesOnly64Columns) {
    std::vector<uint32_t> types(70, COL_INT64);
    row_schema s;
    row_schema_init(&s, types.data(), 70);
    EXPECT_EQ(s.count, 70);
    EXPECT_EQ(s.offsets[63], 63 * 8);
    std::vector<uint8_t> row(70 * 8, 0);
    int32_t len = -1;
    EXPECT_NE(row_extract_column(&s, 63, row.data(), 560, &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 64, row.data(), 560, &len), nullptr);
}

TEST(RowExtract, FindsEachColumnOfAFullRow) {
    row_schema s = schema_of({COL_INT32, COL_STRING, COL_BOOL});
    RowEncoder r;
    r.i32(7).str("xyz").boolean(true);
    ASSERT_EQ(r.size(), 12);
    int32_t len = 0;
    const void *v = row_extract_column(&s, 2, r.data(), r.size(), &len);
    EXPECT_EQ(v, r.data() + 11);
    EXPECT_EQ(len, 1);
    v = row_extract_column(&s, 1, r.data(), r.size(), &len);
    EXPECT_EQ(v, r.data() + 8);
    EXPECT_EQ(len, 3);
    v = row_extract_column(&s, 0, r.data(), r.size(), &len);
    EXPECT_EQ(morva_test::read_as<int32_t>(v), 7);
}

TEST(RowExtract, ShortAndMalformedRowsGiveAbsentValues) {
    row_schema s = schema_of({COL_INT32, COL_STRING, COL_BOOL});
    RowEncoder r;
    r.i32(7);
    int32_t len = 0;
    EXPECT_NE(row_extract_column(&s, 0, r.data(), r.size(), &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 1, r.data(), r.size(), &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 2, r.data(), r.size(), &len), nullptr);

    // A prefix that runs past the end hides the value and everything after.
    RowEncoder overlong;
    overlong.i32(1).i32(100).raw("ab", 2).boolean(true);
    EXPECT_EQ(row_extract_column(&s, 1, overlong.data(), overlong.size(), &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 2, overlong.data(), overlong.size(), &len), nullptr);

    RowEncoder negative;
    negative.i32(1).i32(-4).boolean(true).boolean(true).boolean(true).boolean(true);
    EXPECT_EQ(row_extract_column(&s, 1, negative.data(), negative.size(), &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 2, negative.data(), negative.size(), &len), nullptr);

    // A prefix near INT32_MAX must not wrap the position arithmetic.
    RowEncoder huge;
    huge.i32(1).i32(INT32_MAX).boolean(true);
    EXPECT_EQ(row_extract_column(&s, 2, huge.data(), huge.size(), &len), nullptr);

    // A fixed value cut by the end of the row is absent.
    EXPECT_EQ(row_extract_column(&s, 0, r.data(), 3, &len), nullptr);
}

TEST(RowExtract, EmptyStringIsPresentWithLengthZero) {
    row_schema s = schema_of({COL_STRING, COL_INT32});
    RowEncoder r;
    r.str("").i32(5);
    int32_t len = -1;
    const void *v = row_extract_column(&s, 0, r.data(), r.size(), &len);
    EXPECT_EQ(v, r.data() + 4);
    EXPECT_EQ(len, 0);
    v = row_extract_column(&s, 1, r.data(), r.size(), &len);
    EXPECT_EQ(morva_test::read_as<int32_t>(v), 5);
}

TEST(RowExtract, RefusesInvalidArguments) {
    row_schema s = schema_of({COL_INT32});
    RowEncoder r;
    r.i32(1);
    int32_t len;
    EXPECT_EQ(row_extract_column(nullptr, 0, r.data(), 4, &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 0, nullptr, 4, &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 0, r.data(), 4, nullptr), nullptr);
    EXPECT_EQ(row_extract_column(&s, -1, r.data(), 4, &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 1, r.data(), 4, &len), nullptr);
    EXPECT_EQ(row_extract_column(&s, 0, r.data(), -1, &len), nullptr);
}

}  // namespace
