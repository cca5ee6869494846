#include "select_statement.h"

#include <charconv>

namespace morva::cli {
namespace {

// Parentheses and not-chains nest the parser's recursion; a bound keeps a
// hostile line from exhausting the stack.
constexpr int kMaxDepth = 64;

bool is_clause_keyword(const Token &t) {
    return t.is_word("where") || t.is_word("order") || t.is_word("sort") || t.is_word("limit") ||
           t.is_word("join");
}

bool is_comparison(const Token &t) {
    return t.kind == Token::kOperator && (t.text == "=" || t.text == "==" || t.text == "!=" || t.text == "<>" ||
                                          t.text == "<" || t.text == ">" || t.text == "<=" || t.text == ">=");
}

// The library knows the six forms = != < > <= >=; the shell also accepts
// the spellings == and <>.
std::string canonical_op(const std::string &op) {
    if (op == "==") return "=";
    if (op == "<>") return "!=";
    return op;
}

std::string describe(const std::vector<Token> &tokens, size_t pos, size_t end) {
    if (pos >= end) return "end of line";
    return "'" + tokens[pos].text + "'";
}

class ExprParser {
public:
    ExprParser(const std::vector<Token> &tokens, size_t &pos, size_t end, std::string &error)
        : t_(tokens), pos_(pos), end_(end), error_(error) {}

    std::unique_ptr<Expr> parse_or(int depth) {
        auto left = parse_and(depth);
        while (left && at_word("or")) {
            pos_++;
            auto right = parse_and(depth);
            if (!right) return nullptr;
            left = combine(Expr::kOr, std::move(left), std::move(right));
        }
        return left;
    }

private:
    bool at_word(const char *w) const { return pos_ < end_ && t_[pos_].is_word(w); }
    bool at_op(const char *op) const { return pos_ < end_ && t_[pos_].is_op(op); }

    std::unique_ptr<Expr> fail(const std::string &what) {
        error_ = what + ", found " + describe(t_, pos_, end_);
        return nullptr;
    }

    static std::unique_ptr<Expr> combine(Expr::Kind kind, std::unique_ptr<Expr> l, std::unique_ptr<Expr> r) {
        auto node = std::make_unique<Expr>();
        node->kind = kind;
        node->left = std::move(l);
        node->right = std::move(r);
        return node;
    }

    std::unique_ptr<Expr> parse_and(int depth) {
        auto left = parse_unary(depth);
        while (left && at_word("and")) {
            pos_++;
            auto right = parse_unary(depth);
            if (!right) return nullptr;
            left = combine(Expr::kAnd, std::move(left), std::move(right));
        }
        return left;
    }

    std::unique_ptr<Expr> parse_unary(int depth) {
        if (depth >= kMaxDepth) {
            error_ = "expression nested too deeply";
            return nullptr;
        }
        if (at_word("not")) {
            pos_++;
            auto operand = parse_unary(depth + 1);
            if (!operand) return nullptr;
            auto node = std::make_unique<Expr>();
            node->kind = Expr::kNot;
            node->left = std::move(operand);
            return node;
        }
        if (at_op("(")) {
            pos_++;
            auto inner = parse_or(depth + 1);
            if (!inner) return nullptr;
            if (!at_op(")")) return fail("expected ')'");
            pos_++;
            return inner;
        }
        return parse_comparison();
    }

    std::unique_ptr<Expr> parse_comparison() {
        if (pos_ >= end_ || t_[pos_].kind == Token::kOperator || is_clause_keyword(t_[pos_])) {
            return fail("expected a column name");
        }
        auto node = std::make_unique<Expr>();
        node->column = t_[pos_++].text;
        if (pos_ >= end_ || !is_comparison(t_[pos_])) return fail("expected a comparison (= != < > <= >=)");
        node->op = canonical_op(t_[pos_++].text);
        if (pos_ >= end_ || t_[pos_].kind == Token::kOperator) return fail("expected a value");
        node->value = t_[pos_++].text;
        return node;
    }

