#include "select_statement.h"

#include <gtest/gtest.h>

namespace morva::cli {
namespace {

std::vector<Token> tokens(const std::string &line) {
    std::vector<Token> t;
    std::string error;
    EXPECT_TRUE(lex(line, t, error)) << error;
    return t;
}

SelectStatement parse(const std::string &line) {
    SelectStatement statement;
    std::string error;
    EXPECT_TRUE(parse_query(tokens(line), 0, statement, error)) << line << ": " << error;
    return statement;
}

std::string parse_error(const std::string &line) {
    SelectStatement statement;
    std::string error;
    std::vector<Token> t;
    if (!lex(line, t, error)) return error;
    EXPECT_FALSE(parse_query(t, 0, statement, error)) << line;
    return error;
}

TEST(CommandLexer, SplitsWordsStringsAndOperators) {
    const std::string line = "put t 'it''s' \"a \\\"b\\\"\\n\" x>=-3 (a!=b),c<>d";
    const auto t = tokens(line);
    std::vector<std::string> texts;
    for (const auto &tok : t) texts.push_back(tok.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"put", "t", "it's", "a \"b\"\n", "x", ">=", "-3", "(", "a", "!=", "b",
                                               ")", ",", "c", "<>", "d"}));
    EXPECT_EQ(t[2].kind, Token::kString);
    EXPECT_EQ(t[5].kind, Token::kOperator);
    EXPECT_EQ(t[4].offset, line.find("x>="));

    std::vector<Token> out;
    std::string error;
    EXPECT_FALSE(lex("put 'open", out, error));
    EXPECT_FALSE(lex("a ! b", out, error));
    EXPECT_TRUE(lex("", out, error));
    EXPECT_TRUE(out.empty());
}

TEST(SelectStatement, ClausesInAnyOrder) {
    const SelectStatement statement = parse("books limit 3 join authors on books.author_id = authors.id order by year desc");
    EXPECT_EQ(statement.table, "books");
    EXPECT_EQ(statement.limit, 3);
    ASSERT_TRUE(statement.join);
    EXPECT_EQ(statement.join->table, "authors");
    EXPECT_EQ(statement.join->local_column, "author_id");
    EXPECT_EQ(statement.join->foreign_column, "id");
    EXPECT_EQ(statement.sort_column, "year");
    EXPECT_FALSE(statement.ascending);
    EXPECT_FALSE(statement.where);
}

TEST(SelectStatement, ColumnListBeforeFrom) {
    EXPECT_EQ(parse("title, name from books").columns, (std::vector<std::string>{"title", "name"}));
    EXPECT_TRUE(parse("* from books").columns.empty());
    EXPECT_EQ(parse("* from books").table, "books");
    EXPECT_NE(parse_error("title name from books").find("select COLUMN"), std::string::npos);
    EXPECT_NE(parse_error("from books").find("before from"), std::string::npos);
}

TEST(SelectStatement, BooleanPrecedenceAndParentheses) {
    EXPECT_EQ(parse("t where a = 1 or b = 2 and not c > 3").where->to_string(),
              "(a = 1 or (b = 2 and not (c > 3)))");
    EXPECT_EQ(parse("t where (a = 1 or b = 2) and c <= 'x y'").where->to_string(), "((a = 1 or b = 2) and c <= x y)");
    // The shell's spellings map onto the library's operators.
    EXPECT_EQ(parse("t where a == 1 and b <> 2").where->to_string(), "(a = 1 and b != 2)");
    // A quoted keyword is a value, not a clause.
    EXPECT_EQ(parse("t where a = 'limit' limit 2").where->to_string(), "a = limit");
}

TEST(SelectStatement, SyntaxErrorsAreReported) {
    EXPECT_NE(parse_error("").find("table"), std::string::npos);
    EXPECT_NE(parse_error("t where").find("column"), std::string::npos);
    EXPECT_NE(parse_error("t where a =").find("value"), std::string::npos);
    EXPECT_NE(parse_error("t where a 1").find("comparison"), std::string::npos);
    EXPECT_NE(parse_error("t where (a = 1").find("')'"), std::string::npos);
    EXPECT_NE(parse_error("t where a = 1 where b = 2").find("more than one"), std::string::npos);
    EXPECT_NE(parse_error("t limit -1").find("limit"), std::string::npos);
    EXPECT_NE(parse_error("t limit 99999999999").find("limit"), std::string::npos);
    EXPECT_NE(parse_error("t join u on a").find("join"), std::string::npos);
    EXPECT_NE(parse_error("t order").find("sort"), std::string::npos);
    EXPECT_NE(parse_error("t extra").find("'extra'"), std::string::npos);
}

TEST(SelectStatement, DeepNestingIsRefusedNotOverflowed) {
    const std::string opens(100000, '(');
    EXPECT_NE(parse_error("t where " + opens + "a = 1").find("too deeply"), std::string::npos);
    std::string nots;
    for (int i = 0; i < 100000; i++) nots += "not ";
    EXPECT_NE(parse_error("t where " + nots + "a = 1").find("too deeply"), std::string::npos);
    // Long flat chains are fine: and/or associate in a loop.
    std::string chain = "t where a = 0";
    for (int i = 1; i < 1000; i++) chain += " or a = " + std::to_string(i);
    EXPECT_TRUE(parse(chain).where);
}

}  // namespace
}  // namespace morva::cli
