// The database quantized index: a quantizer on a handle with a private
// in-memory copy of every vector inserted through it, searched exhaustively
// by quantized distance. catalog_lock guards the quantizer and the stored
// arrays: exclusively to change them, shared to search and decode (encode,
// decode and distance only read a trained quantizer).
//
// The stored arrays are malloc'd: the handle's close frees them with free().
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "db/handle.h"
#include "morvadb.h"
#include "util/coding.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr uint32_t kInitialQuantSlots = 4096;

void drop_quantizer(db_handle *db) {
    morvadb_quant_destroy(db->quant);
    std::free(db->quant_vectors);
    std::free(db->quant_ids);
    db->quant = nullptr;
    db->quant_vectors = nullptr;
    db->quant_ids = nullptr;
    db->quant_count = 0;
    db->quant_capacity = 0;
}

// Bytes of `slots` vectors of the quantizer's dimension, or false on overflow.
bool vector_bytes(const db_handle *db, uint64_t slots, uint64_t *bytes) {
    uint64_t floats;
    return !mul_overflows(slots, db->quant->dimension, &floats) && !mul_overflows(floats, sizeof(float), bytes) &&
           *bytes <= SIZE_MAX;
}

int32_t create(db_handle *db, const quant_config &given) {
    WriteGuard catalog(&db->catalog_lock);
    drop_quantizer(db);
    quant_config config = given;
    if (config.dimension == 0 && db->vectors != nullptr)
        config.dimension = static_cast<int32_t>(morvadb_vec_dimension(db->vectors));
    quantizer *q = nullptr;
    if (morvadb_quant_create(&config, &q) != 0) return DB_ERR_NOMEM;
    db->quant = q;
    uint64_t bytes = 0;
    if (vector_bytes(db, kInitialQuantSlots, &bytes)) {
        db->quant_vectors = static_cast<float *>(std::calloc(1, static_cast<size_t>(bytes)));
        db->quant_ids = static_cast<uint64_t *>(std::calloc(kInitialQuantSlots, sizeof(uint64_t)));
    }
    if (db->quant_vectors == nullptr || db->quant_ids == nullptr) {
        drop_quantizer(db);
        return DB_ERR_NOMEM;
    }
    db->quant_capacity = kInitialQuantSlots;
    return DB_OK;
}

// Doubles both arrays; each grown array stays in use, the capacity moves
// only once both have grown, so a failure leaves the stored entries intact.
bool grow(db_handle *db) {
    if (db->quant_capacity > UINT32_MAX / 2) return false;
    uint32_t wanted = db->quant_capacity * 2;
    uint64_t bytes = 0;
    if (!vector_bytes(db, wanted, &bytes)) return false;
    auto *vectors = static_cast<float *>(std::realloc(db->quant_vectors, static_cast<size_t>(bytes)));
    if (vectors == nullptr) return false;
    db->quant_vectors = vectors;
    auto *ids = static_cast<uint64_t *>(std::realloc(db->quant_ids, static_cast<size_t>(wanted) * sizeof(uint64_t)));
    if (ids == nullptr) return false;
    db->quant_ids = ids;
    db->quant_capacity = wanted;
    return true;
}

int32_t insert(db_handle *db, uint64_t id, const float *vector) {
    WriteGuard catalog(&db->catalog_lock);
    if (db->quant == nullptr) return DB_ERR_INVALID;
    if (db->quant_count >= db->quant_capacity && !grow(db)) return DB_ERR_NOMEM;
    const size_t dim = db->quant->dimension;
    std::memcpy(db->quant_vectors + static_cast<size_t>(db->quant_count) * dim, vector, dim * sizeof(float));
    db->quant_ids[db->quant_count] = id;
    ++db->quant_count;
    if (db->vectors != nullptr) morvadb_vec_insert(db->vectors, id, vector);  // its status is not reported
    return DB_OK;
}

struct Hit {
    float distance;
    uint32_t position;
};

