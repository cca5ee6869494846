// Full-text query language: every item kind, operator placement, field,
// fuzzy and boost markers, cut fields, and untrusted input.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

std::vector<query_term> parse(const std::string &query, int32_t max = 64) {
    std::vector<query_term> terms(static_cast<size_t>(max));
    int32_t n = fts_query_parse(query.c_str(), terms.data(), max);
    terms.resize(static_cast<size_t>(n));
    return terms;
}

TEST(QueryParse, OperatorsAreItemsExceptInFirstPlace) {
    auto t = parse("apple OR banana");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, QT_TERM);
    EXPECT_STREQ(t[0].text, "apple");
    EXPECT_EQ(t[1].kind, QT_OR);
    EXPECT_STREQ(t[1].text, "");
    EXPECT_EQ(t[2].kind, QT_TERM);

    t = parse("OR apple");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, QT_TERM);
    EXPECT_STREQ(t[0].text, "OR");

    t = parse("x and And AND ANDY not Or nOT");
    ASSERT_EQ(t.size(), 8u);
    const int32_t kinds[] = {QT_TERM, QT_AND, QT_AND, QT_AND, QT_TERM, QT_NOT, QT_OR, QT_NOT};
    for (size_t i = 0; i < t.size(); ++i) EXPECT_EQ(t[i].kind, kinds[i]) << i;
    EXPECT_STREQ(t[4].text, "ANDY");
}

TEST(QueryParse, FieldsFuzzyAndBoost) {
    auto t = parse("title:hello helo~1 helo~ cake^2.5 word~2^3 word^3~2 ~x^4 f:g:h end: :bare");
    ASSERT_EQ(t.size(), 10u);
    EXPECT_STREQ(t[0].field, "title");
    EXPECT_STREQ(t[0].text, "hello");
    EXPECT_EQ(t[0].boost, 1.0);
    EXPECT_EQ(t[1].kind, QT_FUZZY);
    EXPECT_STREQ(t[1].text, "helo");
    EXPECT_EQ(t[1].distance, 1);
    EXPECT_EQ(t[2].kind, QT_FUZZY);
    EXPECT_EQ(t[2].distance, 0);
    EXPECT_EQ(t[3].kind, QT_TERM);
    EXPECT_STREQ(t[3].text, "cake");
    EXPECT_EQ(t[3].boost, 2.5);
    EXPECT_STREQ(t[4].text, "word");  // caret after the tilde is not seen
    EXPECT_EQ(t[4].distance, 2);
    EXPECT_EQ(t[4].boost, 1.0);
    EXPECT_STREQ(t[5].text, "word");
    EXPECT_EQ(t[5].distance, 2);
    EXPECT_EQ(t[5].boost, 3.0);
    EXPECT_STREQ(t[6].text, "");  // a leading tilde: empty term, no boost
    EXPECT_EQ(t[6].kind, QT_FUZZY);
    EXPECT_EQ(t[6].boost, 1.0);
    EXPECT_STREQ(t[7].field, "f");
    EXPECT_STREQ(t[7].text, "g:h");
    EXPECT_STREQ(t[8].field, "end");
    EXPECT_STREQ(t[8].text, "");
    EXPECT_STREQ(t[9].field, "");
    EXPECT_STREQ(t[9].text, "bare");

    // The boost is read on past the end of the word, as atof does.
    t = parse("w^2\"x\"");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].boost, 2.0);
    EXPECT_EQ(t[1].kind, QT_PHRASE);
    EXPECT_EQ(parse("w^junk")[0].boost, 0.0);
    EXPECT_EQ(parse("w~99999999999999")[0].distance, INT32_MAX);
}

TEST(QueryParse, PhrasesKeepBlanksAndAreCut) {
    auto t = parse("\"hello world\" after");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, QT_PHRASE);
    EXPECT_STREQ(t[0].text, "hello world");
    EXPECT_STREQ(t[1].text, "after");

    t = parse("\"unterminated phrase");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_STREQ(t[0].text, "unterminated phrase");

    std::string exact = "\"" + std::string(255, 'p') + "\" x";
    t = parse(exact);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(std::strlen(t[0].text), 255u);
    EXPECT_STREQ(t[1].text, "x");

    std::string longer = "\"" + std::string(255, 'p') + "qrs tuv\"";
    t = parse(longer);
    ASSERT_EQ(t.size(), 4u);  // the rest is read as ordinary text
    EXPECT_STREQ(t[1].text, "qrs");
    EXPECT_STREQ(t[2].text, "tuv");
    EXPECT_EQ(t[3].kind, QT_PHRASE);  // the former closing quote opens an empty phrase
    EXPECT_STREQ(t[3].text, "");
}

