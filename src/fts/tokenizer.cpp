// Tokenizer: creation, settings and tokenization.
#include "fts/tokenizer.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace morva {
namespace {

// Token texts are carved out of large chunks instead of one allocation per
// token: they all live until the tokenizer is destroyed anyway, and a
// per-token malloc dominated the cost of tokenizing.
struct TextChunk {
    TextChunk *next;
    size_t used;
    size_t capacity;
    char bytes[];
};
constexpr size_t kTextChunkSize = 64 * 1024 - sizeof(TextChunk);

// The library allocates tokenizers itself, so private state may follow the
// public record; hosts only ever see the leading tokenizer.
struct TokenizerBlock {
    tokenizer pub;
    TextChunk *chunks;
    // Open-addressing index over the stop words (slot + 1, 0 = empty), so a
    // word is checked against a long list with one probe sequence.
    int32_t *stop_index;
    uint32_t stop_index_mask;
};
static_assert(offsetof(TokenizerBlock, pub) == 0);

TokenizerBlock *block_of(tokenizer *tok) { return reinterpret_cast<TokenizerBlock *>(tok); }

char *allocate_text(tokenizer *tok, size_t size) {
    TokenizerBlock *block = block_of(tok);
    TextChunk *chunk = block->chunks;
    if (chunk == nullptr || chunk->capacity - chunk->used < size) {
        size_t capacity = size > kTextChunkSize ? size : kTextChunkSize;
        auto *fresh = static_cast<TextChunk *>(std::malloc(sizeof(TextChunk) + capacity));
        if (fresh == nullptr) return nullptr;
        fresh->next = chunk;
        fresh->used = 0;
        fresh->capacity = capacity;
        block->chunks = fresh;
        chunk = fresh;
    }
    char *at = chunk->bytes + chunk->used;
    chunk->used += size;
    return at;
}

void free_texts(tokenizer *tok) {
    TextChunk *chunk = block_of(tok)->chunks;
    while (chunk != nullptr) {
        TextChunk *next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    block_of(tok)->chunks = nullptr;
}

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

uint32_t hash_word(const char *word, size_t len) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(word[i])) * 16777619u;
    return h;
}

bool stop_word_equals(const char *stop, const char *word, size_t len) {
    // A word whose copy failed leaves an empty slot that never matches.
    return stop != nullptr && std::strncmp(stop, word, len) == 0 && stop[len] == '\0';
}

bool is_stop_word(tokenizer *tok, const char *word, size_t len) {
    if (tok->stopword_count <= 0) return false;
    const TokenizerBlock *block = block_of(tok);
    if (block->stop_index == nullptr) {
        for (int32_t i = 0; i < tok->stopword_count; ++i)
            if (stop_word_equals(tok->stopwords[i], word, len)) return true;
        return false;
    }
    for (uint32_t at = hash_word(word, len) & block->stop_index_mask;; at = (at + 1) & block->stop_index_mask) {
        int32_t slot = block->stop_index[at];
        if (slot == 0) return false;
        if (stop_word_equals(tok->stopwords[slot - 1], word, len)) return true;
    }
}

// Builds the index; without memory the linear scan above still answers.
void index_stopwords(tokenizer *tok) {
    TokenizerBlock *block = block_of(tok);
    uint64_t size = 16;
    while (size < static_cast<uint64_t>(tok->stopword_count) * 2) size *= 2;
    if (size > (1u << 30)) return;
    auto *index = static_cast<int32_t *>(std::calloc(size, sizeof(int32_t)));
    if (index == nullptr) return;
    uint32_t mask = static_cast<uint32_t>(size - 1);
    for (int32_t i = 0; i < tok->stopword_count; ++i) {
        const char *stop = tok->stopwords[i];
        if (stop == nullptr) continue;
        uint32_t at = hash_word(stop, std::strlen(stop)) & mask;
        while (index[at] != 0) at = (at + 1) & mask;
        index[at] = i + 1;
    }
    block->stop_index = index;
    block->stop_index_mask = mask;
}

void free_stopwords(tokenizer *tok) {
    std::free(block_of(tok)->stop_index);
    block_of(tok)->stop_index = nullptr;
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
    char *copy = allocate_text(tok, len + 1);
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
    auto *block = static_cast<TokenizerBlock *>(std::calloc(1, sizeof(TokenizerBlock)));
    if (block == nullptr) return nullptr;
    tokenizer *tok = &block->pub;
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
    free_texts(tok);
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
    index_stopwords(tok);
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
