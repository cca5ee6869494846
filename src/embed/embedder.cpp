// Dictionary-segmented, n-gram hashing text embedder: C interface and the
// hashing and summing steps.
#include "embed/embedder.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "embed/segmenter.h"
#include "util/coding.h"

namespace morva::embed {
namespace {

// Tables of at least this size are mapped directly and marked for huge
// pages: every window reads a random row of a table far larger than the
// caches, and with 4 KiB pages nearly every such read also misses the TLB.
constexpr uint64_t kHugePage = 2u << 20;

float *allocate_table(uint64_t bytes) {
    if (bytes < kHugePage) return static_cast<float *>(std::malloc(static_cast<size_t>(bytes)));
    void *p = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    madvise(p, static_cast<size_t>(bytes), MADV_HUGEPAGE);  // a hint; failure only costs speed
    return static_cast<float *>(p);
}

void release_table(float *table, uint64_t bytes) {
    if (table == nullptr) return;
    if (bytes < kHugePage) std::free(table);
    else munmap(table, static_cast<size_t>(bytes));
}

uint64_t table_bytes(const embedder &emb) {
    return static_cast<uint64_t>(emb.bucket_count) * emb.dimension * sizeof(float);
}

void normalize(float *out, uint32_t dimension) {
    // The sum runs in element order in single precision so that every
    // machine produces the same bits.
    float sum = 0.0f;
    for (uint32_t d = 0; d < dimension; ++d) sum += out[d] * out[d];
    if (!(sum > kNormalizeThreshold)) return;
    const float scale = 1.0f / std::sqrt(sum);
    for (uint32_t d = 0; d < dimension; ++d) out[d] *= scale;
}

}  // namespace

void fill_bucket_table(float *table, uint64_t count) {
    // The generator is a serial recurrence; running kLanes interleaved copies
    // of it, each jumped kLanes steps at a time, yields the same sequence
    // while letting the compiler vectorize the multiply-adds.
    constexpr unsigned kLanes = 16;
    uint32_t state[kLanes];
    uint32_t s = kLcgSeed;
    for (unsigned j = 0; j < kLanes; ++j) {
        s = s * kLcgMultiplier + kLcgIncrement;
        state[j] = s;
    }
    // Jump of kLanes steps: state' = a * state + c with a = A^kLanes and
    // c = (A^(kLanes-1) + ... + A + 1) * C, all modulo 2^32.
    uint32_t jump_mul = 1, jump_add = 0;
    for (unsigned j = 0; j < kLanes; ++j) {
        jump_add = jump_add * kLcgMultiplier + kLcgIncrement;
        jump_mul *= kLcgMultiplier;
    }
    constexpr float kScale = 1.0f / 16384.0f;
    uint64_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        for (unsigned j = 0; j < kLanes; ++j) {
            table[i + j] = static_cast<float>((state[j] >> 16) & 0x7FFF) * kScale - 1.0f;
            state[j] = state[j] * jump_mul + jump_add;
        }
    }
    for (unsigned j = 0; i < count; ++i, ++j)
        table[i] = static_cast<float>((state[j] >> 16) & 0x7FFF) * kScale - 1.0f;
}

uint32_t hash_code_points(const uint32_t *cps, size_t count) {
    uint32_t hash = kFnvOffsetBasis;
    for (size_t i = 0; i < count; ++i) {
        uint32_t cp = cps[i];
        for (int b = 0; b < 4; ++b) {
            hash = (hash ^ (cp & 0xFF)) * kFnvPrime;
            cp >>= 8;
        }
    }
    return hash;
}