    const std::vector<Token> &t_;
    size_t &pos_;
    size_t end_;
    std::string &error_;
};

bool parse_int(const std::string &text, int32_t &out) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string Expr::to_string() const {
    switch (kind) {
        case kCompare: return column + " " + op + " " + value;
        case kNot: return "not (" + left->to_string() + ")";
        case kAnd: return "(" + left->to_string() + " and " + right->to_string() + ")";
        case kOr: return "(" + left->to_string() + " or " + right->to_string() + ")";
    }
    return "";
}

std::unique_ptr<Expr> parse_expression(const std::vector<Token> &tokens, size_t &pos, size_t end,
                                       std::string &error) {
    return ExprParser(tokens, pos, end, error).parse_or(0);
}

bool parse_query(const std::vector<Token> &t, size_t first, SelectStatement &out, std::string &error) {
    const size_t end = t.size();
    size_t pos = first;
    // A column list ends at "from"; without "from" the first word is the table.
    size_t from = pos;
    while (from < end && !t[from].is_word("from")) from++;
    if (from < end) {
        for (size_t i = pos; i < from; i++) {
            if (t[i].is_op(",")) continue;
            if (t[i].kind == Token::kOperator || (i + 1 < from && !t[i + 1].is_op(","))) {
                error = "columns are listed as: select COLUMN, COLUMN from TABLE";
                return false;
            }
            if (t[i].text != "*") out.columns.push_back(t[i].text);
        }
        if (from == pos) {
            error = "expected columns or * before from";
            return false;
        }
        pos = from + 1;
    }
    if (pos >= end || t[pos].kind == Token::kOperator) {
        error = "expected a table name";
        return false;
    }
    out.table = t[pos++].text;
    while (pos < end) {
        const Token &k = t[pos];
        if (k.is_word("where")) {
            if (out.where) {
                error = "more than one where clause";
                return false;
            }
            pos++;
            out.where = parse_expression(t, pos, end, error);
            if (!out.where) return false;
        } else if (k.is_word("order") || k.is_word("sort")) {
            pos++;
            if (pos < end && t[pos].is_word("by")) pos++;
            if (pos >= end || t[pos].kind == Token::kOperator) {
                error = "expected a column to sort by";
                return false;
            }
            out.sort_column = t[pos++].text;
            out.ascending = true;
            if (pos < end && (t[pos].is_word("asc") || t[pos].is_word("desc"))) {
                out.ascending = t[pos].is_word("asc");
                pos++;
            }
        } else if (k.is_word("limit")) {
            pos++;
            int32_t n = 0;
            if (pos >= end || !parse_int(t[pos].text, n) || n < 0) {
                error = "limit needs a number of rows (0 or more)";
                return false;
            }
            out.limit = n;
            pos++;
        } else if (k.is_word("join")) {
            pos++;
            SelectStatement::Join join;
            if (pos + 5 > end || t[pos].kind == Token::kOperator || !t[pos + 1].is_word("on") ||
                t[pos + 2].kind == Token::kOperator || !(t[pos + 3].is_op("=") || t[pos + 3].is_op("==")) ||
                t[pos + 4].kind == Token::kOperator) {
                error = "join needs: join TABLE on LOCAL_COLUMN = FOREIGN_COLUMN";
                return false;
            }
            join.table = t[pos].text;
            // Columns may be qualified with their table: books.author_id = authors.id.
            const auto unqualified = [](const std::string &column, const std::string &table) {
                const std::string prefix = table + ".";
                return column.compare(0, prefix.size(), prefix) == 0 ? column.substr(prefix.size()) : column;
            };
            join.local_column = unqualified(t[pos + 2].text, out.table);
            join.foreign_column = unqualified(t[pos + 4].text, join.table);
            out.join = std::move(join);
            pos += 5;
        } else {
            error = "unexpected " + describe(t, pos, end) + " (expected where, order by, limit or join)";
            return false;
        }
    }
    return true;
}

}  // namespace morva::cli
