// The embedder's vectors are stored by hosts, so they must be bit-identical
// on every run and machine. These tests compare the library against an
// independent, deliberately literal implementation of the same algorithm
// (serial generator, eight full binary searches per position, byte-wise
// hashing), plus the behaviour at the edges.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "embed/segmenter.h"
#include "morvadb.h"

namespace {

class ReferenceEmbedder {
public:
    ReferenceEmbedder(uint32_t dimension, int32_t ngram)
        : dim_(dimension), ngram_(ngram == 0 ? 3 : ngram), buckets_(256 * dimension) {
        table_.resize(static_cast<size_t>(buckets_) * dim_);
        uint32_t state = 42;
        for (float &v : table_) {
            state = state * 1103515245u + 12345u;
            v = static_cast<float>((state >> 16) & 0x7FFF) / 16384.0f - 1.0f;
        }
    }

    const std::vector<float> &table() const { return table_; }

    std::vector<float> embed(const std::string &text) const {
        std::vector<float> out(dim_, 0.0f);
        std::vector<uint32_t> stream = segment(decode(text));
        if (stream.empty()) return out;
        const uint32_t n = static_cast<uint32_t>(ngram_);
        const size_t t = stream.size();
        auto add = [&](size_t start, size_t len) {
            uint32_t h = 0x811C9DC5u;
            for (size_t i = start; i < start + len; ++i) {
                const uint8_t bytes[4] = {uint8_t(stream[i]), uint8_t(stream[i] >> 8), uint8_t(stream[i] >> 16),
                                          uint8_t(stream[i] >> 24)};
                for (uint8_t b : bytes) h = (h ^ b) * 16777619u;
            }
            const size_t bucket = h % buckets_;
            for (uint32_t d = 0; d < dim_; ++d) out[d] += table_[bucket * dim_ + d];
        };
        if (t >= n) {
            for (size_t k = 0; k <= t - n; ++k) add(k, n);
        } else {
            add(0, t);
        }
        float sum = 0.0f;
        for (float v : out) sum += v * v;
        if (sum > 1e-30f) {
            const float scale = 1.0f / sqrtf(sum);
            for (float &v : out) v *= scale;
        }
        return out;
    }

    static std::vector<uint32_t> decode(const std::string &text) {
        std::vector<uint32_t> cps;
        const auto *s = reinterpret_cast<const unsigned char *>(text.data());
        const size_t len = text.size();
        size_t i = 0;
        while (i < len && cps.size() < 2048) {
            const unsigned c = s[i];
            size_t need;
            if (c < 0x80) need = 0;
            else if (c >= 0xC0 && c < 0xE0) need = 1;
            else if (c >= 0xE0 && c < 0xF0) need = 2;
            else if (c >= 0xF0 && c < 0xF8) need = 3;
            else { ++i; continue; }
            if (i + need >= len && need > 0) { ++i; continue; }
            uint32_t cp = need == 0 ? c : need == 1 ? (c & 0x1F) : need == 2 ? (c & 0x0F) : (c & 0x07);
            for (size_t k = 1; k <= need; ++k) cp = cp * 64 + (s[i + k] & 0x3F);
            cps.push_back(cp);
            i += need + 1;
        }
        return cps;
    }

    static std::string utf8(const uint32_t *cps, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t c = cps[i];
            if (c < 0x80) {
                out += char(c);
            } else if (c < 0x800) {
                out += char(0xC0 | (c >> 6));
                out += char(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += char(0xE0 | (c >> 12));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            } else {
                out += char(0xF0 | (c >> 18));
                out += char(0x80 | ((c >> 12) & 0x3F));
                out += char(0x80 | ((c >> 6) & 0x3F));
                out += char(0x80 | (c & 0x3F));
            }
        }
        return out;
    }

    static bool in_dictionary(const std::string &word) {
        int64_t low = 0, high = int64_t(dict_count) - 1;
        while (low <= high) {
            const int64_t mid = low + (high - low) / 2;
            const std::string entry(dict_pool + dict_offsets[mid]);
            // std::string compares bytes as unsigned char, lengths included.
            const int c = entry.compare(word);
            if (c == 0) return true;
            if (c < 0) low = mid + 1;
            else high = mid - 1;
        }
        return false;
    }