void embed_text(const embedder &emb, const uint8_t *text, uint64_t len, float *out) {
    std::memset(out, 0, sizeof(float) * emb.dimension);
    if (len == 0) return;
    uint32_t cps[kMaxCodePoints];
    const size_t count = decode_utf8(text, len, cps);
    if (count == 0) return;
    uint32_t stream[kStreamCapacity];
    const size_t t = segment_code_points(cps, count, stream);
    // A negative ngram reads as a huge window, which takes the whole stream.
    const uint64_t n = static_cast<uint32_t>(emb.ngram);
    // Hash every window first, then sum the rows in window order while
    // prefetching rows a few windows ahead: the table is far larger than the
    // caches, so the sum is bound by memory latency. Window k's bucket
    // overwrites stream[k], which no later window reads.
    uint32_t *buckets = stream;
    size_t windows = 0;
    if (t >= n) {
        for (size_t k = 0; k + n <= t; ++k) buckets[windows++] = hash_code_points(stream + k, n) % emb.bucket_count;
    } else {
        buckets[windows++] = hash_code_points(stream, t) % emb.bucket_count;
    }
    constexpr size_t kPrefetchDistance = 4;
    const size_t row_bytes = sizeof(float) * emb.dimension;
    for (size_t w = 0; w < windows; ++w) {
        if (w + kPrefetchDistance < windows) {
            const char *ahead = reinterpret_cast<const char *>(
                emb.bucket_vectors + static_cast<size_t>(buckets[w + kPrefetchDistance]) * emb.dimension);
            for (size_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(ahead + b);
        }
        const float *row = emb.bucket_vectors + static_cast<size_t>(buckets[w]) * emb.dimension;
        for (uint32_t d = 0; d < emb.dimension; ++d) out[d] += row[d];
    }
    normalize(out, emb.dimension);
}

}  // namespace morva::embed

using namespace morva;

extern "C" MORVADB_API int32_t morvadb_embed_create(uint32_t dimension, int32_t ngram, embedder **out) {
    if (out == nullptr || dimension == 0) return -1;
    // Both the bucket count (stored in 32 bits) and the table size in bytes
    // must be representable; a wrapped size would allocate a short table.
    const uint64_t bucket_count = static_cast<uint64_t>(EMBED_BUCKETS_PER_DIMENSION) * dimension;
    if (bucket_count > UINT32_MAX) return -1;
    uint64_t floats = 0, bytes = 0;
    if (mul_overflows(bucket_count, dimension, &floats) || mul_overflows(floats, sizeof(float), &bytes) ||
        bytes > SIZE_MAX / 2)
        return -1;
    try {
        auto *emb = new (std::nothrow) embedder{};
        if (emb == nullptr) return -1;
        emb->bucket_vectors = embed::allocate_table(bytes);
        if (emb->bucket_vectors == nullptr) {
            delete emb;
            return -1;
        }
        emb->dimension = dimension;
        emb->ngram = ngram == 0 ? EMBED_DEFAULT_NGRAM : ngram;
        emb->bucket_count = static_cast<uint32_t>(bucket_count);
        embed::fill_bucket_table(emb->bucket_vectors, floats);
        *out = emb;
        return 0;
    } catch (...) {
        return -1;
    }
}

extern "C" MORVADB_API void morvadb_embed_destroy(embedder *emb) {
    if (emb == nullptr) return;
    embed::release_table(emb->bucket_vectors, embed::table_bytes(*emb));
    delete emb;
}

extern "C" MORVADB_API int32_t morvadb_embed_text(const embedder *emb, const char *text, uint64_t text_len,
                                                  float *out) {
    if (emb == nullptr || text == nullptr || out == nullptr) return -1;
    embed::embed_text(*emb, reinterpret_cast<const uint8_t *>(text), text_len, out);
    return 0;
}

extern "C" MORVADB_API int32_t morvadb_embed_batch(const embedder *emb, const char *const *texts,
                                                   const uint64_t *lengths, uint32_t count, float *out) {
    if (emb == nullptr || texts == nullptr || lengths == nullptr || out == nullptr || count == 0) return -1;
    for (uint32_t i = 0; i < count; ++i) {
        if (morvadb_embed_text(emb, texts[i], lengths[i], out + static_cast<size_t>(i) * emb->dimension) != 0)
            return -1;
    }
    return 0;
}

extern "C" MORVADB_API uint32_t morvadb_embed_dimensions(const embedder *emb) {
    return emb == nullptr ? 0 : emb->dimension;
}
