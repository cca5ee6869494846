// The vector store's C interface: creation and teardown, inserts, deletes,
// lookups, counts and explicit flushes. Searches are in store_search.cpp,
// the log in vec_wal.cpp, snapshots in vec_persist.cpp.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "util/sync.h"
#include "vector/hnsw.h"
#include "vector/store.h"
#include "vector/store_files.h"

namespace morva {

StoreImpl *new_store(const vec_config &config) {
    StoreImpl *s = new (std::nothrow) StoreImpl();
    if (!s) return nullptr;
    s->config = config;
    s->distance = vec_get_dist_func(config.metric);
    if (pthread_rwlock_init(&s->lock, nullptr) != 0) {
        delete s;
        return nullptr;
    }
    s->lock_ready = true;
    if (pthread_mutex_init(&s->thread_mutex, nullptr) != 0) {
        free_store(s);
        return nullptr;
    }
    s->thread_mutex_ready = true;
    return s;
}

void free_store(StoreImpl *s) {
    if (!s) return;
    if (s->log) std::fclose(s->log);
    unlock_directory(s);
    hnsw_destroy(s->graph);
    std::free(s->vectors);
    std::free(s->ids);
    std::free(s->deleted);
    std::free(s->path);
    if (s->lock_ready) pthread_rwlock_destroy(&s->lock);
    if (s->thread_mutex_ready) pthread_mutex_destroy(&s->thread_mutex);
    delete s;
}

void maybe_checkpoint(StoreImpl *s) {
    if (s->log_bytes >= kCheckpointLogBytes && s->path) checkpoint_locked(s);
}

namespace {

int32_t create_store(const char *path, const vec_config *config, vec_store **out) {
    StoreImpl *s = new_store(*config);
    if (!s) return -1;
    if (config->index_type == VEC_INDEX_HNSW) {
        uint32_t capacity = config->capacity ? config->capacity : static_cast<uint32_t>(kHnswDefaultCapacity);
        if (capacity > INT32_MAX || config->dimension > INT32_MAX || config->m > INT32_MAX) {
            free_store(s);
            return -5;
        }
        int32_t ef_c = static_cast<int32_t>(config->ef_construction), ef_s = static_cast<int32_t>(config->ef_search);
        int32_t rc = hnsw_create(static_cast<int32_t>(config->dimension), static_cast<int32_t>(config->m), ef_c, ef_s,
                                 static_cast<int32_t>(capacity), config->metric, &s->graph);
        if (rc != 0) {
            free_store(s);
            return rc;
        }
        s->uses_graph = 1;
    } else if (config->capacity != 0 && flat_allocate_exact(s, config->capacity) != 0) {
        free_store(s);
        return -1;
    }
    if (path && config->persist) {
        s->path = strdup(path);
        if (!s->path) {
            free_store(s);
            return -1;
        }
        mkdir(path, 0755);
        int32_t rc = lock_directory(s);
        if (rc == 0) rc = init_directory(s);
        if (rc != 0) {
            free_store(s);
            return rc;
        }
    }
    *out = s;
    return 0;
}

int32_t insert_one(StoreImpl *s, uint64_t id, const float *vector) {
    if (s->uses_graph) {
        int32_t rc = hnsw_insert(s->graph, id, vector);
        if (rc != 0) return rc;
        set_dirty(s, 1);
        rc = log_insert(s, id, vector);
        if (rc != 0) return rc;
    } else {
        bool appended = false;
        if (flat_put(s, id, vector, &appended) != 0) return -1;
        set_dirty(s, 1);
        int32_t rc = log_insert(s, id, vector);
        if (rc != 0) return rc;
    }
    maybe_checkpoint(s);
    return 0;
}

int32_t insert_batch(StoreImpl *s, uint32_t n, const uint64_t *ids, const float *vectors) {
    const size_t dim = s->config.dimension;
    if (s->uses_graph) {
        for (uint32_t j = 0; j < n; j++) {
            const float *v = vectors + static_cast<size_t>(j) * dim;
            int32_t rc = hnsw_insert(s->graph, ids[j], v);
            if (rc != 0) return rc;
            // Every vector that made it in must reach the next checkpoint,
            // even if a later one fails.
            set_dirty(s, 1);
            rc = log_insert(s, ids[j], v);
            if (rc != 0) return rc;
        }
        return 0;
    }
    if (flat_append_batch(s, n, ids, vectors) != 0) return -1;
    set_dirty(s, 1);
    for (uint32_t j = 0; j < n; j++) {
        int32_t rc = log_insert(s, ids[j], vectors + static_cast<size_t>(j) * dim);
        if (rc != 0) return rc;
    }
    return 0;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t morvadb_vec_create(const char *path, const vec_config *config, vec_store **out) {
    if (!config || !out || config->dimension == 0) return -5;
    try {
        return create_store(path, config, out);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_close(vec_store *store) {
    if (!store) return -5;
    StoreImpl *s = impl(store);
    stop_flush_thread(s);
    if (get_dirty(s) && s->path) morvadb_vec_flush(s);
    free_store(s);
    return 0;
}

MORVADB_API int32_t morvadb_vec_destroy(const char *path) {
    if (!path) return -5;
    remove_store_files(path);
    return 0;
}

MORVADB_API int32_t morvadb_vec_insert(vec_store *store, uint64_t id, const float *vector) {
    if (!store || !vector) return -5;
    StoreImpl *s = impl(store);
    WriteGuard guard(&s->lock);
    try {
        return insert_one(s, id, vector);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_insert_batch(vec_store *store, uint32_t n, const uint64_t *ids, const float *vectors) {
    if (!store || !ids || !vectors || n == 0) return -5;
    StoreImpl *s = impl(store);
    WriteGuard guard(&s->lock);
    try {
        return insert_batch(s, n, ids, vectors);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_delete(vec_store *store, uint64_t id) {
    if (!store) return -5;
    StoreImpl *s = impl(store);
    WriteGuard guard(&s->lock);
    if (s->uses_graph) {
        if (hnsw_delete(s->graph, id) != 0) return -2;
    } else if (!flat_delete(s, id)) {
        return -2;
    }
    set_dirty(s, 1);
    return log_delete(s, id);
}

MORVADB_API int32_t morvadb_vec_get(vec_store *store, uint64_t id, float *out) {
    if (!store || !out) return -5;
    StoreImpl *s = impl(store);
    ReadGuard guard(&s->lock);
    if (s->uses_graph) return hnsw_get(s->graph, id, out) == 0 ? 0 : -2;
    uint64_t slot = flat_find(s, id);
    if (slot == IdIndex::kNone) return -2;
    std::memcpy(out, s->vectors + slot * s->config.dimension, static_cast<size_t>(s->config.dimension) * sizeof(float));
    return 0;
}

MORVADB_API int32_t morvadb_vec_count(vec_store *store) {
    if (!store) return 0;
    ReadGuard guard(&store->lock);
    uint64_t count = store->uses_graph ? static_cast<uint64_t>(hnsw_count(store->graph)) : store->count;
    return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count);
}

MORVADB_API uint32_t morvadb_vec_dimension(vec_store *store) { return store ? store->config.dimension : 0; }

MORVADB_API int32_t morvadb_vec_stats(vec_store *store, vec_stats *out) {
    if (!store || !out) return -5;
    ReadGuard guard(&store->lock);
    out->dimension = store->config.dimension;
    if (store->uses_graph) {
        out->count = static_cast<uint64_t>(hnsw_count(store->graph));
        out->capacity = 0;
        out->memory_bytes = sizeof(vec_store) + sizeof(hnsw_index);
    } else {
        out->count = store->count;
        out->capacity = store->capacity;
        out->memory_bytes = sizeof(vec_store) + store->capacity * (4 * uint64_t{store->config.dimension} + 9);
    }
    return 0;
}

MORVADB_API int32_t morvadb_vec_flush(vec_store *store) {
    if (!store || !store->path) return -5;
    StoreImpl *s = impl(store);
    WriteGuard guard(&s->lock);
    try {
        return checkpoint_locked(s);
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
