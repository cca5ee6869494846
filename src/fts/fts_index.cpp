// Inverted index over the term dictionary: every term keeps one posting,
// the most recent document that contained it, packed as
// (doc_id << 16) | payload. Only the payload's low 16 bits are stored, so a
// wide payload can never spill into the document id.
#include <climits>
#include <cstdlib>

#include "morvadb.h"

namespace morva {
namespace {

constexpr uint64_t kPayloadMask = (uint64_t{1} << FTS_PAYLOAD_BITS) - 1;
// fst_fuzzy_search results are gathered in the caller's array, capped so a
// large max cannot ask for more than this many terms.
constexpr int32_t kMaxFuzzyResults = 256;

uint64_t pack_posting(uint64_t doc_id, uint64_t payload) {
    return (doc_id << FTS_PAYLOAD_BITS) | (payload & kPayloadMask);
}

uint64_t posting_doc_id(uint64_t posting) { return posting >> FTS_PAYLOAD_BITS; }

// The int32 counters of the record stop at their maximum instead of
// wrapping into negative values.
void count_up(int32_t *counter) {
    if (*counter < INT32_MAX) ++*counter;
}

int32_t add_document(fts_index *idx, const char **terms, const uint64_t *payloads, int32_t n) {
    const uint64_t doc_id = idx->next_doc_id++;
    count_up(&idx->doc_count);
    for (int32_t i = 0; i < n; ++i) {
        if (terms[i] == nullptr) continue;
        const uint64_t payload = payloads != nullptr ? payloads[i] : 0;
        const int32_t status = fst_insert(idx->terms, terms[i], pack_posting(doc_id, payload));
        if (status != DB_OK) return status;
        count_up(&idx->posting_count);
    }
    return DB_OK;
}

} // namespace
} // namespace morva

extern "C" MORVADB_API fts_index *fts_index_create(void) {
    auto *idx = static_cast<fts_index *>(std::calloc(1, sizeof(fts_index)));
    if (idx == nullptr) return nullptr;
    idx->terms = fst_create();
    if (idx->terms == nullptr) {
        std::free(idx);
        return nullptr;
    }
    return idx;
}

extern "C" MORVADB_API void fts_index_destroy(fts_index *idx) {
    if (idx == nullptr) return;
    fst_destroy(idx->terms);
    std::free(idx);
}

extern "C" MORVADB_API int32_t fts_index_add_document(fts_index *idx, const char **terms, const char *text,
                                                      const uint64_t *payloads, int32_t n) {
    (void)text; // accepted for callers that keep the source text alongside; not indexed
    if (idx == nullptr || terms == nullptr || n < 0) return DB_ERR_INVALID;
    return morva::add_document(idx, terms, payloads, n);
}

extern "C" MORVADB_API int32_t fts_index_search(fts_index *idx, const char *term, uint64_t *out_ids, int32_t max) {
    if (idx == nullptr || term == nullptr || out_ids == nullptr || max <= 0) return 0;
    uint64_t posting = 0;
    if (fst_get(idx->terms, term, &posting) != DB_OK) return 0;
    out_ids[0] = morva::posting_doc_id(posting);
    return 1;
}

extern "C" MORVADB_API int32_t fts_index_search_fuzzy(fts_index *idx, const char *term, int32_t max_distance,
                                                      uint64_t *out_ids, int32_t max) {
    if (idx == nullptr || term == nullptr || out_ids == nullptr || max <= 0 || max_distance < 0) return 0;
    const int32_t limit = max < morva::kMaxFuzzyResults ? max : morva::kMaxFuzzyResults;
    // Postings are written straight into the caller's array, then unpacked.
    const int32_t found = fst_fuzzy_search(idx->terms, term, max_distance, out_ids, limit);
    for (int32_t i = 0; i < found; ++i) out_ids[i] = morva::posting_doc_id(out_ids[i]);
    return found;
}
