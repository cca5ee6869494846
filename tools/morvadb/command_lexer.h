// Splits a shell line into words, quoted strings and operators.
//
// Words run up to a blank, a quote or an operator character. Strings are
// enclosed in single or double quotes; a doubled quote or a backslash escape
// (\n \t \\ \' \") stands for one character. Operators are = == != <> < > <=
// >= ( ) and the comma.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morva::cli {

struct Token {
    enum Kind { kWord, kString, kOperator };
    Kind kind;
    std::string text;
    size_t offset;  // byte offset of the token's first character in the line

    bool is_word(std::string_view w) const;  // a word equal to w, ignoring letter case
    bool is_op(std::string_view op) const { return kind == kOperator && text == op; }
};

// Tokenizes line. An unterminated string is an error (message in error).
bool lex(std::string_view line, std::vector<Token> &out, std::string &error);

// Lower-cases ASCII letters.
std::string ascii_lower(std::string_view text);

}  // namespace morva::cli
