// The database vector index: one in-memory vector store and one text
// embedder held by a handle. Text arguments are embedded, then handed to the
// store. catalog_lock guards the two pointers: held exclusively while they
// are replaced, shared while they are used (the store serialises its own
// writers against searches).
#include <cstdio>
#include <new>
#include <vector>

#include "db/handle.h"
#include "morvadb.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr int32_t kDefaultNgram = 3;
constexpr uint32_t kFlatM = 16;
constexpr uint32_t kFlatEfConstruction = 200;
constexpr uint32_t kEfSearch = 50;
constexpr const char *kStoreSuffix = ".vec";

void drop_index(db_handle *db) {
    if (db->vectors != nullptr) morvadb_vec_close(db->vectors);
    if (db->embed != nullptr) morvadb_embed_destroy(db->embed);
    db->vectors = nullptr;
    db->embed = nullptr;
}

int32_t create_index(db_handle *db, const db_vec_options &options) {
    WriteGuard catalog(&db->catalog_lock);
    drop_index(db);
    vec_config config{};
    config.index_type = options.use_hnsw ? VEC_INDEX_HNSW : VEC_INDEX_FLAT;
    config.metric = VEC_METRIC_L2;
    config.dimension = options.dimension;
    config.capacity = 0;
    config.persist = 0;
    config.m = options.use_hnsw ? options.m : kFlatM;
    config.ef_construction = options.use_hnsw ? options.ef_construction : kFlatEfConstruction;
    config.ef_search = kEfSearch;
    char name[kPathBufferSize];
    format_path(name, db->path != nullptr ? db->path : "", kStoreSuffix);
    vec_store *store = nullptr;
    int32_t status = morvadb_vec_create(name, &config, &store);
    if (status != VEC_OK) return status;
    db->vectors = store;
    embedder *emb = nullptr;
    status = morvadb_embed_create(options.dimension, options.ngram != 0 ? options.ngram : kDefaultNgram, &emb);
    if (status == 0) db->embed = emb;  // on failure the store stays without an embedder
    set_last_error(db, DB_OK);
    return status;
}

// The embedder's vectors must be what the store reads: a mismatched
// dimension would make the store read past (or short of) the buffer.
bool embedder_fits(const db_handle *db) {
    return db->vectors != nullptr && db->embed != nullptr &&
           morvadb_embed_dimensions(db->embed) == morvadb_vec_dimension(db->vectors);
}

// Embeds one text into a buffer of the embedder's dimension and runs `use`
// on it. Caller holds catalog_lock shared and has checked embedder_fits.
template <typename Use>
int32_t with_embedding(db_handle *db, const char *text, uint64_t length, Use use) {
    std::vector<float> buffer;
    try {
        buffer.resize(morvadb_embed_dimensions(db->embed));
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
    int32_t status = morvadb_embed_text(db->embed, text, length, buffer.data());
    if (status != 0) return status;
    return use(buffer.data());
}

}  // namespace
}  // namespace morva

using morva::ReadGuard;
using morva::WriteGuard;

