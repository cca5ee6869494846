// Latency of db_fts_search on a database whose index holds 100,000
// tokenized documents: exact terms, several terms, and fuzzy terms. Prints
// a table and writes one JSON object per line to bench_query_fts_search.json
// (or the path given as the first argument).
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDocuments = 100000;
constexpr int kSearches = 2000;

void remove_dir(const std::string &dir) {
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") ::unlink((dir + "/" + n).c_str());
        }
        closedir(d);
    }
    ::rmdir(dir.c_str());
}

// Pseudo-words from a fixed seed: w<number> with a vocabulary of 50,000.
std::string word(unsigned n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "w%u", n % 50000);
    return buf;
}

}  // namespace

int main(int argc, char **argv) {
    const char *json_path = argc > 1 ? argv[1] : "bench_query_fts_search.json";
    char dir_template[] = "/tmp/morvadb_bench_fts_XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return 1;
    std::string dir = dir_template;
    db_handle *db = nullptr;
    if (db_open((dir + "/db").c_str(), nullptr, &db) != DB_OK) return 1;
    const char *cols[] = {"doc", "body"};
    int32_t types[] = {COL_INT64, COL_STRING};
    db_create_table(db, "docs", cols, types, 2, nullptr);

    tokenizer *tok = tokenizer_create();
    std::srand(11);
    std::vector<token> tokens(32);
    for (int d = 0; d < kDocuments; ++d) {
        std::string text;
        for (int w = 0; w < 12; ++w) text += word(static_cast<unsigned>(std::rand())) + " ";
        int32_t n = tokenizer_tokenize(tok, text.data(), text.size(), tokens.data(), 32);
        std::vector<const char *> terms;
        for (int32_t t = 0; t < n; ++t) terms.push_back(tokens[static_cast<size_t>(t)].text);
        fts_index_add_document(db->fts, terms.data(), text.c_str(), nullptr, n);
        if (d % 10000 == 9999) {  // token texts live until the tokenizer goes
            tokenizer_destroy(tok);
            tok = tokenizer_create();
        }
    }
    tokenizer_destroy(tok);

    struct Case {
        const char *name;
        int terms;
        bool fuzzy;
    } cases[] = {{"one term", 1, false}, {"four terms", 4, false}, {"fuzzy term ~1", 1, true}, {"two fuzzy terms ~1", 2, true}};
    std::printf("%-22s %12s %12s %12s\n", "query", "median us", "p99 us", "hits/query");
    FILE *json = std::fopen(json_path, "w");
    for (const Case &c : cases) {
        std::vector<double> micros;
        uint64_t hits = 0;
        for (int s = 0; s < kSearches; ++s) {
            std::string query;
            for (int t = 0; t < c.terms; ++t) query += word(static_cast<unsigned>(std::rand())) + (c.fuzzy ? "~1 " : " ");
            result_set *rs = nullptr;
            Clock::time_point start = Clock::now();
            int32_t st = db_fts_search(db, "docs", "body", query.c_str(), &rs);
            micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            if (st == DB_OK) hits += static_cast<uint64_t>(rs->row_count);
            rs_close(rs);
        }
        std::sort(micros.begin(), micros.end());
        double median = micros[micros.size() / 2], p99 = micros[micros.size() * 99 / 100];
        std::printf("%-22s %12.1f %12.1f %12.1f\n", c.name, median, p99, static_cast<double>(hits) / kSearches);
        if (json != nullptr)
            std::fprintf(json, "{\"bench\":\"db_fts_search\",\"case\":\"%s\",\"median_us\":%.2f,\"p99_us\":%.2f}\n", c.name,
                         median, p99);
    }
    if (json != nullptr) std::fclose(json);
    db_close(db);
    remove_dir(dir);
    return 0;
}
