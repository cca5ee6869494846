// Tokenizer: word splitting, lower-casing, stop words, the suffix stemmer,
// long words, non-ASCII input and output limits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fts/tokenizer.h"
#include "morvadb.h"

namespace {

struct TokenizerDeleter {
    void operator()(tokenizer *t) const { tokenizer_destroy(t); }
};
using TokenizerPtr = std::unique_ptr<tokenizer, TokenizerDeleter>;

TokenizerPtr make(bool stem = false, std::vector<const char *> stops = {}) {
    TokenizerPtr tok(tokenizer_create());
    tokenizer_set_stemmer(tok.get(), stem ? 1 : 0);
    if (!stops.empty()) tokenizer_set_stopwords(tok.get(), stops.data(), static_cast<int32_t>(stops.size()));
    return tok;
}

// Texts and positions of the tokens of text, checking that each token's
// length matches its text.
std::vector<std::pair<std::string, uint64_t>> run(tokenizer *tok, const std::string &text, int32_t max = 256) {
    std::vector<token> out(static_cast<size_t>(max));
    int32_t n = tokenizer_tokenize(tok, text.data(), text.size(), out.data(), max);
    std::vector<std::pair<std::string, uint64_t>> result;
    for (int32_t i = 0; i < n; ++i) {
        EXPECT_EQ(std::strlen(out[static_cast<size_t>(i)].text), out[static_cast<size_t>(i)].length);
        result.emplace_back(out[static_cast<size_t>(i)].text, out[static_cast<size_t>(i)].position);
    }
    return result;
}

std::string stem(const std::string &word) {
    auto tok = make(true);
    auto tokens = run(tok.get(), word);
    return tokens.empty() ? std::string() : tokens[0].first;
}

using Tokens = std::vector<std::pair<std::string, uint64_t>>;

TEST(Tokenizer, SplitsOnNonWordBytesAndLowerCases) {
    auto tok = make();
    EXPECT_EQ(run(tok.get(), "Hello, World!"), (Tokens{{"hello", 0}, {"world", 1}}));
    EXPECT_EQ(run(tok.get(), "don't stop"), (Tokens{{"don't", 0}, {"stop", 1}}));
    EXPECT_EQ(run(tok.get(), "a b cd"), (Tokens{{"cd", 0}}));
    EXPECT_EQ(run(tok.get(), "X11 r2d2\tTAB"), (Tokens{{"x11", 0}, {"r2d2", 1}, {"tab", 2}}));
    EXPECT_EQ(run(tok.get(), "  ,,  "), Tokens{});
    EXPECT_EQ(tok->stemmer, 0);
}

TEST(Tokenizer, NonAsciiBytesSeparateWords) {
    auto tok = make();
    EXPECT_EQ(run(tok.get(), "caf\xC3\xA9"), (Tokens{{"caf", 0}}));
    EXPECT_EQ(run(tok.get(), "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97"), Tokens{});
    std::string with_nul("ab\0cd", 5);  // the length, not a terminator, ends the input
    EXPECT_EQ(run(tok.get(), with_nul), (Tokens{{"ab", 0}, {"cd", 1}}));
}

TEST(Tokenizer, StopWordsAreMatchedOnTheLowerCasedUnstemmedWord) {
    auto tok = make(false, {"the"});
    EXPECT_EQ(run(tok.get(), "The cat"), (Tokens{{"cat", 0}}));
    auto upper = make(false, {"The"});
    EXPECT_EQ(run(upper.get(), "The cat"), (Tokens{{"the", 0}, {"cat", 1}}));
    auto stemming = make(true, {"run"});
    EXPECT_EQ(run(stemming.get(), "running"), (Tokens{{"run", 0}}));
    auto stemming2 = make(true, {"running"});
    EXPECT_EQ(run(stemming2.get(), "running runs"), (Tokens{{"run", 0}}));

    // Replacing and clearing the list.
    const char *words[] = {"cat"};
    tokenizer_set_stopwords(tok.get(), words, 1);
    EXPECT_EQ(run(tok.get(), "The cat"), (Tokens{{"the", 0}}));
    tokenizer_set_stopwords(tok.get(), nullptr, 3);
    EXPECT_EQ(tok->stopword_count, 0);
    EXPECT_EQ(tok->stopwords, nullptr);
    const char *with_null[] = {nullptr, "dog"};
    tokenizer_set_stopwords(tok.get(), with_null, 2);
    EXPECT_EQ(run(tok.get(), "cat dog"), (Tokens{{"cat", 0}}));
}

TEST(Tokenizer, LongStopWordListsMatchEveryWordAndOnlyThose) {
    std::vector<std::string> words;
    for (int i = 0; i < 300; ++i) words.push_back("stop" + std::to_string(i));
    std::vector<const char *> pointers;
    for (const auto &w : words) pointers.push_back(w.c_str());
    pointers.push_back("stop7");  // duplicates are harmless
    auto tok = make(false, pointers);
    std::string text;
    for (const auto &w : words) text += w + " ";
    EXPECT_EQ(run(tok.get(), text), Tokens{});
    EXPECT_EQ(run(tok.get(), "stop300 stop stop1x"), (Tokens{{"stop300", 0}, {"stop", 1}, {"stop1x", 2}}));
}

TEST(Tokenizer, StemmerRules) {
    const std::pair<const char *, const char *> cases[] = {
        {"running", "run"}, {"stopped", "stop"}, {"quickly", "quick"}, {"boxes", "box"},   {"cats", "cat"},
        {"teacher", "teach"}, {"actor", "act"},  {"goes", "goes"},     {"sing", "sing"},   {"class", "clas"},
        {"passes", "pas"},  {"bed", "bed"},      {"is", "is"},         {"falling", "fal"}, {"tanned", "tan"},
        {"ringing", "ring"}, {"a22ed", "a22"},   {"buzzer", "buz"},    {"xing", "xing"},   {"seeing", "se"},
    };
    for (const auto &[word, expected] : cases) EXPECT_EQ(stem(word), expected) << word;
    // Only the first matching rule is tried: "es" leaving two bytes does
    // not fall back to stripping "s".
    EXPECT_EQ(stem("yes"), "yes");
    // Digits are never undoubled.
    EXPECT_EQ(stem("x1122s"), "x1122");
}

TEST(Tokenizer, LongWordsAreCutAtTheBufferSize) {
    auto tok = make();
    std::string text(300, 'q');
    text += " tail";
    auto tokens = run(tok.get(), text);
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].first, std::string(255, 'q'));
    EXPECT_EQ(tokens[1], (std::pair<std::string, uint64_t>{"tail", 1}));
}

