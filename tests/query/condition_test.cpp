#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "morvadb.h"
#include "query/condition.h"
#include "query/row_encoder.h"

using morva_test::RowEncoder;

namespace {

int32_t match_str(const std::string &value, const char *op, const char *literal) {
    return filter_match(value.data(), static_cast<int32_t>(value.size()), COL_STRING, op, literal);
}

template <typename T>
int32_t match_num(T value, uint32_t type, const char *op, const char *literal) {
    return filter_match(&value, sizeof value, type, op, literal);
}

TEST(FilterMatch, StringsCompareBytewiseThenByLength) {
    EXPECT_EQ(match_str("abc", "=", "abc"), 1);
    EXPECT_EQ(match_str("abc", ">", "ab"), 1);
    EXPECT_EQ(match_str("abc", "<", "abd"), 1);
    EXPECT_EQ(match_str("abc", "<=", "abd"), 1);
    EXPECT_EQ(match_str("abc", "!=", "abd"), 1);
    EXPECT_EQ(match_str("abc", "=", "ABC"), 0);
    EXPECT_EQ(match_str("a", ">", ""), 1);
    EXPECT_EQ(match_str("", "=", ""), 1);
    EXPECT_EQ(match_str("", "<", "a"), 1);
    // Bytes compare unsigned: 0xE9 sorts after 'z'.
    EXPECT_EQ(match_str("\xE9", ">", "z"), 1);
    // The value is not NUL-terminated: only value_len bytes count.
    EXPECT_EQ(filter_match("abcdef", 3, COL_STRING, "=", "abc"), 1);
}

TEST(FilterMatch, BooleansAcceptOnlyTrueAndOneAsTrue) {
    uint8_t t = 1, f = 0, other = 7;
    EXPECT_EQ(filter_match(&t, 1, COL_BOOL, "=", "true"), 1);
    EXPECT_EQ(filter_match(&t, 1, COL_BOOL, "=", "1"), 1);
    EXPECT_EQ(filter_match(&t, 1, COL_BOOL, "=", "TRUE"), 0);
    EXPECT_EQ(filter_match(&other, 1, COL_BOOL, "=", "true"), 1);
    for (const char *lit : {"false", "0", "no", "", "True"}) EXPECT_EQ(filter_match(&f, 1, COL_BOOL, "=", lit), 1) << lit;
    EXPECT_EQ(filter_match(&t, 1, COL_BOOL, ">", "false"), 1);
}

TEST(FilterMatch, IntegersReadTheLiteralsNumericPrefix) {
    EXPECT_EQ(match_num<int32_t>(3, COL_INT32, "=", "3.9"), 1);
    EXPECT_EQ(match_num<int32_t>(3, COL_INT32, "=", "  3"), 1);
    EXPECT_EQ(match_num<int32_t>(0, COL_INT32, "=", "abc"), 1);
    EXPECT_EQ(match_num<int32_t>(-5, COL_INT32, "<", "-4"), 1);
    EXPECT_EQ(match_num<int32_t>(INT32_MIN, COL_INT32, "<", "2147483648"), 1);
    EXPECT_EQ(match_num<int64_t>(INT64_MAX, COL_INT64, "=", "9223372036854775807"), 1);
    EXPECT_EQ(match_num<int64_t>(INT64_MAX, COL_INT64, ">", "9223372036854775806"), 1);
    EXPECT_EQ(match_num<int64_t>(INT64_MIN, COL_INT64, "<", "0"), 1);
    // A value shorter than its type never matches instead of reading past it.
    int32_t small = 0;
    EXPECT_EQ(filter_match(&small, 4, COL_INT64, "=", "0"), 0);
    EXPECT_EQ(filter_match(&small, 3, COL_INT32, "=", "0"), 0);
}

TEST(FilterMatch, FloatingPointAndNaN) {
    EXPECT_EQ(match_num<float>(1.5f, COL_FLOAT, "=", "1.5"), 1);
    EXPECT_EQ(match_num<float>(0.1f, COL_FLOAT, "!=", "0.1"), 1);  // widened float differs from the double 0.1
    EXPECT_EQ(match_num<double>(2.25, COL_DOUBLE, ">=", "2.25"), 1);
    EXPECT_EQ(match_num<double>(-1e300, COL_DOUBLE, "<", "1e300"), 1);
    double nan = std::numeric_limits<double>::quiet_NaN();
    for (const char *op : {"=", ">=", "<="}) EXPECT_EQ(match_num(nan, COL_DOUBLE, op, "5"), 1) << op;
    for (const char *op : {"!=", "<", ">"}) EXPECT_EQ(match_num(nan, COL_DOUBLE, op, "5"), 0) << op;
    EXPECT_EQ(match_num<double>(5.0, COL_DOUBLE, "=", "nan"), 1);
}

TEST(FilterMatch, UnknownOperatorsTypesAndNullsNeverMatch) {
    int32_t v = 1;
    for (const char *op : {"==", "<>", "", "=>", " =", "= "}) EXPECT_EQ(match_num(v, COL_INT32, op, "1"), 0) << op;
    EXPECT_EQ(filter_match("ab", 2, COL_BLOB, "=", "ab"), 0);
    EXPECT_EQ(filter_match("ab", 2, 42, "=", "ab"), 0);
    EXPECT_EQ(filter_match(nullptr, 4, COL_INT32, "=", "0"), 0);
    EXPECT_EQ(filter_match(&v, 4, COL_INT32, nullptr, "1"), 0);
    EXPECT_EQ(filter_match(&v, 4, COL_INT32, "=", nullptr), 0);
    EXPECT_EQ(filter_match("ab", -1, COL_STRING, "!=", "x"), 0);
}

TEST(ConditionBuild, CopiesAndCutsTexts) {
    std::string long_name(100, 'c'), long_op(20, '='), long_value(300, 'v');
    condition *c = qb_cond(nullptr, long_name.c_str(), long_op.c_str(), long_value.c_str());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->kind, COND_LEAF);
    EXPECT_EQ(std::string(c->column), std::string(63, 'c'));
    EXPECT_EQ(std::string(c->op), std::string(15, '='));
    EXPECT_EQ(std::string(c->value), std::string(255, 'v'));
    EXPECT_EQ(c->value_len, 255u);
    condition_destroy(c);
    EXPECT_EQ(qb_cond(nullptr, nullptr, "=", "1"), nullptr);
    EXPECT_EQ(qb_cond(nullptr, "a", nullptr, "1"), nullptr);
    EXPECT_EQ(qb_cond(nullptr, "a", "=", nullptr), nullptr);
}

