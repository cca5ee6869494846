// Text handed to the embedder: any bytes, valid UTF-8 or not. The result is
// either the zero vector or a unit vector of finite numbers.
#include <morvadb.h>

#include <cmath>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static embedder *emb = [] {
        embedder *e = nullptr;
        if (morvadb_embed_create(32, 0, &e) != 0) abort();
        return e;
    }();
    static embedder *bigram = [] {
        embedder *e = nullptr;
        if (morvadb_embed_create(8, 2, &e) != 0) abort();
        return e;
    }();
    for (embedder *e : {emb, bigram}) {
        std::vector<float> out(e->dimension, -1.0f);
        if (morvadb_embed_text(e, reinterpret_cast<const char *>(data), size, out.data()) != 0) abort();
        double norm = 0;
        for (float x : out) {
            if (!std::isfinite(x)) abort();
            norm += static_cast<double>(x) * x;
        }
        if (norm != 0 && std::fabs(norm - 1.0) > 1e-3) abort();
    }
    return 0;
}
