// Hybrid search on a database handle: the handle's vector store and its
// full-text index are searched under the catalog lock and fused by
// reciprocal rank.
#include <algorithm>
#include <new>
#include <vector>

#include "fts/db_search.h"
#include "fts/hybrid.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr uint32_t kDefaultVectorK = 10;

// Every text hit gets the BM25 score of one occurrence in an average-length
// document with a document frequency of 1.
constexpr double kBm25K1 = 1.2;
constexpr double kBm25B = 0.75;

// Up to k nearest neighbours; a failed search or buffer counts as no hits.
std::vector<vec_result> vector_side(vec_store *store, const float *query, uint32_t wanted) {
    std::vector<vec_result> hits;
    int32_t stored = morvadb_vec_count(store);
    // The store cannot return more than it holds; asking for that much
    // keeps a huge vector_k from sizing a huge buffer.
    int32_t k = static_cast<int32_t>(std::min<uint64_t>(wanted, stored > 0 ? static_cast<uint64_t>(stored) : 0));
    if (k <= 0) return hits;
    try {
        hits.resize(static_cast<size_t>(k));
        int32_t found = morvadb_vec_search(store, query, k, hits.data());
        hits.resize(found > 0 ? static_cast<size_t>(std::min(found, k)) : 0);
    } catch (const std::bad_alloc &) {
        hits.clear();
    }
    return hits;
}

int32_t database_hybrid(db_handle *db, const char *query_text, const float *query_vector,
                        const hybrid_options &options, hybrid_result *out, int32_t max_out) {
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr || db->fts == nullptr) return DB_ERR_INVALID;

    std::vector<vec_result> vector_hits =
        vector_side(db->vectors, query_vector, options.vector_k != 0 ? options.vector_k : kDefaultVectorK);
    std::vector<uint64_t> text_ids;
    try {
        collect_text_hits(db->fts, query_text, &text_ids);
    } catch (const std::bad_alloc &) {
        text_ids.clear();
    }
    const double text_score = bm25_score(1.0, 10.0, 10.0, db->fts->doc_count, 1.0, kBm25K1, kBm25B);

    try {
        FusedList list;
        for (size_t j = 0; j < vector_hits.size(); ++j) {
            // Every vector hit gets its own record, in the store's order.
            FusedHit &f = list.append(vector_hits[j].id);
            f.vector_distance = vector_hits[j].distance;
            f.score = options.vector_weight / (static_cast<double>(j) + 1 + kRrfK);
        }
        for (size_t r = 0; r < text_ids.size(); ++r) {
            FusedHit &f = list.at(text_ids[r]);
            f.text_score = text_score;
            f.score += options.text_weight / (static_cast<double>(r) + 1 + kRrfK);
        }
        return write_ranked(list.records(), out, max_out);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
}

}  // namespace
}  // namespace morva

extern "C" MORVADB_API int32_t db_hybrid_search(db_handle *db, const char *table, const char *column,
                                                const char *query_text, const float *query_vector,
                                                const hybrid_options *options, hybrid_result *out, int32_t max_out) {
    if (db == nullptr || table == nullptr || column == nullptr || query_text == nullptr || query_vector == nullptr ||
        options == nullptr || out == nullptr || max_out < 1)
        return DB_ERR_INVALID;
    return morva::database_hybrid(db, query_text, query_vector, *options, out, max_out);
}