TEST(QueryParse, Ranges) {
    auto t = parse("[ 10 TO 20 ] next");
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, QT_RANGE);
    EXPECT_STREQ(t[0].text, "10");
    EXPECT_STREQ(t[0].upper, "20");
    EXPECT_STREQ(t[1].text, "next");

    t = parse("[tomato TO toast]");
    EXPECT_STREQ(t[0].text, "tomato");
    EXPECT_STREQ(t[0].upper, "toast");
    t = parse("[ATOM TO TOP");
    EXPECT_STREQ(t[0].text, "ATOM");
    EXPECT_STREQ(t[0].upper, "TOP");
    t = parse("[only]");
    EXPECT_STREQ(t[0].text, "only");
    EXPECT_STREQ(t[0].upper, "");
    t = parse("[TO]");
    EXPECT_STREQ(t[0].text, "");
    t = parse("a[b]");
    EXPECT_EQ(t[0].kind, QT_TERM);  // brackets inside a word are ordinary bytes
    EXPECT_STREQ(t[0].text, "a[b]");
}

TEST(QueryParse, LimitsAndEmptyInput) {
    std::string seventy;
    for (int i = 0; i < 70; ++i) seventy += "w" + std::to_string(i) + " ";
    EXPECT_EQ(parse(seventy).size(), 64u);
    EXPECT_EQ(parse(seventy, 3).size(), 3u);
    query_term one[1];
    EXPECT_EQ(fts_query_parse(nullptr, one, 1), 0);
    EXPECT_EQ(fts_query_parse("x", nullptr, 1), 0);
    EXPECT_EQ(fts_query_parse("x", one, 0), 0);
    EXPECT_EQ(fts_query_parse("", one, 1), 0);
    EXPECT_EQ(fts_query_parse(" \t\n\v\f\r", one, 1), 0);

    std::string long_word = std::string(100, 'f') + ":" + std::string(400, 't');
    auto t = parse(long_word);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(std::strlen(t[0].field), 63u);
    EXPECT_EQ(std::strlen(t[0].text), 255u);
}

// Random bytes of random lengths, including every byte value but NUL: the
// parser must stay inside the query and inside each field (checked by
// ASan in sanitizer builds, and by the terminators here).
TEST(QueryParse, RandomBytesNeverOverrun) {
    std::mt19937 rng(12345);
    const std::string alphabet = " \t\"[]:~^TOANDRtoandr0123456789.eE+-x";
    for (int round = 0; round < 3000; ++round) {
        size_t len = rng() % (round % 10 == 0 ? 2000 : 80);
        std::vector<char> query(len + 1);
        for (size_t i = 0; i < len; ++i) {
            query[i] = rng() % 2 ? alphabet[rng() % alphabet.size()] : static_cast<char>(1 + rng() % 255);
        }
        query[len] = '\0';
        // Exactly sized heap copy, so any read past the NUL is caught by ASan.
        char *heap = static_cast<char *>(std::malloc(len + 1));
        std::memcpy(heap, query.data(), len + 1);
        int32_t max = static_cast<int32_t>(1 + rng() % 70);
        std::vector<query_term> terms(static_cast<size_t>(max));
        int32_t n = fts_query_parse(heap, terms.data(), max);
        std::free(heap);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, max);
        for (int32_t i = 0; i < n; ++i) {
            const query_term &q = terms[static_cast<size_t>(i)];
            ASSERT_GE(q.kind, QT_TERM);
            ASSERT_LE(q.kind, QT_RANGE);
            ASSERT_LT(strnlen(q.field, sizeof q.field), sizeof q.field);
            ASSERT_LT(strnlen(q.text, sizeof q.text), sizeof q.text);
            ASSERT_LT(strnlen(q.upper, sizeof q.upper), sizeof q.upper);
        }
    }
}

}  // namespace
