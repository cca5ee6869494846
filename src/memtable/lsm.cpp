// The memtable pair: the active memtable takes every write; a full one is
// rotated into the flushing slot, where it waits for the owner to write it
// to a level-0 table. No locking of its own: the database handle's
// memtable_lock guards every call.
#include <cstdlib>
#include <cstring>

#include "morvadb.h"

namespace {

// Recreates the active memtable after a rotation could not; the flushing
// memtable is left in place because it may still hold unwritten records.
int32_t ensure_active(lsm *l) {
    if (l->active != nullptr) return DB_OK;
    l->active = memtable_create(l->memtable_limit);
    return l->active != nullptr ? DB_OK : DB_ERR_NOMEM;
}

// Rotates a full active memtable before a write, so that the write lands
// in a memtable with room.
int32_t prepare_write(lsm *l) {
    int32_t st = ensure_active(l);
    if (st != DB_OK) return st;
    return memtable_is_full(l->active) ? lsm_flush(l) : DB_OK;
}

// One memtable's answer: live (DB_OK), deleted (tombstone set) or absent.
int32_t lookup(const memtable *mt, const void *key, uint64_t key_len, const uint8_t **value,
               uint64_t *value_len, bool *tombstone) {
    *tombstone = false;
    if (mt == nullptr) return DB_ERR_NOT_FOUND;
    const uint8_t *v = nullptr;
    uint64_t len = 0;
    int32_t tomb = 0;
    int32_t st = memtable_get(mt, key, key_len, &v, &len, &tomb);
    if (st == DB_OK) {
        if (value != nullptr) *value = v;
        if (value_len != nullptr) *value_len = len;
    } else if (st == DB_ERR_NOT_FOUND && tomb) {
        *tombstone = true;
    }
    return st;
}

}  // namespace

extern "C" MORVADB_API lsm *lsm_create(const char *path, uint64_t memtable_limit) {
    auto *l = static_cast<lsm *>(std::calloc(1, sizeof(lsm)));
    if (l == nullptr) return nullptr;
    l->path = strdup(path != nullptr ? path : "");
    l->memtable_limit = memtable_limit;
    l->active = memtable_create(memtable_limit);
    l->flushing = nullptr;
    l->next_seq = 0;
    if (l->path == nullptr || l->active == nullptr) {
        lsm_destroy(l);
        return nullptr;
    }
    return l;
}

extern "C" MORVADB_API void lsm_destroy(lsm *l) {
    if (l == nullptr) return;
    memtable_destroy(l->active);
    memtable_destroy(l->flushing);
    std::free(l->path);
    std::free(l);
}

extern "C" MORVADB_API int32_t lsm_put(lsm *l, uint64_t /*table_id*/, const void *key, uint64_t key_len,
                                       const void *value, uint64_t value_len) {
    if (l == nullptr) return DB_ERR_INVALID;
    int32_t st = prepare_write(l);
    if (st != DB_OK) return st;
    return memtable_put(l->active, 0, key, key_len, value, value_len);
}

extern "C" MORVADB_API int32_t lsm_delete(lsm *l, uint64_t /*table_id*/, const void *key, uint64_t key_len) {
    if (l == nullptr) return DB_ERR_INVALID;
    int32_t st = prepare_write(l);
    if (st != DB_OK) return st;
    return memtable_delete(l->active, 0, key, key_len);
}

extern "C" MORVADB_API int32_t lsm_get(lsm *l, uint64_t /*table_id*/, const void *key, uint64_t key_len,
                                       const uint8_t **value, uint64_t *value_len) {
    if (l == nullptr || (key == nullptr && key_len != 0)) return DB_ERR_INVALID;
    bool tombstone;
    // The newest memtable decides: a tombstone there hides older values.
    int32_t st = lookup(l->active, key, key_len, value, value_len, &tombstone);
    if (st == DB_OK || tombstone) return st;
    return lookup(l->flushing, key, key_len, value, value_len, &tombstone);
}

extern "C" MORVADB_API int32_t lsm_flush(lsm *l) {
    if (l == nullptr) return DB_ERR_INVALID;
    // With no active memtable (a previous rotation ran out of memory) the
    // flushing slot holds the last rotated memtable, still unwritten: keep it
    // and only recreate the active one.
    if (l->active == nullptr) return ensure_active(l);
    memtable_destroy(l->flushing);
    l->flushing = l->active;
    l->active = memtable_create(l->memtable_limit);
    return l->active != nullptr ? DB_OK : DB_ERR_NOMEM;
}

extern "C" MORVADB_API int lsm_is_full(const lsm *l) { return l != nullptr ? memtable_is_full(l->active) : 0; }

extern "C" MORVADB_API int lsm_has_data(const lsm *l) {
    return (l != nullptr && memtable_size(l->active) != 0) ? 1 : 0;
}

extern "C" MORVADB_API uint64_t lsm_next_seq(lsm *l) { return l != nullptr ? l->next_seq++ : 0; }

extern "C" MORVADB_API int32_t lsm_iterate_flushing(lsm *l, memtable_iter_fn callback, void *context) {
    if (l == nullptr || callback == nullptr || l->flushing == nullptr) return DB_ERR_INVALID;
    return memtable_iterate(l->flushing, callback, context);
}

extern "C" MORVADB_API memtable *lsm_get_active(lsm *l) { return l != nullptr ? l->active : nullptr; }

extern "C" MORVADB_API memtable *lsm_get_flushing(lsm *l) { return l != nullptr ? l->flushing : nullptr; }

extern "C" MORVADB_API void lsm_destroy_flushing(lsm *l) {
    if (l == nullptr) return;
    memtable_destroy(l->flushing);
    l->flushing = nullptr;
}
