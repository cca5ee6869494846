// Flush routine, the sequence file P.seq and the checkpoint writer.
#include "db/flush.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "db/handle.h"
#include "memtable/btree.h"
#include "memtable/memtable.h"
#include "util/coding.h"
#include "util/sync.h"

namespace morva {
namespace {

constexpr size_t kSequenceFileSize = 8;

void sequence_file_path(char *buffer, const char *prefix) { format_path(buffer, prefix, ".seq"); }

// Records the number of the last level-0 table. Not synced: a lost update
// is harmless because numbering also continues above the files on disk.
void write_sequence_file(const char *prefix, uint64_t number) {
    char path[kPathBufferSize];
    sequence_file_path(path, prefix);
    UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) return;
    uint8_t bytes[kSequenceFileSize];
    put_u64(bytes, number);
    ssize_t written = ::write(fd.get(), bytes, sizeof bytes);
    (void)written;
}

struct TableWriteContext {
    sstable_writer *writer;
};

int32_t add_memtable_entry(const memtable_entry *e, void *ctx) {
    auto *c = static_cast<TableWriteContext *>(ctx);
    uint8_t flags = e->tombstone ? SSTABLE_FLAG_TOMBSTONE : SSTABLE_FLAG_VALUE;
    return sstable_writer_add(c->writer, e->key, e->key_len, e->value, e->value_len, flags);
}

// Applies one memtable node to the B-tree: a tombstone removes the key.
int32_t apply_node(btree *tree, const memtable_node *n) {
    if (n->tombstone) {
        int32_t st = btree_delete(tree, node_key(n), n->key_len);
        return st == DB_ERR_NOT_FOUND ? DB_OK : st;
    }
    return btree_upsert(tree, node_key(n), n->key_len, node_value(n), n->value_len);
}

// Nodes applied to the B-tree per hold of store_lock when the flush takes
// the locks itself: a memtable of a few MiB holds tens of thousands of
// entries, and lookups should not wait for all of them at once.
constexpr int kNodesPerStoreHold = 64;

// Applies the flushing memtable to the B-tree. Readers stay correct while
// it is only partly applied: they consult the flushing memtable, which is
// newer than anything in the B-tree, before the B-tree.
int32_t apply_to_tree(db_handle *db, const memtable *mt, FlushLocks locks) {
    const memtable_node *n = mt->head->forward[0];
    // Applies up to `count` nodes from n on, advancing n.
    auto apply_nodes = [&](uint64_t count) {
        for (; n != nullptr && count > 0; n = n->forward[0], --count) {
            int32_t status = apply_node(db->tree, n);
            if (status != DB_OK) return status;
        }
        return DB_OK;
    };
    if (locks == FlushLocks::kHeld) return apply_nodes(UINT64_MAX);
    while (n != nullptr) {
        SpinningWriteGuard store(&db->store_lock);
        int32_t status = apply_nodes(kNodesPerStoreHold);
        if (status != DB_OK) return status;
    }
    return DB_OK;
}

// Exclusive access to the memtable pair for the short steps of a flush
// (rotation, dropping the written memtable), unless the caller already holds
// memtable_lock.
class ExclusiveSection {
public:
    ExclusiveSection(db_handle *db, FlushLocks locks) : db_(db) {
        if (locks == FlushLocks::kHeld) return;
        pthread_rwlock_wrlock(&db_->memtable_lock);
        locked_ = true;
    }
    ~ExclusiveSection() {
        if (locked_) pthread_rwlock_unlock(&db_->memtable_lock);
    }
    ExclusiveSection(const ExclusiveSection &) = delete;
    ExclusiveSection &operator=(const ExclusiveSection &) = delete;

private:
    db_handle *db_;
    bool locked_ = false;
};

// Writes the flushing memtable as P.sst.0.N, then applies it to the B-tree
// and drops it. The table is written without the memtable and store locks:
// the flushing memtable no longer changes (every writer waits on wal_mutex,
// which the flushing thread holds), so readers keep using it meanwhile. The
// B-tree takes the memtable's entries directly (they are exactly what the
// table holds) in short holds of store_lock; only dropping the memtable
// takes memtable_lock.
int32_t write_flushing_memtable(db_handle *db, FlushLocks locks) {
    const memtable *mt = db->memtables->flushing;
    uint64_t number = reserve_table_number(db);
    char final_path[kPathBufferSize];
    char temp_path[kPathBufferSize];
    std::snprintf(final_path, sizeof final_path, "%s.sst.0.%llu", db->path, static_cast<unsigned long long>(number));
    std::snprintf(temp_path, sizeof temp_path, "%s.sst.0.%llu.tmp", db->path, static_cast<unsigned long long>(number));

    sstable_writer *writer = sstable_writer_create(temp_path, final_path, number);
    if (!writer) return DB_ERR_NOMEM;
    TableWriteContext ctx{writer};
    int32_t status = memtable_iterate(mt, add_memtable_entry, &ctx);
    if (status != DB_OK) {
        sstable_writer_destroy(writer);
        return DB_ERR_IO;
    }
    status = sstable_writer_finish(writer);
    sstable_writer_destroy(writer);
    if (status != DB_OK) return status;

    status = apply_to_tree(db, mt, locks);
    // A memtable only partly applied stays in the flushing slot, where it
    // still answers reads, and is written again by the next flush.
    if (status != DB_OK) return status;
    // Detached under the lock, freed after it: freeing tens of thousands of
    // nodes need not hold up lookups.
    memtable *written = nullptr;
    {
        ExclusiveSection section(db, locks);
        written = db->memtables->flushing;
        db->memtables->flushing = nullptr;
    }
    memtable_destroy(written);
    return DB_OK;
}

}  // namespace