int32_t search(db_handle *db, const float *query, uint32_t k, vec_result *results) {
    ReadGuard catalog(&db->catalog_lock);
    const quantizer *q = db->quant;
    if (q == nullptr) return DB_ERR_INVALID;
    const uint32_t n = db->quant_count;
    if (n == 0) return 0;
    const size_t code_size = morvadb_quant_code_size(q);
    const size_t dim = q->dimension;
    std::vector<uint8_t> query_code, code;
    std::vector<Hit> hits;
    try {
        query_code.resize(code_size);
        code.resize(code_size);
        hits.resize(n);
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
    // An untrained quantizer has no codes to compare: refuse instead of
    // ranking by unfilled buffers.
    if (morvadb_quant_encode(q, query, query_code.data(), nullptr) != 0) return DB_ERR_INVALID;
    for (uint32_t i = 0; i < n; ++i) {
        morvadb_quant_encode(q, db->quant_vectors + static_cast<size_t>(i) * dim, code.data(), nullptr);
        hits[i] = Hit{morvadb_quant_distance(q, query_code.data(), code_size, code.data(), code_size), i};
    }
    // Nearest first; equal distances in insertion order.
    const uint32_t count = std::min(n, k);
    std::partial_sort(hits.begin(), hits.begin() + count, hits.end(), [](const Hit &a, const Hit &b) {
        return a.distance < b.distance || (a.distance == b.distance && a.position < b.position);
    });
    for (uint32_t i = 0; i < count; ++i) results[i] = vec_result{db->quant_ids[hits[i].position], hits[i].distance};
    return static_cast<int32_t>(count);
}

int32_t decode(db_handle *db, uint64_t id, float *out) {
    ReadGuard catalog(&db->catalog_lock);
    const quantizer *q = db->quant;
    if (q == nullptr) return DB_ERR_INVALID;
    uint32_t i = 0;
    while (i < db->quant_count && db->quant_ids[i] != id) ++i;
    if (i == db->quant_count) return DB_ERR_NOT_FOUND;
    std::vector<uint8_t> code;
    try {
        code.resize(morvadb_quant_code_size(q));
    } catch (const std::bad_alloc &) {
        return DB_ERR_NOMEM;
    }
    const float *vector = db->quant_vectors + static_cast<size_t>(i) * q->dimension;
    if (morvadb_quant_encode(q, vector, code.data(), nullptr) != 0) return DB_ERR_INVALID;  // untrained
    if (morvadb_quant_decode(q, code.data(), code.size(), out) != 0) return DB_ERR_INVALID;
    return DB_OK;
}

}  // namespace
}  // namespace morva

extern "C" {

MORVADB_API int32_t db_vec_quant_create(db_handle *db, const quant_config *config) {
    if (db == nullptr || config == nullptr) return DB_ERR_INVALID;
    return morva::create(db, *config);
}

MORVADB_API void db_vec_quant_destroy(db_handle *db) {
    if (db == nullptr) return;
    morva::WriteGuard catalog(&db->catalog_lock);
    morva::drop_quantizer(db);
}

MORVADB_API int32_t db_vec_quant_train(db_handle *db, const float *vectors, int32_t n) {
    if (db == nullptr || vectors == nullptr || n == 0) return DB_ERR_INVALID;
    if (n < 0) return DB_ERR_INVALID;
    morva::WriteGuard catalog(&db->catalog_lock);
    if (db->quant == nullptr) return DB_ERR_INVALID;
    return morvadb_quant_train(db->quant, vectors, static_cast<uint32_t>(n)) == 0 ? DB_OK : DB_ERR_IO;
}

MORVADB_API int32_t db_vec_quant_insert(db_handle *db, uint64_t id, const float *vector) {
    if (db == nullptr || vector == nullptr) return DB_ERR_INVALID;
    return morva::insert(db, id, vector);
}

MORVADB_API int32_t db_vec_quant_search(db_handle *db, const float *query, uint32_t k, vec_result *results) {
    if (db == nullptr || query == nullptr || results == nullptr || k == 0) return DB_ERR_INVALID;
    try {
        return morva::search(db, query, k, results);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

MORVADB_API int32_t db_vec_quant_decode(db_handle *db, uint64_t id, float *out) {
    if (db == nullptr || out == nullptr) return DB_ERR_INVALID;
    return morva::decode(db, id, out);
}

}  // extern "C"
