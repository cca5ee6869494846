// The shell's select statement, parsed into a plain description that the
// session turns into a query builder:
//
//   select [* | COLUMN, ... from] TABLE [where EXPR] [order by COLUMN [asc|desc]]
//          [limit N] [join TABLE2 on LOCAL = FOREIGN]
//
// Clauses may come in any order. EXPR combines comparisons COLUMN OP VALUE
// (OP one of = != < > <= >=, also == and <>) with not, and, or (in that
// order of binding) and parentheses.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command_lexer.h"

namespace morva::cli {

struct Expr {
    enum Kind { kCompare, kAnd, kOr, kNot };
    Kind kind = kCompare;
    std::string column, op, value;  // kCompare
    std::unique_ptr<Expr> left;     // kAnd, kOr; the operand of kNot
    std::unique_ptr<Expr> right;    // kAnd, kOr

    // The expression in fully parenthesised form, for messages and tests.
    std::string to_string() const;
};

struct SelectStatement {
    std::vector<std::string> columns;  // columns to show, in order; empty for all
    std::string table;
    std::unique_ptr<Expr> where;
    std::optional<std::string> sort_column;
    bool ascending = true;
    std::optional<int32_t> limit;
    struct Join {
        std::string table, local_column, foreign_column;
    };
    std::optional<Join> join;
};

// Parses tokens[first..] (the words after "select"). Returns false with a
// message on a syntax error.
bool parse_query(const std::vector<Token> &tokens, size_t first, SelectStatement &out, std::string &error);

// Parses a where expression alone from tokens[pos..end); used by commands
// that take a filter. Advances pos past the expression.
std::unique_ptr<Expr> parse_expression(const std::vector<Token> &tokens, size_t &pos, size_t end, std::string &error);

}  // namespace morva::cli
