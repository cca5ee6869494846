// The quantized vector index of a database handle (db_vec_quant_*): a
// quantizer with a full-precision copy of every vector inserted through it,
// searched exhaustively by quantized distance.
//
// Locking: catalog_lock guards the handle's quant* fields and the code
// cache. Create, destroy, train and insert hold it exclusively; search and
// decode hold it shared, so any number of them run together.
//
// Code cache (db_private::quant_codes): while the quantizer is trained it
// holds the code of every stored vector, quant_count x code size bytes in
// insertion order, and it is empty while the quantizer is untrained. Codes
// depend only on the vector and the quantizer's parameters, which change
// only in training, so the cache is rebuilt after every training and
// extended by every insert; searches then encode only the query and give
// the same results as encoding every stored vector again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "db/handle.h"
#include "quant/nearest_selection.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr uint32_t kInitialSlots = 4096;
// Hit counts are returned as int32, so the store stops doubling here.
constexpr uint32_t kMaxSlots = 1u << 30;

std::vector<uint8_t> &code_cache(db_handle *db) { return db->internal->quant_codes; }

// Releases the quantizer, the stored entries and their codes. Caller holds
// catalog_lock exclusively.
void drop_index(db_handle *db) {
    morvadb_quant_destroy(db->quant);
    db->quant = nullptr;
    std::free(db->quant_vectors);
    std::free(db->quant_ids);
    db->quant_vectors = nullptr;
    db->quant_ids = nullptr;
    db->quant_count = 0;
    db->quant_capacity = 0;
    std::vector<uint8_t>().swap(code_cache(db));
}

// The cache is complete: one code per stored vector. With a trained
// quantizer this always holds; with an untrained one only while nothing is
// stored.
bool codes_ready(db_handle *db, size_t code_size) {
    return code_size > 0 && code_cache(db).size() == static_cast<size_t>(db->quant_count) * code_size;
}

// Encodes every stored vector into `codes` (already quant_count x code size
// bytes) and installs it as the cache; an untrained quantizer leaves the
// cache empty instead. Allocates nothing.
void rebuild_codes(db_handle *db, std::vector<uint8_t> codes) {
    const quantizer *q = db->quant;
    const size_t code_size = morvadb_quant_code_size(q);
    for (uint32_t i = 0; i < db->quant_count; ++i) {
        const float *vector = db->quant_vectors + static_cast<size_t>(i) * q->dimension;
        if (morvadb_quant_encode(q, vector, codes.data() + i * code_size, nullptr) != 0) {
            codes.clear();
            break;
        }
    }
    code_cache(db).swap(codes);
}

// Doubles the room for stored vectors and ids. On failure the entries are
// unchanged (an array that did grow keeps the old contents) and the
// capacity stays.
int32_t grow(db_handle *db) {
    const uint32_t capacity = db->quant_capacity == 0 ? kInitialSlots : db->quant_capacity * 2;
    if (capacity > kMaxSlots || capacity <= db->quant_capacity) return DB_ERR_NOMEM;
    const size_t dimension = db->quant->dimension;
    if (dimension > SIZE_MAX / sizeof(float) / capacity) return DB_ERR_NOMEM;
    const size_t old_floats = static_cast<size_t>(db->quant_capacity) * dimension;
    const size_t new_floats = static_cast<size_t>(capacity) * dimension;

    auto *vectors = static_cast<float *>(std::realloc(db->quant_vectors, new_floats * sizeof(float)));
    if (!vectors) return DB_ERR_NOMEM;
    db->quant_vectors = vectors;
    auto *ids = static_cast<uint64_t *>(std::realloc(db->quant_ids, capacity * sizeof(uint64_t)));
    if (!ids) return DB_ERR_NOMEM;
    db->quant_ids = ids;
    // Hosts may read the arrays up to the capacity; keep the unused room
    // zeroed as it is after creation.
    std::memset(vectors + old_floats, 0, (new_floats - old_floats) * sizeof(float));
    std::memset(ids + db->quant_capacity, 0, (capacity - db->quant_capacity) * sizeof(uint64_t));
    db->quant_capacity = capacity;
    return DB_OK;
}

int32_t create_index(db_handle *db, const quant_config &config) {
    WriteGuard guard(&db->catalog_lock);
    drop_index(db);

    quant_config effective = config;
    if (effective.dimension == 0 && db->vectors) {
        const uint32_t store_dimension = morvadb_vec_dimension(db->vectors);
        if (store_dimension <= INT32_MAX) effective.dimension = static_cast<int32_t>(store_dimension);
    }
    quantizer *q = nullptr;
    if (morvadb_quant_create(&effective, &q) != 0) return DB_ERR_NOMEM;

    // calloc refuses a product that overflows.
    auto *vectors = static_cast<float *>(std::calloc(static_cast<size_t>(kInitialSlots) * q->dimension, sizeof(float)));
    auto *ids = static_cast<uint64_t *>(std::calloc(kInitialSlots, sizeof(uint64_t)));
    if (!vectors || !ids) {
        std::free(vectors);
        std::free(ids);
        morvadb_quant_destroy(q);
        return DB_ERR_NOMEM;
    }
    db->quant = q;
    db->quant_vectors = vectors;
    db->quant_ids = ids;
    db->quant_count = 0;
    db->quant_capacity = kInitialSlots;
    return DB_OK;
}

void destroy_index(db_handle *db) {
    WriteGuard guard(&db->catalog_lock);
    drop_index(db);
}