    static std::vector<uint32_t> segment(const std::vector<uint32_t> &cps) {
        std::vector<uint32_t> stream;
        size_t p = 0;
        while (p < cps.size()) {
            if (stream.size() > 4087) break;
            const size_t L = std::min<size_t>(8, cps.size() - p);
            size_t seg = 1;
            for (size_t w = L; w >= 1; --w) {
                if (in_dictionary(utf8(&cps[p], w))) {
                    seg = w;
                    break;
                }
            }
            for (size_t k = 0; k < seg; ++k) stream.push_back(cps[p + k]);
            if (stream.size() != 4095) stream.push_back(0x20);
            p += seg;
        }
        return stream;
    }

private:
    uint32_t dim_;
    int32_t ngram_;
    uint32_t buckets_;
    std::vector<float> table_;
};

struct EmbedderDeleter {
    void operator()(embedder *e) const { morvadb_embed_destroy(e); }
};
using EmbedderPtr = std::unique_ptr<embedder, EmbedderDeleter>;

EmbedderPtr make_embedder(uint32_t dimension, int32_t ngram) {
    embedder *e = nullptr;
    EXPECT_EQ(morvadb_embed_create(dimension, ngram, &e), 0);
    return EmbedderPtr(e);
}

std::vector<float> embed(const embedder *e, const std::string &text) {
    std::vector<float> out(morvadb_embed_dimensions(e), -7.0f);
    EXPECT_EQ(morvadb_embed_text(e, text.data(), text.size(), out.data()), 0);
    return out;
}

// Compares bit patterns so that a difference in the last bit fails.
void expect_same_bits(const std::vector<float> &a, const std::vector<float> &b, const std::string &what) {
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0) << what;
}

float norm(const std::vector<float> &v) {
    double s = 0;
    for (float x : v) s += double(x) * x;
    return float(std::sqrt(s));
}

std::string repeat(const std::string &s, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += s;
    return out;
}

const std::vector<std::string> &sample_texts() {
    static const std::vector<std::string> texts = {
        "a",
        "ab",
        "hello world",
        "The quick brown fox jumps over the lazy dog.",
        "\xE4\xB8\xAD",
        "我们在北京大学学习自然语言处理和机器学习。",
        "中华人民共和国成立于一九四九年，首都是北京。",
        "混合 text 与 English words, 数字 12345 和 emoji \xF0\x9F\x98\x80!",
        "AT&T 和 c# 都在词典里",
        "\xE4",                  // lone lead byte
        "abc\xE4\xB8",           // truncated sequence at the end
        "\x80\x80\xBF\xF8\xFF",  // nothing decodable
        "\xC0\x41\xE4ZZ\xF4\x90\x80\x80",  // unvalidated continuations, code point above U+10FFFF
        std::string("nul\0inside\0\xE4\xB8\xAD\0", sizeof("nul\0inside\0\xE4\xB8\xAD\0") - 1),
        repeat("自然语言处理", 400),
        repeat("x", 3000),
        repeat("~", 2048),
        repeat("说", 2047) + "中华人民共和国",
        repeat("The 学习 of 机器 ", 150),
    };
    return texts;
}

TEST(EmbedderReference, BucketTableMatchesSerialGenerator) {
    for (uint32_t dim : {1u, 3u, 16u}) {
        EmbedderPtr e = make_embedder(dim, 3);
        ReferenceEmbedder ref(dim, 3);
        ASSERT_EQ(e->bucket_count, 256u * dim);
        ASSERT_EQ(std::memcmp(e->bucket_vectors, ref.table().data(), ref.table().size() * sizeof(float)), 0) << dim;
    }
    // First state 42 x 1103515245 + 12345 = 0xCA890E1B mod 2^32, so the
    // first value is (0x4A89 = 19081) / 16384 - 1.
    EmbedderPtr e = make_embedder(1, 3);
    EXPECT_EQ(e->bucket_vectors[0], 0.16461181640625f);
}

TEST(EmbedderReference, VectorsAreBitIdenticalToReference) {
    for (int32_t ngram : {3, 1, 2, 5, -1}) {
        for (uint32_t dim : {16u, 7u}) {
            EmbedderPtr e = make_embedder(dim, ngram);
            ReferenceEmbedder ref(dim, ngram);
            for (const std::string &text : sample_texts())
                expect_same_bits(embed(e.get(), text), ref.embed(text),
                                 "ngram " + std::to_string(ngram) + " dim " + std::to_string(dim) + " text " +
                                     text.substr(0, 40));
        }
    }
}