extern "C" {

MORVADB_API int32_t db_vec_create_index(db_handle *db, const db_vec_options *options) {
    if (db == nullptr || options == nullptr || options->dimension == 0) return DB_ERR_INVALID;
    return morva::create_index(db, *options);
}

MORVADB_API int32_t db_vec_destroy_index(db_handle *db) {
    if (db == nullptr) return DB_ERR_INVALID;
    WriteGuard catalog(&db->catalog_lock);
    morva::drop_index(db);
    morva::set_last_error(db, DB_OK);
    return DB_OK;
}

MORVADB_API int32_t db_vec_set_embed(db_handle *db, embedder *emb) {
    if (db == nullptr || emb == nullptr) return DB_ERR_INVALID;
    WriteGuard catalog(&db->catalog_lock);
    // An embedder the present store cannot read is refused and stays the
    // caller's; text calls also recheck, since a store may come later.
    if (db->vectors != nullptr && morvadb_embed_dimensions(emb) != morvadb_vec_dimension(db->vectors))
        return DB_ERR_INVALID;
    if (db->embed != nullptr && db->embed != emb) morvadb_embed_destroy(db->embed);
    db->embed = emb;
    morva::set_last_error(db, DB_OK);
    return DB_OK;
}

MORVADB_API int32_t db_vec_insert_text(db_handle *db, uint64_t id, const char *text, uint64_t length) {
    if (db == nullptr || text == nullptr) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (!morva::embedder_fits(db)) return DB_ERR_INVALID;
    return morva::with_embedding(db, text, length,
                                 [db, id](const float *v) { return morvadb_vec_insert(db->vectors, id, v); });
}

MORVADB_API int32_t db_vec_insert_batch(db_handle *db, uint32_t n, const uint64_t *ids, const char *const *texts,
                                        const uint64_t *lengths) {
    if (db == nullptr || ids == nullptr || texts == nullptr || lengths == nullptr || n == 0) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (!morva::embedder_fits(db)) return DB_ERR_INVALID;
    std::vector<float> buffer;
    try {
        buffer.resize(static_cast<size_t>(n) * morvadb_embed_dimensions(db->embed));
    } catch (const std::exception &) {
        return DB_ERR_NOMEM;
    }
    int32_t status = morvadb_embed_batch(db->embed, texts, lengths, n, buffer.data());
    if (status != 0) return status;
    return morvadb_vec_insert_batch(db->vectors, n, ids, buffer.data());
}

MORVADB_API int32_t db_vec_insert_vector(db_handle *db, uint64_t id, const float *vector) {
    if (db == nullptr || vector == nullptr) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr) return DB_ERR_INVALID;
    return morvadb_vec_insert(db->vectors, id, vector);
}

MORVADB_API int32_t db_vec_search_text(db_handle *db, const char *text, uint64_t length, int32_t k,
                                       vec_result *results) {
    if (db == nullptr || text == nullptr || results == nullptr || k == 0) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (!morva::embedder_fits(db)) return DB_ERR_INVALID;
    return morva::with_embedding(db, text, length,
                                 [db, k, results](const float *v) { return morvadb_vec_search(db->vectors, v, k, results); });
}

MORVADB_API int32_t db_vec_search(db_handle *db, const float *query, int32_t k, vec_result *results) {
    if (db == nullptr || query == nullptr || results == nullptr || k == 0) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr) return DB_ERR_INVALID;
    return morvadb_vec_search(db->vectors, query, k, results);
}

MORVADB_API int32_t db_vec_search_filtered(db_handle *db, const float *query, int32_t k, vec_filter_fn filter,
                                           void *user, vec_result *results) {
    if (db == nullptr || query == nullptr || results == nullptr || k == 0) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr) return DB_ERR_INVALID;
    return morvadb_vec_search_filtered(db->vectors, query, k, filter, user, results);
}

MORVADB_API int32_t db_vec_search_text_filtered(db_handle *db, const char *text, uint64_t length, int32_t k,
                                                vec_filter_fn filter, void *user, vec_result *results) {
    if (db == nullptr || text == nullptr || results == nullptr || k == 0) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (!morva::embedder_fits(db)) return DB_ERR_INVALID;
    return morva::with_embedding(db, text, length, [db, k, filter, user, results](const float *v) {
        return morvadb_vec_search_filtered(db->vectors, v, k, filter, user, results);
    });
}

MORVADB_API int32_t db_vec_delete(db_handle *db, uint64_t id) {
    if (db == nullptr) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr) return DB_ERR_INVALID;
    return morvadb_vec_delete(db->vectors, id);
}

MORVADB_API int32_t db_vec_count(db_handle *db) {
    if (db == nullptr) return 0;
    ReadGuard catalog(&db->catalog_lock);
    return db->vectors != nullptr ? morvadb_vec_count(db->vectors) : 0;
}

MORVADB_API int32_t db_vec_flush(db_handle *db) {
    if (db == nullptr) return DB_ERR_INVALID;
    ReadGuard catalog(&db->catalog_lock);
    if (db->vectors == nullptr) return DB_ERR_INVALID;
    return morvadb_vec_flush(db->vectors);
}

}  // extern "C"
