// Tokenizer throughput on English-like text: plain, with a stop-word list,
// with the stemmer, and both; next to a bare split-and-lower-case loop as a
// floor. Prints a table and writes one JSON object per line to
// bench_tokenizer.json (or the path given as the first argument).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

const char *const kWords[] = {
    "the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog", "running", "stopped", "quickly", "boxes",
    "teacher", "actor", "passes", "classes", "database", "engine", "writes", "records", "into", "log", "and",
    "readers", "follow", "it", "while", "compaction", "merges", "sorted", "tables", "of", "a", "in", "to", "is",
    "that", "for", "with", "as", "was", "on", "be", "at", "by", "this", "had", "not", "are", "but", "from", "or",
    "have", "an", "they", "which", "one", "you", "were", "her", "all", "she", "there", "would", "their", "we",
    "him", "been", "has", "when", "who", "will", "more", "no", "if", "out", "so", "said", "what", "up", "its",
    "about", "searching", "indexed", "documents", "don't", "wasn't", "Morning", "Evening", "LONDON", "1984",
};
const char *const kStopWords[] = {"the", "a", "an", "and", "or", "of", "to", "in", "is", "it", "that", "for",
                                  "with", "as", "was", "on", "be", "at", "by", "this", "not", "are", "but", "from"};

std::string make_text(size_t bytes) {
    std::string text;
    text.reserve(bytes + 64);
    std::srand(7);
    size_t sentence = 0;
    while (text.size() < bytes) {
        text += kWords[static_cast<size_t>(std::rand()) % (sizeof kWords / sizeof kWords[0])];
        if (++sentence % 12 == 0) text += ". ";
        else if (sentence % 5 == 0) text += ", ";
        else text += ' ';
    }
    return text;
}

struct Result {
    const char *name;
    double megabytes;
    double seconds;
    uint64_t tokens;
};

// Tokenizes the text in 4 KiB slices (cut at blanks), as a host feeding
// paragraphs would, with a fresh tokenizer per run.
Result run(const char *name, const std::string &text, bool stem, bool stop) {
    tokenizer *tok = tokenizer_create();
    tokenizer_set_stemmer(tok, stem ? 1 : 0);
    if (stop) tokenizer_set_stopwords(tok, const_cast<const char **>(kStopWords), sizeof kStopWords / sizeof kStopWords[0]);
    std::vector<token> out(4096);
    uint64_t tokens = 0;
    auto t0 = Clock::now();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = at + 4096 < text.size() ? at + 4096 : text.size();
        while (end < text.size() && text[end] != ' ') ++end;
        tokens += static_cast<uint64_t>(
            tokenizer_tokenize(tok, text.data() + at, end - at, out.data(), static_cast<int32_t>(out.size())));
        at = end;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    tokenizer_destroy(tok);
    return {name, static_cast<double>(text.size()) / 1e6, seconds, tokens};
}

// Floor: split into lower-cased std::strings without any other work.
Result run_floor(const std::string &text) {
    auto t0 = Clock::now();
    std::vector<std::string> words;
    words.reserve(text.size() / 4);
    std::string word;
    for (char c : text) {
        bool w = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '\'';
        if (w) {
            word += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        } else if (!word.empty()) {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty()) words.push_back(word);
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return {"split-floor", static_cast<double>(text.size()) / 1e6, seconds, words.size()};
}

}  // namespace

int main(int argc, char **argv) {
    const char *out_path = argc > 1 ? argv[1] : "bench_tokenizer.json";
    const std::string text = make_text(32u << 20);
    std::vector<Result> results = {
        run("plain", text, false, false),
        run("stopwords", text, false, true),
        run("stemmer", text, true, false),
        run("stem+stop", text, true, true),
        run_floor(text),
    };
    std::printf("%-12s %10s %10s %12s\n", "mode", "MB", "MB/s", "tokens");
    FILE *json = std::fopen(out_path, "w");
    for (const Result &r : results) {
        double rate = r.megabytes / r.seconds;
        std::printf("%-12s %10.1f %10.1f %12llu\n", r.name, r.megabytes, rate, static_cast<unsigned long long>(r.tokens));
        if (json)
            std::fprintf(json, "{\"bench\":\"tokenizer\",\"mode\":\"%s\",\"mb\":%.3f,\"mb_per_s\":%.2f,\"tokens\":%llu}\n",
                         r.name, r.megabytes, rate, static_cast<unsigned long long>(r.tokens));
    }
    if (json) std::fclose(json);
    return 0;
}