uint64_t read_sequence_file(const char *prefix) {
    char path[kPathBufferSize];
    sequence_file_path(path, prefix);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return 0;
    uint8_t bytes[kSequenceFileSize];
    if (::read(fd.get(), bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) return 0;
    return get_u64(bytes);
}

uint64_t reserve_table_number(db_handle *db) {
    uint64_t last = std::max(read_sequence_file(db->path), db->internal->last_table_number);
    uint64_t number = last + 1;
    db->internal->last_table_number = number;
    write_sequence_file(db->path, number);
    return number;
}

int32_t flush_memtables(db_handle *db, FlushLocks locks) {
    lsm *pair = db->memtables;
    if (pair->flushing) {
        int32_t status = write_flushing_memtable(db, locks);
        if (status != DB_OK) return status;
    }
    if (lsm_has_data(pair)) {
        {
            ExclusiveSection section(db, locks);
            // The flushing slot is empty here, so the rotation discards nothing.
            int32_t status = lsm_flush(pair);
            if (status != DB_OK) {
                // No fresh memtable could be made: keep writing into the old one.
                pair->active = pair->flushing;
                pair->flushing = nullptr;
                return status;
            }
        }
        int32_t status = write_flushing_memtable(db, locks);
        if (status != DB_OK) return status;
    }
    // Every record of the log is now in a table: writers hold wal_mutex from
    // their append until their memtable insert is done.
    wal_truncate(db->log);
    return DB_OK;
}

void write_checkpoint(db_handle *db) {
    uint64_t number = lsm_next_seq(db->memtables);
    char final_path[kPathBufferSize];
    char temp_path[kPathBufferSize];
    std::snprintf(final_path, sizeof final_path, "%s.ckpt.%llu", db->path, static_cast<unsigned long long>(number));
    std::snprintf(temp_path, sizeof temp_path, "%s.ckpt.%llu.tmp", db->path, static_cast<unsigned long long>(number));
    sstable_writer *writer = sstable_writer_create(temp_path, final_path, number);
    if (!writer) return;

    // Walk the leaf chain in place rather than through a cursor, which would
    // copy the whole tree first.
    const btree_node *node = db->tree ? db->tree->root : nullptr;
    while (node && !node->is_leaf) node = node->children[0];
    for (; node; node = node->next) {
        for (int32_t i = 0; i < node->num_keys; ++i) {
            if (sstable_writer_add(writer, node->keys[i], node->key_lens[i], node->values[i], node->value_lens[i],
                                   SSTABLE_FLAG_VALUE) != DB_OK) {
                sstable_writer_destroy(writer);
                return;
            }
        }
    }
    sstable_writer_finish(writer);
    sstable_writer_destroy(writer);
}

}  // namespace morva
