#include "command_lexer.h"

#include <cstring>

namespace morva::cli {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool is_operator_char(char c) { return std::strchr("=!<>(),", c) != nullptr && c != '\0'; }

}  // namespace

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool Token::is_word(std::string_view w) const { return kind == kWord && ascii_lower(text) == ascii_lower(w); }

bool lex(std::string_view line, std::vector<Token> &out, std::string &error) {
    out.clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (is_blank(c)) {
            i++;
            continue;
        }
        const size_t start = i;
        if (c == '\'' || c == '"') {
            std::string text;
            i++;
            bool closed = false;
            while (i < line.size()) {
                const char d = line[i];
                if (d == c) {
                    if (i + 1 < line.size() && line[i + 1] == c) {  // doubled quote
                        text.push_back(c);
                        i += 2;
                        continue;
                    }
                    i++;
                    closed = true;
                    break;
                }
                if (d == '\\' && i + 1 < line.size()) {
                    const char e = line[i + 1];
                    switch (e) {
                        case 'n': text.push_back('\n'); break;
                        case 't': text.push_back('\t'); break;
                        case 'r': text.push_back('\r'); break;
                        case '0': text.push_back('\0'); break;
                        case '\\':
                        case '\'':
                        case '"': text.push_back(e); break;
                        default:
                            text.push_back('\\');
                            text.push_back(e);
                            break;
                    }
                    i += 2;
                    continue;
                }
                text.push_back(d);
                i++;
            }
            if (!closed) {
                error = "unterminated string starting at column " + std::to_string(start + 1);
                return false;
            }
            out.push_back({Token::kString, std::move(text), start});
            continue;
        }
        if (is_operator_char(c)) {
            const std::string_view two = line.substr(i, 2);
            if (two == "==" || two == "!=" || two == "<>" || two == "<=" || two == ">=") {
                out.push_back({Token::kOperator, std::string(two), start});
                i += 2;
            } else if (c == '!') {
                error = "unexpected '!' at column " + std::to_string(start + 1);
                return false;
            } else {
                out.push_back({Token::kOperator, std::string(1, c), start});
                i++;
            }
            continue;
        }
        while (i < line.size() && !is_blank(line[i]) && !is_operator_char(line[i]) && line[i] != '\'' &&
               line[i] != '"') {
            i++;
        }
        out.push_back({Token::kWord, std::string(line.substr(start, i - start)), start});
    }
    return true;
}

}  // namespace morva::cli
