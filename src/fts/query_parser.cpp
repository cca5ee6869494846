// Full-text query language: turns a query string into a flat list of items
// (terms, phrases, fuzzy terms, AND / OR / NOT, ranges) in query order.
//
// The query is untrusted: every scan stops at the terminating NUL, and every
// copy into a fixed field is cut to the field's size.
#include <cstdlib>
#include <cstring>

#include "morvadb.h"

namespace {

constexpr size_t kFieldMax = sizeof(query_term::field) - 1;
constexpr size_t kTextMax = sizeof(query_term::text) - 1;
constexpr size_t kUpperMax = sizeof(query_term::upper) - 1;

bool is_blank(char c) { return c == ' ' || (c >= 9 && c <= 13); }

const char *skip_blanks(const char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

// Copies [begin, end) into a field of capacity max + 1, cut to max bytes.
void copy_cut(char *field, size_t max, const char *begin, const char *end) {
    size_t len = static_cast<size_t>(end - begin);
    if (len > max) len = max;
    std::memcpy(field, begin, len);
    field[len] = '\0';
}

const char *trim_trailing_blanks(const char *begin, const char *end) {
    while (end > begin && is_blank(end[-1])) --end;
    return end;
}

bool equals_ignoring_case(const char *word, size_t len, const char *upper_word) {
    if (std::strlen(upper_word) != len) return false;
    for (size_t i = 0; i < len; ++i) {
        char c = word[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != upper_word[i]) return false;
    }
    return true;
}

// A phrase: everything after the opening quote up to the closing quote, at
// most kTextMax bytes. Returns where parsing continues.
const char *parse_phrase(const char *p, query_term *item) {
    item->kind = QT_PHRASE;
    const char *begin = p;
    size_t len = 0;
    while (p[len] != '\0' && p[len] != '"' && len < kTextMax) ++len;
    copy_cut(item->text, kTextMax, begin, begin + len);
    p += len;
    // An overlong phrase is cut; its remaining bytes are read as ordinary text.
    if (*p == '"') ++p;
    return p;
}

// The range keyword: "TO" standing alone, between blanks or before the
// closing bracket, so that bounds may contain the letters t and o.
bool is_range_keyword(const char *p, const char *bound_start) {
    if (p[0] != 'T' || p[1] != 'O') return false;
    if (p != bound_start && !is_blank(p[-1])) return false;
    return p[2] == '\0' || p[2] == ']' || is_blank(p[2]);
}

// A range: "[lower TO upper]"; a range without the keyword has only a lower
// bound. Each bound is cut to its field; the closing bracket is consumed.
const char *parse_range(const char *p, query_term *item) {
    item->kind = QT_RANGE;
    p = skip_blanks(p);
    const char *lower = p;
    while (*p != '\0' && *p != ']' && !is_range_keyword(p, lower)) ++p;
    copy_cut(item->text, kTextMax, lower, trim_trailing_blanks(lower, p));
    if (*p == 'T') {
        p = skip_blanks(p + 2);
        const char *upper = p;
        while (*p != '\0' && *p != ']') ++p;
        copy_cut(item->upper, kUpperMax, upper, trim_trailing_blanks(upper, p));
    }
    if (*p == ']') ++p;
    return p;
}

const char *find_in(const char *begin, const char *end, char c) {
    const void *hit = std::memchr(begin, c, static_cast<size_t>(end - begin));
    return static_cast<const char *>(hit);
}

// Decimal digits after a tilde, saturating instead of overflowing.
int32_t parse_distance(const char *p, const char *end) {
    int64_t value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) value = INT32_MAX;
        ++p;
    }
    return static_cast<int32_t>(value);
}

// One word item [begin, end): an operator (unless first), or a term with an
// optional field, fuzzy marker and boost.
void parse_word(const char *begin, const char *end, bool first, query_term *item) {
    size_t len = static_cast<size_t>(end - begin);
    if (!first) {
        if (equals_ignoring_case(begin, len, "AND")) { item->kind = QT_AND; return; }
        if (equals_ignoring_case(begin, len, "NOT")) { item->kind = QT_NOT; return; }
        if (equals_ignoring_case(begin, len, "OR")) { item->kind = QT_OR; return; }
    }
    item->kind = QT_TERM;
    const char *term = begin;
    if (const char *colon = find_in(begin, end, ':')) {
        copy_cut(item->field, kFieldMax, begin, colon);
        term = colon + 1;
    }
    const char *term_end = end;
    if (const char *tilde = find_in(term, end, '~')) {
        item->kind = QT_FUZZY;
        item->distance = parse_distance(tilde + 1, end);
        term_end = tilde;
    }
    // The boost is read like atof from the caret on; the query's terminating
    // NUL bounds the read even when the number runs past the word.
    if (const char *caret = find_in(term, term_end, '^')) {
        item->boost = std::atof(caret + 1);
        term_end = caret;
    }
    copy_cut(item->text, kTextMax, term, term_end);
}

}  // namespace

extern "C" {

MORVADB_API int32_t fts_query_parse(const char *query, query_term *terms, int32_t max_terms) {
    if (query == nullptr || terms == nullptr || max_terms <= 0) return 0;
    const char *p = query;
    int32_t count = 0;
    while (count < max_terms) {
        p = skip_blanks(p);
        if (*p == '\0') break;
        query_term *item = &terms[count];
        std::memset(item, 0, sizeof *item);
        item->boost = 1.0;
        if (*p == '"') {
            p = parse_phrase(p + 1, item);
        } else if (*p == '[') {
            p = parse_range(p + 1, item);
        } else {
            const char *end = p;
            while (*end != '\0' && *end != '"' && !is_blank(*end)) ++end;
            parse_word(p, end, count == 0, item);
            p = end;
        }
        ++count;
    }
    return count;
}

}  // extern "C"