int32_t train(db_handle *db, const float *vectors, uint32_t n) {
    WriteGuard guard(&db->catalog_lock);
    if (!db->quant) return DB_ERR_INVALID;
    // Room for the new codes is taken before training, so a quantizer with
    // new parameters always gets codes to match (bad_alloc here leaves
    // everything as it was).
    std::vector<uint8_t> codes(static_cast<size_t>(db->quant_count) * morvadb_quant_code_size(db->quant));
    const int32_t status = morvadb_quant_train(db->quant, vectors, n);
    // Rebuilt on failure too: a failed training may still have replaced
    // some parameters.
    rebuild_codes(db, std::move(codes));
    return status == 0 ? DB_OK : DB_ERR_IO;
}

int32_t insert(db_handle *db, uint64_t id, const float *vector) {
    WriteGuard guard(&db->catalog_lock);
    const quantizer *q = db->quant;
    if (!q) return DB_ERR_INVALID;
    if (db->quant_count >= db->quant_capacity) {
        const int32_t status = grow(db);
        if (status != DB_OK) return status;
    }

    // While the quantizer is trained the new vector's code joins the cache;
    // its room is taken before any entry changes.
    std::vector<uint8_t> &codes = code_cache(db);
    const size_t code_size = morvadb_quant_code_size(q);
    if (codes_ready(db, code_size)) {
        const size_t used = codes.size();
        try {
            codes.resize(used + code_size);
        } catch (const std::bad_alloc &) {
            return DB_ERR_NOMEM;
        }
        if (morvadb_quant_encode(q, vector, codes.data() + used, nullptr) != 0) codes.resize(used);
    }

    const size_t dimension = q->dimension;
    std::memcpy(db->quant_vectors + static_cast<size_t>(db->quant_count) * dimension, vector,
                dimension * sizeof(float));
    db->quant_ids[db->quant_count] = id;
    db->quant_count++;

    // The store reads vectors of its own dimension: a vector of another
    // length is kept here but not forwarded.
    if (db->vectors && morvadb_vec_dimension(db->vectors) == q->dimension) {
        morvadb_vec_insert(db->vectors, id, vector);
    }
    return DB_OK;
}

int32_t search(db_handle *db, const float *query, uint32_t k, vec_result *results) {
    ReadGuard guard(&db->catalog_lock);
    const quantizer *q = db->quant;
    if (!q) return DB_ERR_INVALID;
    const uint32_t count = db->quant_count;
    if (count == 0) return 0;
    // Stored vectors without codes mean an untrained quantizer: there is
    // nothing to rank them by.
    const size_t code_size = morvadb_quant_code_size(q);
    if (!codes_ready(db, code_size)) return DB_ERR_INVALID;

    std::unique_ptr<uint8_t[]> query_code(new (std::nothrow) uint8_t[code_size]);
    std::unique_ptr<float[]> distances(new (std::nothrow) float[count]);
    if (!query_code || !distances) return DB_ERR_NOMEM;
    if (morvadb_quant_encode(q, query, query_code.get(), nullptr) != 0) return DB_ERR_INVALID;

    const uint8_t *codes = code_cache(db).data();
    for (uint32_t i = 0; i < count; ++i) {
        distances[i] = morvadb_quant_distance(q, query_code.get(), code_size, codes + static_cast<size_t>(i) * code_size,
                                              code_size);
    }
    return static_cast<int32_t>(select_nearest(distances.get(), db->quant_ids, count, k, results));
}

int32_t decode(db_handle *db, uint64_t id, float *out) {
    ReadGuard guard(&db->catalog_lock);
    const quantizer *q = db->quant;
    if (!q) return DB_ERR_INVALID;
    uint32_t slot = 0;
    while (slot < db->quant_count && db->quant_ids[slot] != id) ++slot;
    if (slot == db->quant_count) return DB_ERR_NOT_FOUND;
    const size_t code_size = morvadb_quant_code_size(q);
    if (!codes_ready(db, code_size)) return DB_ERR_INVALID;
    const uint8_t *code = code_cache(db).data() + static_cast<size_t>(slot) * code_size;
    return morvadb_quant_decode(q, code, code_size, out) == 0 ? DB_OK : DB_ERR_INVALID;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t db_vec_quant_create(db_handle *db, const quant_config *config) {
    if (!db || !config) return DB_ERR_INVALID;
    try {
        return create_index(db, *config);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

MORVADB_API void db_vec_quant_destroy(db_handle *db) {
    if (db) destroy_index(db);
}

MORVADB_API int32_t db_vec_quant_train(db_handle *db, const float *vectors, int32_t n) {
    if (!db || !vectors || n <= 0) return DB_ERR_INVALID;
    try {
        return train(db, vectors, static_cast<uint32_t>(n));
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

MORVADB_API int32_t db_vec_quant_insert(db_handle *db, uint64_t id, const float *vector) {
    if (!db || !vector) return DB_ERR_INVALID;
    try {
        return insert(db, id, vector);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

MORVADB_API int32_t db_vec_quant_search(db_handle *db, const float *query, uint32_t k, vec_result *results) {
    if (!db || !query || !results || k == 0) return DB_ERR_INVALID;
    try {
        return search(db, query, k, results);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

MORVADB_API int32_t db_vec_quant_decode(db_handle *db, uint64_t id, float *out) {
    if (!db || !out) return DB_ERR_INVALID;
    try {
        return decode(db, id, out);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

}  // extern "C"
