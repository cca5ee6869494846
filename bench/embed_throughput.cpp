// Embedder throughput at dimension 384: creation time of the bucket table,
// then texts per second and megabytes per second for short English, short
// Chinese and 2,000-character mixed texts, in thread CPU time. Prints a
// table and writes bench_embed_throughput.csv in the working directory.
#include <ctime>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "morvadb.h"

namespace {

// Thread CPU time, so that other processes on a shared machine disturb the
// figures less than wall time would.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Row {
    std::string name;
    size_t text_bytes;
    double texts_per_s;
    double mb_per_s;
};

std::string mixed_text(size_t code_points) {
    const char *pieces[] = {"数据库", " storage ", "向量检索", " engine ", "自然语言处理", " and ", "机器学习", "，",
                            "hybrid search ", "中文分词", "。"};
    std::string out;
    size_t count = 0;
    for (size_t i = 0;; ++i) {
        for (const char *c = pieces[i % (sizeof(pieces) / sizeof(pieces[0]))]; *c; ++c) {
            // A lead byte starts the next code point: stop before it once
            // the text is long enough, so no sequence is cut.
            if ((static_cast<unsigned char>(*c) & 0xC0) != 0x80 && count++ == code_points) return out;
            out += *c;
        }
    }
}

Row measure(const embedder *emb, const std::string &name, const std::string &text, double min_seconds) {
    std::vector<float> out(morvadb_embed_dimensions(emb));
    size_t iterations = 0;
    const double start = cpu_seconds();
    double elapsed = 0;
    do {
        for (int i = 0; i < 64; ++i) morvadb_embed_text(emb, text.data(), text.size(), out.data());
        iterations += 64;
        elapsed = cpu_seconds() - start;
    } while (elapsed < min_seconds);
    const double per_s = static_cast<double>(iterations) / elapsed;
    return {name, text.size(), per_s, per_s * static_cast<double>(text.size()) / 1e6};
}

}  // namespace

int main() {
    constexpr uint32_t kDimension = 384;
    double create_best = 1e9, create_total = 0;
    constexpr int kCreateRuns = 3;
    embedder *emb = nullptr;
    for (int run = 0; run < kCreateRuns; ++run) {
        embedder *e = nullptr;
        const double start = cpu_seconds();
        if (morvadb_embed_create(kDimension, 3, &e) != 0) {
            std::fprintf(stderr, "embedder creation failed\n");
            return 1;
        }
        const double s = cpu_seconds() - start;
        create_best = std::min(create_best, s);
        create_total += s;
        if (emb == nullptr) emb = e;
        else morvadb_embed_destroy(e);
    }

    const std::string english = "The quick brown fox jumps over the lazy dog near the river bank.";
    const std::string chinese = "我们在北京大学学习自然语言处理和机器学习。";
    const std::string mixed = mixed_text(2000);
    std::vector<Row> rows = {measure(emb, "short_english", english, 1.0), measure(emb, "short_chinese", chinese, 1.0),
                             measure(emb, "mixed_2000_chars", mixed, 1.0)};

    std::printf("embedder, dimension %u\n", kDimension);
    std::printf("  create: best %.1f ms, mean %.1f ms over %d runs\n", create_best * 1e3,
                create_total / kCreateRuns * 1e3, kCreateRuns);
    std::printf("  %-18s %10s %14s %10s\n", "text", "bytes", "texts/s", "MB/s");
    for (const Row &r : rows)
        std::printf("  %-18s %10zu %14.0f %10.2f\n", r.name.c_str(), r.text_bytes, r.texts_per_s, r.mb_per_s);

    if (FILE *csv = std::fopen("bench_embed_throughput.csv", "w")) {
        std::fprintf(csv, "case,bytes,texts_per_s,mb_per_s\n");
        std::fprintf(csv, "create_ms_best,0,%.3f,0\n", create_best * 1e3);
        for (const Row &r : rows)
            std::fprintf(csv, "%s,%zu,%.1f,%.3f\n", r.name.c_str(), r.text_bytes, r.texts_per_s, r.mb_per_s);
        std::fclose(csv);
    }
    morvadb_embed_destroy(emb);
    return 0;
}
