// Tokenizer: creation, settings and tokenization.
#include "fts/tokenizer.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace morva {
namespace {

bool is_word_byte(unsigned char c) {
    // Only ASCII letters and digits (what isalnum accepts in the C locale) and
    // the apostrophe: any byte of 0x80 or above separates words.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '\'';
}

char lower_ascii(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c); }

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool ends_with(const char *word, size_t len, const char *suffix, size_t suffix_len) {
    return len >= suffix_len && std::memcmp(word + len - suffix_len, suffix, suffix_len) == 0;
}

size_t suffix_to_strip(const char *word, size_t len) {
    if (ends_with(word, len, "ing", 3)) return 3;
    if (ends_with(word, len, "ed", 2) || ends_with(word, len, "ly", 2) || ends_with(word, len, "es", 2)) return 2;
    if (ends_with(word, len, "s", 1)) return 1;
    if (ends_with(word, len, "er", 2) || ends_with(word, len, "or", 2)) return 2;
    return 0;
}

bool is_stop_word(const tokenizer *tok, const char *word, size_t len) {
    for (int32_t i = 0; i < tok->stopword_count; ++i) {
        const char *stop = tok->stopwords[i];
        // A word whose copy failed leaves an empty slot that never matches.
        if (stop != nullptr && stop[0] == word[0] && std::strlen(stop) == len && std::memcmp(stop, word, len) == 0)
            return true;
    }
    return false;
}

void free_stopwords(tokenizer *tok) {
    for (int32_t i = 0; i < tok->stopword_count; ++i) std::free(tok->stopwords[i]);
    std::free(tok->stopwords);
    tok->stopwords = nullptr;
    tok->stopword_count = 0;
}

// Records a copy of the word in the text list; null when memory runs out.
const char *keep_text(tokenizer *tok, const char *word, size_t len) {
    if (tok->token_count >= tok->token_capacity) {
        if (tok->token_capacity > INT32_MAX / 2) return nullptr;
        int32_t grown = tok->token_capacity > 0 ? tok->token_capacity * 2 : kTokenizerInitialCapacity;
        auto *texts = static_cast<char **>(std::realloc(tok->token_texts, sizeof(char *) * static_cast<size_t>(grown)));
        if (texts == nullptr) return nullptr;
        tok->token_texts = texts;
        tok->token_capacity = grown;
    }
    auto *copy = static_cast<char *>(std::malloc(len + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, word, len);
    copy[len] = '\0';
    tok->token_texts[tok->token_count++] = copy;
    return copy;
}

}  // namespace

size_t stem_word(char *word, size_t len) {
    if (len < 3) return len;
    size_t strip = suffix_to_strip(word, len);
    if (strip == 0 || len - strip <= 2) return len;
    len -= strip;
    if (is_letter(word[len - 1]) && lower_ascii(static_cast<unsigned char>(word[len - 1])) ==
                                        lower_ascii(static_cast<unsigned char>(word[len - 2])))
        len -= 1;
    word[len] = '\0';
    return len;
}

}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API tokenizer *tokenizer_create(void) {
    auto *tok = static_cast<tokenizer *>(std::calloc(1, sizeof(tokenizer)));
    if (tok == nullptr) return nullptr;
    tok->token_texts = static_cast<char **>(std::calloc(kTokenizerInitialCapacity, sizeof(char *)));
    if (tok->token_texts == nullptr) {
        std::free(tok);
        return nullptr;
    }
    tok->token_capacity = kTokenizerInitialCapacity;
    return tok;
}

MORVADB_API void tokenizer_destroy(tokenizer *tok) {
    if (tok == nullptr) return;
    for (int32_t i = 0; i < tok->token_count; ++i) std::free(tok->token_texts[i]);
    std::free(tok->token_texts);
    free_stopwords(tok);
    std::free(tok);
}

MORVADB_API void tokenizer_set_stemmer(tokenizer *tok, int32_t on) {
    if (tok != nullptr) tok->stemmer = on;
}

MORVADB_API void tokenizer_set_stopwords(tokenizer *tok, const char **words, int32_t count) {
    if (tok == nullptr) return;
    free_stopwords(tok);
    if (words == nullptr || count <= 0) return;
    auto *list = static_cast<char **>(std::calloc(static_cast<size_t>(count), sizeof(char *)));
    if (list == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        if (words[i] == nullptr) continue;
        size_t len = std::strlen(words[i]);
        auto *copy = static_cast<char *>(std::malloc(len + 1));
        if (copy != nullptr) std::memcpy(copy, words[i], len + 1);
        list[i] = copy;
    }
    tok->stopwords = list;
    tok->stopword_count = count;
}

MORVADB_API int32_t tokenizer_tokenize(tokenizer *tok, const char *text, uint64_t text_len, token *tokens,
                                       int32_t max_tokens) {
    if (tok == nullptr || text == nullptr || tokens == nullptr || text_len == 0 || max_tokens <= 0) return 0;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    uint64_t at = 0;
    int32_t filled = 0;
    uint64_t position = 0;
    char *word = tok->word;
    while (at < text_len) {
        while (at < text_len && !is_word_byte(in[at])) ++at;
        if (at == text_len) break;
        size_t len = 0;
        while (at < text_len && is_word_byte(in[at])) {
            // Bytes beyond the buffer are skipped: the token is the word's head.
            if (len < kTokenizerMaxWord) word[len++] = lower_ascii(in[at]);
            ++at;
        }
        word[len] = '\0';
        if (is_stop_word(tok, word, len)) continue;
        if (tok->stemmer) len = stem_word(word, len);
        if (len == 1) continue;
        const char *kept = keep_text(tok, word, len);
        if (kept == nullptr) break;
        tokens[filled].text = kept;
        tokens[filled].length = len;
        tokens[filled].position = position++;
        if (++filled == max_tokens) break;
    }
    return filled;
}

}  // extern "C"
