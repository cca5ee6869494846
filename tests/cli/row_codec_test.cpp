#include "row_codec.h"

#include <gtest/gtest.h>
#include <morvadb.h>

#include <cstring>

namespace morva::cli {
namespace {

std::string encode(int32_t type, const std::string &text) {
    std::string out, error;
    EXPECT_TRUE(encode_value(type, text, out, error)) << text << ": " << error;
    return out;
}

bool rejects(int32_t type, const std::string &text) {
    std::string out, error;
    const bool ok = encode_value(type, text, out, error);
    return !ok && !error.empty() && out.empty();
}

TEST(RowCodec, RowLayoutMatchesTheLibrarysEncoding) {
    // (int32 7, string "xyz", bool true) is 4 + 4 + 3 + 1 bytes.
    std::string row, error;
    ASSERT_TRUE(encode_row({COL_INT32, COL_STRING, COL_BOOL}, {"7", "xyz", "true"}, row, error)) << error;
    ASSERT_EQ(row.size(), 12u);
    int32_t seven = 0, len = 0;
    std::memcpy(&seven, row.data(), 4);
    std::memcpy(&len, row.data() + 4, 4);
    EXPECT_EQ(seven, 7);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(row.substr(8, 3), "xyz");
    EXPECT_EQ(row[11], '\1');

    row_schema schema{};
    const uint32_t types[] = {COL_INT32, COL_STRING, COL_BOOL};
    row_schema_init(&schema, types, 3);
    int32_t out_len = 0;
    const void *value = row_extract_column(&schema, 2, row.data(), static_cast<int32_t>(row.size()), &out_len);
    EXPECT_EQ(value, row.data() + 11);
    EXPECT_EQ(out_len, 1);
}

TEST(RowCodec, ValuesRoundTripThroughEncodeAndFormat) {
    const struct {
        int32_t type;
        const char *text, *shown;
    } cases[] = {
        {COL_INT32, "-2147483648", "-2147483648"}, {COL_INT32, "+42", "42"},
        {COL_INT64, "-9223372036854775808", "-9223372036854775808"},
        {COL_FLOAT, "1.65", "1.65"},               {COL_DOUBLE, "0.1", "0.1"},
        {COL_DOUBLE, "-inf", "-inf"},              {COL_DOUBLE, "nan", "nan"},
        {COL_BOOL, "YES", "true"},                 {COL_BOOL, "0", "false"},
        {COL_STRING, "", ""},                      {COL_STRING, "caf\xC3\xA9", "caf\xC3\xA9"},
        {COL_BLOB, "0x00FF10", "0x00ff10"},        {COL_BLOB, "x'0a'", "0x0a"},
        {COL_BLOB, "ab", "0x6162"},
    };
    for (const auto &c : cases) {
        const std::string stored = encode(c.type, c.text);
        const auto value = extract_value({c.type}, 0, stored);
        ASSERT_TRUE(value) << c.text;
        EXPECT_EQ(format_value(c.type, *value), c.shown) << c.text;
    }
}

TEST(RowCodec, RejectsValuesThatDoNotFitTheType) {
    EXPECT_TRUE(rejects(COL_INT32, "2147483648"));
    EXPECT_TRUE(rejects(COL_INT32, "1.5"));
    EXPECT_TRUE(rejects(COL_INT32, ""));
    EXPECT_TRUE(rejects(COL_INT32, "12abc"));
    EXPECT_TRUE(rejects(COL_INT64, "9223372036854775808"));
    EXPECT_TRUE(rejects(COL_FLOAT, "1e39"));
    EXPECT_TRUE(rejects(COL_DOUBLE, "1e400"));
    EXPECT_TRUE(rejects(COL_DOUBLE, "4.2x"));
    EXPECT_TRUE(rejects(COL_BOOL, "maybe"));
    EXPECT_TRUE(rejects(COL_BLOB, "0x123"));
    EXPECT_TRUE(rejects(COL_BLOB, "0xzz"));

    std::string row, error;
    EXPECT_FALSE(encode_row({COL_INT32, COL_STRING}, {"1"}, row, error));
    EXPECT_NE(error.find("expected 2 values"), std::string::npos);
}

TEST(RowCodec, ExtractionTreatsShortAndDamagedRowsAsAbsent) {
    const std::vector<int32_t> types{COL_INT32, COL_STRING, COL_INT64};
    std::string row, error;
    ASSERT_TRUE(encode_row(types, {"1", "hello", "9"}, row, error));
    EXPECT_EQ(*extract_value(types, 1, row), "hello");
    EXPECT_EQ(format_value(COL_INT64, *extract_value(types, 2, row)), "9");

    // A row cut inside the string: the string and everything after it are absent.
    EXPECT_TRUE(extract_value(types, 0, row.substr(0, 10)));
    EXPECT_FALSE(extract_value(types, 1, row.substr(0, 10)));
    EXPECT_FALSE(extract_value(types, 2, row.substr(0, 10)));
    // A negative length prefix and one running past the row.
    std::string damaged = row;
    const int32_t negative = -1, huge = 1 << 30;
    std::memcpy(&damaged[4], &negative, 4);
    EXPECT_FALSE(extract_value(types, 1, damaged));
    std::memcpy(&damaged[4], &huge, 4);
    EXPECT_FALSE(extract_value(types, 1, damaged));
    EXPECT_FALSE(extract_value(types, 2, damaged));
    EXPECT_FALSE(extract_value(types, 3, row));
    EXPECT_FALSE(extract_value(types, 0, ""));
}

TEST(RowCodec, KeysAreTheJoinLookupKeys) {
    // Integer columns key by their decimal text, everything else by raw bytes, plus a NUL.
    EXPECT_EQ(row_key(COL_INT32, *extract_value({COL_INT32}, 0, encode(COL_INT32, "42"))), std::string("42\0", 3));
    EXPECT_EQ(row_key(COL_INT64, *extract_value({COL_INT64}, 0, encode(COL_INT64, "-7"))), std::string("-7\0", 3));
    EXPECT_EQ(row_key(COL_STRING, "ada"), std::string("ada\0", 4));
    EXPECT_EQ(row_key(COL_STRING, ""), std::string("\0", 1));
}

TEST(RowCodec, TypeNames) {
    EXPECT_EQ(parse_type_name("INT"), COL_INT32);
    EXPECT_EQ(parse_type_name("text"), COL_STRING);
    EXPECT_EQ(parse_type_name("bool"), COL_BOOL);
    EXPECT_EQ(parse_type_name("decimal"), -1);
    for (int32_t t = COL_INT32; t <= COL_BOOL; t++) EXPECT_EQ(parse_type_name(type_name(t)), t);
}

}  // namespace
}  // namespace morva::cli