TEST(ConditionBuild, FailedCombinersLeaveChildrenWithTheCaller) {
    condition *leaf = qb_cond(nullptr, "a", "=", "1");
    EXPECT_EQ(qb_cond_and(nullptr, leaf, nullptr), nullptr);
    EXPECT_EQ(qb_cond_or(nullptr, nullptr, leaf), nullptr);
    EXPECT_EQ(qb_cond_not(nullptr, nullptr), nullptr);
    EXPECT_EQ(leaf->kind, COND_LEAF);  // still alive and unchanged
    condition *both = qb_cond_and(nullptr, leaf, qb_cond(nullptr, "b", "=", "2"));
    ASSERT_NE(both, nullptr);
    condition *tree = qb_cond_or(nullptr, qb_cond_not(nullptr, both), qb_cond(nullptr, "c", "<", "3"));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->left->kind, COND_NOT);
    EXPECT_EQ(tree->left->right, nullptr);
    condition_destroy(tree);  // every node once: checked by the sanitizer builds
    condition_destroy(nullptr);
}

// A table (id INT32, name STRING, score DOUBLE, active BOOL) for tree evaluation.
class ConditionEval : public ::testing::Test {
protected:
    void SetUp() override { row_schema_init(&schema_, types_, 4); }

    int32_t eval(const condition *c, const RowEncoder &row) {
        morva::EvalContext ctx;
        ctx.schema = &schema_;
        ctx.column_names = names_;
        ctx.column_types = types_;
        ctx.column_count = 4;
        ctx.row = row.data();
        ctx.row_len = row.size();
        return morva::condition_eval(c, &ctx);
    }

    static RowEncoder row(int32_t id, const std::string &name, double score, bool active) {
        RowEncoder r;
        r.i32(id).str(name).f64(score).boolean(active);
        return r;
    }

    const char *names_[4] = {"id", "name", "score", "active"};
    uint32_t types_[4] = {COL_INT32, COL_STRING, COL_DOUBLE, COL_BOOL};
    row_schema schema_{};
};