TEST(EmbedderReference, RandomBytesStayInBoundsAndMatchReference) {
    // Every text lives in a buffer of exactly its length, so a read past the
    // end is caught by the address sanitizer.
    EmbedderPtr e = make_embedder(8, 3);
    ReferenceEmbedder ref(8, 3);
    std::mt19937 rng(1234);
    for (int round = 0; round < 300; ++round) {
        const size_t len = rng() % (round % 10 == 0 ? 9000 : 64);
        std::vector<uint8_t> bytes(len);
        // Bias towards lead and continuation bytes so many sequences are cut.
        for (uint8_t &b : bytes) b = uint8_t(rng() % 3 == 0 ? 0xC0 + rng() % 64 : rng());
        std::vector<float> out(8);
        const char *text = len == 0 ? "" : reinterpret_cast<const char *>(bytes.data());
        ASSERT_EQ(morvadb_embed_text(e.get(), text, len, out.data()), 0);
        expect_same_bits(out, ref.embed(std::string(bytes.begin(), bytes.end())), "round " + std::to_string(round));
    }
}

TEST(EmbedderReference, RealisticDimension) {
    EmbedderPtr e = make_embedder(384, 0);
    ReferenceEmbedder ref(384, 3);
    for (const std::string &text : sample_texts()) expect_same_bits(embed(e.get(), text), ref.embed(text), text.substr(0, 40));
}

TEST(Embedder, VectorsAreUnitOrZero) {
    EmbedderPtr e = make_embedder(32, 3);
    for (const std::string &text : sample_texts()) {
        const std::vector<float> v = embed(e.get(), text);
        if (ReferenceEmbedder::decode(text).empty()) {
            for (float x : v) EXPECT_EQ(x, 0.0f);
        } else {
            EXPECT_NEAR(norm(v), 1.0f, 1e-5f) << text.substr(0, 40);
        }
    }
    const std::vector<float> empty = embed(e.get(), "");
    for (float x : empty) EXPECT_EQ(x, 0.0f);
}

TEST(Embedder, SameTextSameVectorAcrossEmbeddersAndThreads) {
    EmbedderPtr a = make_embedder(16, 0);
    EmbedderPtr b = make_embedder(16, 3);
    EXPECT_EQ(a->ngram, 3);
    const std::vector<std::string> &texts = sample_texts();
    std::vector<std::vector<float>> serial;
    for (const std::string &t : texts) {
        serial.push_back(embed(a.get(), t));
        expect_same_bits(serial.back(), embed(b.get(), t), t.substr(0, 40));
    }
    std::vector<std::vector<float>> parallel(texts.size(), std::vector<float>(16));
    std::vector<std::thread> threads;
    for (size_t w = 0; w < 2; ++w)
        threads.emplace_back([&, w] {
            for (size_t i = w; i < texts.size(); i += 2)
                morvadb_embed_text(a.get(), texts[i].data(), texts[i].size(), parallel[i].data());
        });
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < texts.size(); ++i) expect_same_bits(serial[i], parallel[i], texts[i].substr(0, 40));
}

TEST(Embedder, DecodingLimitsAndSkips) {
    EmbedderPtr e = make_embedder(16, 3);
    // Only the first 2,048 code points count.
    expect_same_bits(embed(e.get(), repeat("q", 3000)), embed(e.get(), repeat("q", 2048)), "2048 limit");
    expect_same_bits(embed(e.get(), repeat("q", 2048) + "中文"), embed(e.get(), repeat("q", 2048)), "2048 limit");
    EXPECT_NE(std::memcmp(embed(e.get(), repeat("q", 2000) + "中文").data(), embed(e.get(), repeat("q", 2000)).data(),
                          16 * sizeof(float)),
              0);
    // A trailing lone lead byte is skipped; a stray continuation too.
    expect_same_bits(embed(e.get(), "ab\xE4"), embed(e.get(), "ab"), "lone lead");
    expect_same_bits(embed(e.get(), "\x80" "ab"), embed(e.get(), "ab"), "stray continuation");

    uint32_t cps[morva::embed::kMaxCodePoints];
    ASSERT_EQ(morva::embed::decode_utf8(reinterpret_cast<const uint8_t *>("\xE4\xB8\xAD"), 3, cps), 1u);
    EXPECT_EQ(cps[0], 0x4E2Du);
    EXPECT_EQ(morva::embed::decode_utf8(reinterpret_cast<const uint8_t *>("\xF0\x9F\x98"), 3, cps), 0u);
}