TEST(Tokenizer, LimitsAndTextOwnership) {
    auto tok = make();
    EXPECT_EQ(run(tok.get(), "alpha beta", 1), (Tokens{{"alpha", 0}}));
    token out[4];
    EXPECT_EQ(tokenizer_tokenize(nullptr, "ab", 2, out, 4), 0);
    EXPECT_EQ(tokenizer_tokenize(tok.get(), nullptr, 2, out, 4), 0);
    EXPECT_EQ(tokenizer_tokenize(tok.get(), "ab", 0, out, 4), 0);
    EXPECT_EQ(tokenizer_tokenize(tok.get(), "ab", 2, nullptr, 4), 0);
    EXPECT_EQ(tokenizer_tokenize(tok.get(), "ab", 2, out, 0), 0);
    EXPECT_EQ(tokenizer_tokenize(tok.get(), "ab", 2, out, -1), 0);

    // Texts of earlier calls stay valid while the list grows past 64 slots.
    auto fresh = make();
    ASSERT_EQ(fresh->token_capacity, 64);
    ASSERT_EQ(tokenizer_tokenize(fresh.get(), "first", 5, out, 1), 1);
    const char *first = out[0].text;
    std::string many;
    for (int i = 0; i < 200; ++i) many += "w" + std::to_string(i) + " ";
    EXPECT_EQ(run(fresh.get(), many).size(), 200u);
    EXPECT_EQ(fresh->token_count, 201);
    EXPECT_EQ(fresh->token_capacity, 256);
    EXPECT_STREQ(first, "first");

    tokenizer_destroy(nullptr);
    tokenizer_set_stemmer(nullptr, 1);
    tokenizer_set_stopwords(nullptr, nullptr, 0);
}

}  // namespace
