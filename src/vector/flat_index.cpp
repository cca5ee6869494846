// The flat index: parallel arrays of vectors, ids and deleted flags, filled
// in slot order and never compacted while the store is open. The id index
// beside them finds the first live slot of an id without a scan.
#include <cstdlib>
#include <cstring>

#include "util/coding.h"
#include "vector/store.h"

namespace morva {
namespace {

// Resizes the three arrays to `slots`. On failure the arrays that did grow
// keep their old contents and `capacity` is unchanged, so the store stays
// exactly as it was.
int32_t resize_arrays(StoreImpl *s, uint64_t slots) {
    uint64_t dim = s->config.dimension, vector_bytes, id_bytes;
    if (mul_overflows(slots, dim, &vector_bytes) || mul_overflows(vector_bytes, sizeof(float), &vector_bytes) ||
        mul_overflows(slots, sizeof(uint64_t), &id_bytes) || vector_bytes > PTRDIFF_MAX || id_bytes > PTRDIFF_MAX)
        return -1;
    float *vectors = static_cast<float *>(std::realloc(s->vectors, vector_bytes ? vector_bytes : 1));
    if (!vectors) return -1;
    s->vectors = vectors;
    uint64_t *ids = static_cast<uint64_t *>(std::realloc(s->ids, id_bytes ? id_bytes : 1));
    if (!ids) return -1;
    s->ids = ids;
    uint8_t *deleted = static_cast<uint8_t *>(std::realloc(s->deleted, slots ? slots : 1));
    if (!deleted) return -1;
    s->deleted = deleted;
    if (slots > s->capacity) {
        uint64_t added = slots - s->capacity;
        std::memset(s->vectors + s->capacity * dim, 0, added * dim * sizeof(float));
        std::memset(s->ids + s->capacity, 0, added * sizeof(uint64_t));
        std::memset(s->deleted + s->capacity, 0, added);
    }
    s->capacity = slots;
    return 0;
}

float *slot_vector(StoreImpl *s, uint64_t slot) { return s->vectors + slot * s->config.dimension; }

}  // namespace

int32_t flat_allocate_exact(StoreImpl *s, uint64_t slots) { return resize_arrays(s, slots); }

int32_t flat_reserve(StoreImpl *s, uint64_t need) {
    if (need <= s->capacity) return 0;
    const uint64_t dim = s->config.dimension;
    uint64_t slots = s->capacity;
    while (slots < need) {
        if (slots == 0) {
            slots = first_slots_for(dim);
            continue;
        }
        // Doubling past this bound would make capacity x dimension wrap.
        if (slots >= ((uint64_t{1} << 62) - 1) / dim) return -1;
        slots *= 2;
    }
    return resize_arrays(s, slots);
}

uint64_t flat_find(StoreImpl *s, uint64_t id) { return s->flat_ids.find(id); }

int32_t flat_put(StoreImpl *s, uint64_t id, const float *vector, bool *appended) {
    const size_t dim = s->config.dimension;
    uint64_t slot = s->flat_ids.find(id);
    if (slot != IdIndex::kNone) {
        std::memmove(slot_vector(s, slot), vector, dim * sizeof(float));
        *appended = false;
        return 0;
    }
    if (s->count == UINT64_MAX || flat_reserve(s, s->count + 1) != 0 || !s->flat_ids.reserve(1)) return -1;
    slot = s->count;
    std::memcpy(slot_vector(s, slot), vector, dim * sizeof(float));
    s->ids[slot] = id;
    s->deleted[slot] = 0;
    s->count++;
    s->flat_live++;
    s->flat_ids.add(id, slot);
    *appended = true;
    return 0;
}

int32_t flat_append_batch(StoreImpl *s, uint32_t n, const uint64_t *ids, const float *vectors) {
    const size_t dim = s->config.dimension;
    if (s->count > UINT64_MAX - n || flat_reserve(s, s->count + n) != 0 || !s->flat_ids.reserve(n)) return -1;
    std::memcpy(slot_vector(s, s->count), vectors, static_cast<size_t>(n) * dim * sizeof(float));
    std::memcpy(s->ids + s->count, ids, static_cast<size_t>(n) * sizeof(uint64_t));
    std::memset(s->deleted + s->count, 0, n);
    for (uint32_t j = 0; j < n; j++) s->flat_ids.add(ids[j], s->count + j);
    s->count += n;
    s->flat_live += n;
    return 0;
}

bool flat_delete(StoreImpl *s, uint64_t id) {
    uint64_t slot = s->flat_ids.find(id);
    if (slot == IdIndex::kNone) return false;
    s->deleted[slot] = 1;
    s->flat_live--;
    if (s->flat_ids.remove_first(id) > 0) {
        // Another live slot shares the id (appended by a batch): it lies
        // after this one, so the next first live slot is found forward.
        for (uint64_t j = slot + 1; j < s->count; j++) {
            if (s->ids[j] == id && !s->deleted[j]) {
                s->flat_ids.set_first(id, j);
                break;
            }
        }
    }
    return true;
}

int32_t flat_reindex(StoreImpl *s) {
    s->flat_ids.clear();
    s->flat_live = 0;
    if (!s->flat_ids.reserve(s->count)) return -1;
    for (uint64_t j = 0; j < s->count; j++) {
        if (s->deleted[j]) continue;
        s->flat_ids.add(s->ids[j], j);
        s->flat_live++;
    }
    return 0;
}

}  // namespace morva