TEST(Embedder, SegmentationPrefersLongestWordsAndCapsStream) {
    uint32_t stream[morva::embed::kStreamCapacity];
    // One ASCII letter: the letter and a space, hashed as one window.
    const uint32_t letter[] = {'a'};
    ASSERT_EQ(morva::embed::segment_code_points(letter, 1, stream), 2u);
    EXPECT_EQ(stream[1], 0x20u);

    // A long Chinese run is cut into dictionary words of at most 8 code
    // points, each followed by a space.
    const std::vector<uint32_t> cps = ReferenceEmbedder::decode(repeat("中华人民共和国国务院总理", 20));
    const size_t t = morva::embed::segment_code_points(cps.data(), cps.size(), stream);
    size_t run = 0, longest = 0;
    for (size_t i = 0; i < t; ++i) {
        run = stream[i] == 0x20 ? 0 : run + 1;
        longest = std::max(longest, run);
    }
    EXPECT_GT(longest, 1u);
    EXPECT_LE(longest, 8u);
    EXPECT_EQ(std::vector<uint32_t>(stream, stream + t), ReferenceEmbedder::segment(cps));

    // 2,048 single-code-point segments stop once the stream passes 4,087.
    const std::vector<uint32_t> tildes(2048, '~');
    EXPECT_EQ(morva::embed::segment_code_points(tildes.data(), tildes.size(), stream), 4088u);
}

TEST(Embedder, ArgumentErrors) {
    embedder *e = nullptr;
    EXPECT_EQ(morvadb_embed_create(0, 3, &e), -1);
    EXPECT_EQ(morvadb_embed_create(4, 3, nullptr), -1);
    // 256 x dimension no longer fits the 32-bit bucket count.
    EXPECT_EQ(morvadb_embed_create(16777216u, 3, &e), -1);
    EXPECT_EQ(morvadb_embed_create(UINT32_MAX, 3, &e), -1);
    EXPECT_EQ(e, nullptr);
    morvadb_embed_destroy(nullptr);
    EXPECT_EQ(morvadb_embed_dimensions(nullptr), 0u);

    EmbedderPtr ok = make_embedder(4, 3);
    float out[8];
    const char *texts[] = {"one", nullptr};
    const uint64_t lengths[] = {3, 3};
    EXPECT_EQ(morvadb_embed_text(nullptr, "a", 1, out), -1);
    EXPECT_EQ(morvadb_embed_text(ok.get(), nullptr, 1, out), -1);
    EXPECT_EQ(morvadb_embed_text(ok.get(), "a", 1, nullptr), -1);
    EXPECT_EQ(morvadb_embed_batch(ok.get(), texts, lengths, 0, out), -1);
    EXPECT_EQ(morvadb_embed_batch(ok.get(), nullptr, lengths, 1, out), -1);
    EXPECT_EQ(morvadb_embed_batch(ok.get(), texts, nullptr, 1, out), -1);
    // The batch stops at the failing text; the earlier output stays written.
    std::fill(out, out + 8, 9.0f);
    EXPECT_EQ(morvadb_embed_batch(ok.get(), texts, lengths, 2, out), -1);
    std::vector<float> one = embed(ok.get(), "one");
    EXPECT_EQ(std::memcmp(out, one.data(), 4 * sizeof(float)), 0);
    EXPECT_EQ(out[4], 9.0f);
}

TEST(Embedder, BatchMatchesSingleCalls) {
    EmbedderPtr e = make_embedder(8, 3);
    const std::vector<std::string> &texts = sample_texts();
    std::vector<const char *> ptrs;
    std::vector<uint64_t> lengths;
    for (const std::string &t : texts) {
        ptrs.push_back(t.data());
        lengths.push_back(t.size());
    }
    std::vector<float> out(texts.size() * 8);
    ASSERT_EQ(morvadb_embed_batch(e.get(), ptrs.data(), lengths.data(), uint32_t(texts.size()), out.data()), 0);
    for (size_t i = 0; i < texts.size(); ++i)
        expect_same_bits(std::vector<float>(out.begin() + i * 8, out.begin() + i * 8 + 8), embed(e.get(), texts[i]),
                         texts[i].substr(0, 40));
}

}  // namespace
