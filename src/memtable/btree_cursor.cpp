// Snapshot cursors over a B-tree. A cursor copies every entry at creation
// so that it stays usable after the tree changes or is destroyed. The
// copies of all keys and values share one block (sized by a first pass over
// the leaves) and the entry array is sized exactly, so creating a cursor
// costs three allocations whatever the tree's size.
#include <cstdlib>

#include "memtable/btree.h"
#include "util/coding.h"

namespace morva {
namespace {

// Bytes needed to copy every key and value; false when the total does not
// fit in memory or the snapshot would exceed the int32 entry count.
bool measure_tree(const btree *tree, uint64_t *bytes, int32_t *count) {
    uint64_t total = 0;
    uint64_t entries = 0;
    for (BTreeIterator it(tree); it.valid(); it.next()) {
        ++entries;
        if (add_overflows(total, it.key_len(), &total)) return false;
        // A value stored as null has no bytes to copy, whatever its length.
        if (it.value() != nullptr && add_overflows(total, it.value_len(), &total)) return false;
    }
    if (entries > static_cast<uint64_t>(INT32_MAX)) return false;
    *bytes = total;
    *count = static_cast<int32_t>(entries);
    return true;
}

// Copies the tree's entries into the cursor's entry array and block.
void fill_snapshot(const btree *tree, btree_cursor *cursor) {
    auto *out = static_cast<uint8_t *>(cursor->storage);
    int32_t i = 0;
    for (BTreeIterator it(tree); it.valid(); it.next(), ++i) {
        btree_entry &e = cursor->entries[i];
        std::memcpy(out, it.key(), it.key_len());
        e.key = out;
        e.key_len = it.key_len();
        out += it.key_len();
        e.value_len = it.value_len();
        if (it.value() == nullptr) {
            e.value = nullptr;
        } else {
            if (it.value_len() != 0) std::memcpy(out, it.value(), it.value_len());
            e.value = out;
            out += it.value_len();
        }
    }
}

btree_cursor *create_cursor(const btree *tree) {
    uint64_t bytes = 0;
    int32_t count = 0;
    if (!measure_tree(tree, &bytes, &count)) return nullptr;

    auto *cursor = static_cast<btree_cursor *>(std::calloc(1, sizeof(btree_cursor)));
    if (cursor == nullptr) return nullptr;
    cursor->entries = static_cast<btree_entry *>(std::calloc(count == 0 ? 1 : count, sizeof(btree_entry)));
    cursor->storage = std::malloc(bytes == 0 ? 1 : bytes);
    if (cursor->entries == nullptr || cursor->storage == nullptr) {
        btree_cursor_destroy(cursor);
        return nullptr;
    }
    cursor->entry_count = count;
    fill_snapshot(tree, cursor);
    return cursor;
}

// Index of the first snapshot entry whose key is not smaller than key.
int32_t lower_bound(const btree_cursor *cursor, const uint8_t *key, uint64_t key_len) {
    int32_t low = 0;
    int32_t high = cursor->entry_count;
    while (low < high) {
        const int32_t mid = low + (high - low) / 2;
        const btree_entry &e = cursor->entries[mid];
        if (btree_compare_keys(e.key, e.key_len, key, key_len) < 0) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    return low;
}

} // namespace
} // namespace morva

extern "C" MORVADB_API btree_cursor *btree_cursor_create(btree *tree) {
    if (tree == nullptr) return nullptr;
    return morva::create_cursor(tree);
}

extern "C" MORVADB_API int32_t btree_cursor_seek(btree_cursor *cursor, const void *key, uint64_t key_len) {
    if (cursor == nullptr) return DB_ERR_INVALID;
    cursor->position = key == nullptr ? 0 : morva::lower_bound(cursor, static_cast<const uint8_t *>(key), key_len);
    return DB_OK;
}

extern "C" MORVADB_API int32_t btree_cursor_next(btree_cursor *cursor, btree_entry *out) {
    if (cursor == nullptr || out == nullptr) return DB_ERR_INVALID;
    if (cursor->position < 0 || cursor->position >= cursor->entry_count) return DB_ERR_NOT_FOUND;
    *out = cursor->entries[cursor->position];
    ++cursor->position;
    return DB_OK;
}

extern "C" MORVADB_API void btree_cursor_destroy(btree_cursor *cursor) {
    if (cursor == nullptr) return;
    std::free(cursor->storage);
    std::free(cursor->entries);
    std::free(cursor);
}