TEST_F(ConditionEval, CombinesLeavesWithAndOrNot) {
    condition *c = qb_cond_or(nullptr, qb_cond_and(nullptr, qb_cond(nullptr, "id", ">", "30"),
                                                   qb_cond(nullptr, "name", "=", "bob")),
                              qb_cond_not(nullptr, qb_cond(nullptr, "active", "=", "true")));
    EXPECT_EQ(eval(c, row(31, "bob", 0, true)), 1);
    EXPECT_EQ(eval(c, row(31, "ann", 0, true)), 0);
    EXPECT_EQ(eval(c, row(20, "bob", 0, true)), 0);
    EXPECT_EQ(eval(c, row(20, "bob", 0, false)), 1);
    condition_destroy(c);
}

TEST_F(ConditionEval, UnknownColumnsAndAbsentValuesNeverMatch) {
    condition *missing = qb_cond(nullptr, "age", "=", "0");
    EXPECT_EQ(eval(missing, row(1, "x", 0, true)), 0);
    condition *negated = qb_cond_not(nullptr, missing);
    EXPECT_EQ(eval(negated, row(1, "x", 0, true)), 1);
    condition_destroy(negated);

    // Column names match case-sensitively.
    condition *upper = qb_cond(nullptr, "ID", "=", "1");
    EXPECT_EQ(eval(upper, row(1, "x", 0, true)), 0);
    condition_destroy(upper);

    RowEncoder short_row;
    short_row.i32(5);
    condition *on_name = qb_cond(nullptr, "name", "!=", "zzz");
    EXPECT_EQ(eval(on_name, short_row), 0);
    condition_destroy(on_name);
    EXPECT_EQ(eval(nullptr, short_row), 0);
    EXPECT_EQ(morva::condition_eval(nullptr, nullptr), 0);
}

TEST_F(ConditionEval, ShortCircuitsAndTreatsMissingChildrenAsFalse) {
    // Host-built inner nodes with a null child: the child evaluates to 0.
    condition *leaf = qb_cond(nullptr, "id", "=", "1");
    condition and_node{}, or_node{}, not_node{};
    and_node.kind = COND_AND;
    and_node.left = leaf;
    or_node.kind = COND_OR;
    or_node.right = leaf;
    not_node.kind = COND_NOT;
    RowEncoder r = row(1, "a", 0, true);
    EXPECT_EQ(eval(&and_node, r), 0);
    EXPECT_EQ(eval(&or_node, r), 1);
    EXPECT_EQ(eval(&not_node, r), 1);
    condition unknown{};
    unknown.kind = 9;
    EXPECT_EQ(eval(&unknown, r), 0);
    condition_destroy(leaf);
}

TEST_F(ConditionEval, UnterminatedHostTextsAreReadWithinTheirFields) {
    condition c{};
    c.kind = COND_LEAF;
    std::memset(c.column, 'n', sizeof c.column);
    std::memset(c.op, '=', sizeof c.op);
    std::memset(c.value, 'v', sizeof c.value);
    EXPECT_EQ(eval(&c, row(1, "v", 0, true)), 0);
}

TEST_F(ConditionEval, MillionDeepTreesEvaluateAndFreeWithoutRecursion) {
    constexpr int kDepth = 1000000;
    condition *tree = qb_cond(nullptr, "id", "=", "7");
    for (int i = 0; i < kDepth; ++i) tree = qb_cond_not(nullptr, tree);
    EXPECT_EQ(eval(tree, row(7, "", 0, false)), 1);  // an even number of NOTs
    EXPECT_EQ(eval(tree, row(8, "", 0, false)), 0);
    condition_destroy(tree);

    // Left-deep chain of ANDs as qb_filter builds them, and a right-deep OR chain.
    condition *chain = qb_cond(nullptr, "id", ">", "0");
    for (int i = 0; i < kDepth / 4; ++i) chain = qb_cond_and(nullptr, chain, qb_cond(nullptr, "active", "=", "1"));
    EXPECT_EQ(eval(chain, row(7, "", 0, true)), 1);
    EXPECT_EQ(eval(chain, row(7, "", 0, false)), 0);
    condition_destroy(chain);
    condition *right = qb_cond(nullptr, "id", "=", "7");
    for (int i = 0; i < kDepth / 4; ++i) right = qb_cond_or(nullptr, qb_cond(nullptr, "id", "=", "-1"), right);
    EXPECT_EQ(eval(right, row(7, "", 0, true)), 1);
    condition_destroy(right);
}

}  // namespace
