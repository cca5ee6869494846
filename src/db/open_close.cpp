// db_open and db_close of a writer handle, and the follower branch of close.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "db/background.h"
#include "db/catalog.h"
#include "db/flush.h"
#include "db/handle.h"
#include "db/replay.h"
#include "db/shared_mode.h"
#include "db/table_set.h"
#include "util/sync.h"

namespace morva {
namespace {

void destroy_locks(db_handle *db) {
    pthread_rwlock_destroy(&db->store_lock);
    pthread_rwlock_destroy(&db->memtable_lock);
    pthread_mutex_destroy(&db->wal_mutex);
    pthread_rwlock_destroy(&db->catalog_lock);
    if (db->internal->wake_initialized) {
        pthread_cond_destroy(&db->internal->wake_cond);
        pthread_mutex_destroy(&db->internal->wake_mutex);
    }
}

bool init_locks(db_handle *db) {
    db_private *p = db->internal;
    if (pthread_rwlock_init(&db->catalog_lock, nullptr) != 0) return false;
    if (pthread_mutex_init(&db->wal_mutex, nullptr) != 0) {
        pthread_rwlock_destroy(&db->catalog_lock);
        return false;
    }
    // The memtable and store locks are taken for reading by every lookup and
    // for writing by every put's insert and every flush: writers must not
    // wait behind a stream of readers. The catalog lock keeps the default
    // kind because host callbacks run under its read side (filtered vector
    // search) and may call db_get, which reads it again.
    if (init_writer_preferring_rwlock(&db->memtable_lock) != 0) {
        pthread_mutex_destroy(&db->wal_mutex);
        pthread_rwlock_destroy(&db->catalog_lock);
        return false;
    }
    if (init_writer_preferring_rwlock(&db->store_lock) != 0) {
        pthread_rwlock_destroy(&db->memtable_lock);
        pthread_mutex_destroy(&db->wal_mutex);
        pthread_rwlock_destroy(&db->catalog_lock);
        return false;
    }
    if (pthread_mutex_init(&p->wake_mutex, nullptr) == 0) {
        if (pthread_cond_init(&p->wake_cond, nullptr) == 0) {
            p->wake_initialized = true;
            return true;
        }
        pthread_mutex_destroy(&p->wake_mutex);
    }
    pthread_rwlock_destroy(&db->store_lock);
    pthread_rwlock_destroy(&db->memtable_lock);
    pthread_mutex_destroy(&db->wal_mutex);
    pthread_rwlock_destroy(&db->catalog_lock);
    return false;
}

// Destroys the secondary indexes other subsystems attach to the handle.
void destroy_secondary_indexes(db_handle *db) {
    fts_index_destroy(db->fts);
    db->fts = nullptr;
    if (db->vectors) morvadb_vec_close(db->vectors);
    db->vectors = nullptr;
    morvadb_embed_destroy(db->embed);
    db->embed = nullptr;
    morvadb_quant_destroy(db->quant);
    db->quant = nullptr;
    std::free(db->quant_vectors);
    std::free(db->quant_ids);
    db->quant_vectors = nullptr;
    db->quant_ids = nullptr;
    db->quant_count = 0;
    db->quant_capacity = 0;
}

// Releases whatever a writer handle holds, in reverse order of building,
// then the handle itself. Works on a handle that failed halfway through open.
void release_writer(db_handle *db, bool locks_initialized) {
    free_tables(db);
    destroy_secondary_indexes(db);
    btree_destroy(db->tree);
    lsm_destroy(db->memtables);
    wal_destroy(db->log);
    db->tree = nullptr;
    db->memtables = nullptr;
    db->log = nullptr;
    close_shared_mode(db);
    if (locks_initialized) destroy_locks(db);
    if (db->internal->lock_fd >= 0) ::close(db->internal->lock_fd);
    free_handle(db);
}

// Takes the exclusive advisory lock that makes this handle the only writer
// of the prefix, in this process or any other. The lock lives on its own
// descriptor of P.wal, which the log's truncations keep (they reopen the
// same file in place).
int32_t lock_writer(db_handle *db, const char *wal_path) {
    int fd = ::open(wal_path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return DB_ERR_IO;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? DB_ERR_BUSY : DB_ERR_IO;
    }
    db->internal->lock_fd = fd;
    return DB_OK;
}

int32_t open_writer(const char *path, const db_options *options, db_handle **out) {
    if (std::strlen(path) > kMaxPrefixLength) return DB_ERR_INVALID;
    db_handle *db = allocate_handle(path, options);
    if (!db) return DB_ERR_NOMEM;

    char wal_path[kPathBufferSize];
    format_path(wal_path, db->path, ".wal");
    int32_t status = lock_writer(db, wal_path);
    if (status != DB_OK) {
        free_handle(db);
        return status;
    }
    db->log = wal_create(wal_path, db->options.sync_mode);
    if (!db->log) {
        release_writer(db, false);
        return DB_ERR_IO;
    }
    db->memtables = lsm_create(db->path, db->options.memtable_size);
    db->tree = db->memtables ? btree_create() : nullptr;
    db->fts = db->tree ? fts_index_create() : nullptr;
    if (!db->fts || !init_locks(db)) {
        release_writer(db, false);
        return DB_ERR_NOMEM;
    }

    std::vector<TableFile> tables;
    status = load_catalog(db);
    if (status == DB_OK) status = tables_oldest_first(db->path, &tables);
    if (status == DB_OK) status = load_tables_into(db->tree, tables);
    if (status == DB_OK) {
        db->internal->last_table_number = std::max(highest_sequence(tables), read_sequence_file(db->path));
        status = replay_into_memtables(db);
    }
    // The log may hold more than one memtable's worth (a smaller limit than
    // the one it was written with): write it out now rather than carry an
    // overfull memtable.
    if (status == DB_OK && memtable_is_full(lsm_get_active(db->memtables))) flush_memtables(db, FlushLocks::kHeld);
    if (status == DB_OK) status = start_background(db);
    if (status != DB_OK) {
        release_writer(db, true);
        return status;
    }
    open_shared_mode(db);
    *out = db;
    return DB_OK;
}

// Returns DB_ERR_IO when acknowledged writes reached no file: the memtables
// could not be written as tables and the log's buffered records could not
// be written out either (or, everything being in tables, the log could not
// be emptied of records older than them). Every other failure here loses
// nothing (a failed flush leaves its records in the log for the next open;
// the catalog file already holds every table; the checkpoint is never read
// back).
int32_t close_writer(db_handle *db) {
    stop_background(db);
    int32_t status = DB_OK;
    {
        WriteGuard catalog(&db->catalog_lock);
        MutexGuard log(&db->wal_mutex);
        WriteGuard memtables(&db->memtable_lock);
        WriteGuard store(&db->store_lock);
        bool in_tables = true;
        if (db->memtables->flushing || lsm_has_data(db->memtables))
            in_tables = flush_memtables(db, FlushLocks::kHeld) == DB_OK;
        if (!in_tables) {
            if (wal_sync(db->log) != DB_OK) status = DB_ERR_IO;
        } else if (db->log->file_bytes > WAL_HEADER_SIZE || db->log->buffered > 0) {
            // Everything is in tables, but a truncation failed (now or
            // earlier) and left records a reopen would replay over them.
            if (wal_truncate(db->log) != DB_OK) status = DB_ERR_IO;
        }
        if (db->table_count > 0) write_catalog(db);
        write_checkpoint(db);
        close_shared_mode(db);
    }
    release_writer(db, true);
    return status;
}

void close_follower_handle(db_handle *db) {
    close_follower(db);
    free_tables(db);
    // A host may attach a vector index or quantized index to a follower too.
    destroy_secondary_indexes(db);
    btree_destroy(db->tree);
    db->tree = nullptr;
    pthread_rwlock_destroy(&db->store_lock);
    pthread_rwlock_destroy(&db->memtable_lock);
    pthread_rwlock_destroy(&db->catalog_lock);
    free_handle(db);
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" MORVADB_API int32_t db_open(const char *path, const db_options *options, db_handle **out) {
    if (!path || !out) return DB_ERR_INVALID;
    try {
        return open_writer(path, options, out);
    } catch (...) {
        return DB_ERR_NOMEM;
    }
}

extern "C" MORVADB_API int32_t db_close(db_handle *db) {
    if (!db) return DB_ERR_INVALID;
    if (db->is_follower) {
        close_follower_handle(db);
        return DB_OK;
    }
    return close_writer(db);
}
