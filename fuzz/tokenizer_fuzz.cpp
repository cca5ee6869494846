// Text handed to the tokenizer: any bytes, with and without stemming and stop
// words. Token texts must be NUL-terminated, as long as they claim, and never
// longer than the longest word the tokenizer keeps.
#include <morvadb.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the settings; the rest is the text.
    uint8_t settings = data[0];
    const char *text = reinterpret_cast<const char *>(data + 1);
    uint64_t text_len = size - 1;

    tokenizer *tok = tokenizer_create();
    if (tok == nullptr) return 0;
    tokenizer_set_stemmer(tok, settings & 1);
    if (settings & 2) {
        const char *stop[] = {"the", "a", "and", "s", ""};
        tokenizer_set_stopwords(tok, stop, 5);
    }
    int32_t max_tokens = (settings & 4) ? 3 : 4096;
    std::vector<token> tokens(static_cast<size_t>(max_tokens));
    int32_t n = tokenizer_tokenize(tok, text, text_len, tokens.data(), max_tokens);
    if (n < 0 || n > max_tokens) abort();
    for (int32_t i = 0; i < n; ++i) {
        const token &t = tokens[static_cast<size_t>(i)];
        if (t.text == nullptr || t.length > TOKENIZER_MAX_WORD) abort();
        if (std::strlen(t.text) != t.length) abort();
    }
    // A second call on the same tokenizer keeps the first call's texts valid.
    std::vector<token> again(16);
    tokenizer_tokenize(tok, text, text_len, again.data(), 16);
    for (int32_t i = 0; i < n; ++i) (void)std::strlen(tokens[static_cast<size_t>(i)].text);
    tokenizer_destroy(tok);
    return 0;
}
