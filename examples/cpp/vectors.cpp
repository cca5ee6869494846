// A small C++ host: embeds a few sentences with the built-in text embedder,
// stores them in an in-memory vector store and finds the nearest one.
//
//   c++ -std=c++17 vectors.cpp $(pkg-config --cflags --libs morvadb) -o vectors
#include <morvadb.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

int main() {
    constexpr uint32_t kDim = 64;
    embedder *emb = nullptr;
    if (morvadb_embed_create(kDim, 0, &emb) != 0) return 1;
    std::unique_ptr<embedder, void (*)(embedder *)> emb_guard(emb, morvadb_embed_destroy);

    vec_config config{};
    config.dimension = kDim;
    config.metric = VEC_METRIC_COSINE;
    config.index_type = VEC_INDEX_FLAT;
    vec_store *store = nullptr;
    if (morvadb_vec_create(nullptr, &config, &store) != 0) return 1;
    auto close_store = [](vec_store *s) { morvadb_vec_close(s); };
    std::unique_ptr<vec_store, decltype(close_store)> store_guard(store, close_store);

    const std::vector<std::string> docs = {
        "the quick brown fox jumps over the lazy dog",
        "a database keeps data safe across crashes",
        "vectors make similarity search possible",
    };
    std::vector<float> v(kDim);
    for (size_t i = 0; i < docs.size(); i++) {
        if (morvadb_embed_text(emb, docs[i].data(), docs[i].size(), v.data()) != 0) return 1;
        if (morvadb_vec_insert(store, i + 1, v.data()) != 0) return 1;
    }

    const std::string query = "crash safe database";
    if (morvadb_embed_text(emb, query.data(), query.size(), v.data()) != 0) return 1;
    vec_result hits[3];
    int n = morvadb_vec_search(store, v.data(), 3, hits);
    for (int i = 0; i < n; i++) {
        std::printf("%llu  %.4f  %s\n", static_cast<unsigned long long>(hits[i].id), hits[i].distance,
                    docs[hits[i].id - 1].c_str());
    }
    return n > 0 ? 0 : 1;
}
