// Snapshots and opening a persistent store: checkpoint, the exported
// snapshot writer, and the open path that loads the snapshot, rebuilds the
// index and replays the log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "util/coding.h"
#include "util/sync.h"
#include "vector/hnsw.h"
#include "vector/store.h"
#include "vector/store_files.h"

namespace morva {

int32_t checkpoint_locked(StoreImpl *s) {
    if (!s->path) return -5;
    if (s->log) std::fflush(s->log);
    int32_t rc = write_snapshot(s->path, s, true);
    if (rc != 0) {
        // If the commit went through but its files were not all moved, the
        // log must not grow until recovery has finished the move.
        s->commit_pending = true;
        return rc;
    }
    s->commit_pending = false;
    vec_wal_close(s);
    s->log_end = 0;
    set_dirty(s, 0);
    // The snapshot holds every change: losing the log only means the next
    // change must reopen it, which log_insert/log_delete retry.
    return vec_wal_open(s) == 0 ? 0 : -4;
}

int32_t init_directory(StoreImpl *s) {
    // A fresh store: an empty snapshot and an empty log, so that nothing of
    // a store that lived in this directory before comes back on open.
    if (write_snapshot(s->path, s, true) != 0) return -4;
    return vec_wal_open(s);
}

namespace {

struct MetaInfo {
    uint32_t version, dimension, metric, index_type, m, ef_construction, ef_search;
    uint64_t count;
};

int32_t read_meta(const char *dir, MetaInfo *meta) {
    std::string path = store_file(dir, "meta");
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return errno == ENOENT ? -2 : -4;  // absent, or there but not readable
    uint8_t buf[kMetaSize];
    size_t got = 0;
    while (got < sizeof(buf)) {
        ssize_t r = read(fd.get(), buf + got, sizeof(buf) - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -4;  // unreadable, which says nothing about its contents
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    ByteReader r(buf, got);
    uint32_t magic = r.u32();
    meta->version = r.u32();
    meta->dimension = r.u32();
    meta->metric = r.u32();
    meta->count = r.u64();
    r.u64();  // the count again; not used
    if (!r.ok() || magic != kMetaMagic) return -3;
    if (meta->version < 2) {
        meta->index_type = VEC_INDEX_FLAT;
        meta->m = 16;
        meta->ef_construction = 200;
        meta->ef_search = 50;
        return 0;
    }
    meta->index_type = r.u32();
    meta->m = r.u32();
    meta->ef_construction = r.u32();
    meta->ef_search = r.u32();
    return r.ok() ? 0 : -3;
}

// Opens a data file and checks that it holds at least `need` bytes.
int32_t open_data(const char *dir, const char *name, uint64_t need, UniqueFd &fd) {
    std::string path = store_file(dir, name);
    fd.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -4;
    struct stat st;
    if (fstat(fd.get(), &st) != 0) return -4;
    return static_cast<uint64_t>(st.st_size) < need ? -3 : 0;
}

// Reads exactly n bytes: 0, -3 when the file ends first (it is shorter than
// its meta file says), -4 when reading fails.
int32_t read_data(int fd, void *out, uint64_t n) {
    uint8_t *p = static_cast<uint8_t *>(out);
    while (n > 0) {
        size_t chunk = n < (size_t{1} << 30) ? static_cast<size_t>(n) : (size_t{1} << 30);
        ssize_t r = read(fd, p, chunk);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -4;
        if (r == 0) return -3;
        p += r;
        n -= static_cast<uint64_t>(r);
    }
    return 0;
}

// Slots of a reopened flat store: the stored vectors plus headroom for
// growth, where the headroom is half the stored count but never more than
// the first-slot byte bound (and never less than the first slots a new store
// gets). The files back the stored vectors, so what open commits is what they
// hold plus a bounded amount; a store with nothing stored allocates nothing
// and gets its first slots at its first insert.
uint64_t reopened_flat_slots(uint64_t count, uint32_t dimension) {
    if (count == 0) return 0;
    const uint64_t first = first_slots_for(dimension);
    const uint64_t headroom = std::min(count / 2, first);
    return std::max(count + headroom, first);
}

int32_t load_flat(StoreImpl *s, const MetaInfo &meta, uint64_t vector_bytes, uint64_t id_bytes) {
    // The configured capacity tells how many slots the arrays start with;
    // for an empty store that happens at the first insert.
    uint64_t slots = reopened_flat_slots(meta.count, meta.dimension);
    s->config.capacity =
        static_cast<uint32_t>(std::min<uint64_t>(slots ? slots : first_slots_for(meta.dimension), UINT32_MAX));
    if (meta.count == 0) return flat_reindex(s);
    // The data files must hold every stored vector before anything is
    // allocated for them: a dimension or count they cannot back is damage.
    UniqueFd vf, idf;
    int32_t rc = open_data(s->path, "vectors", vector_bytes, vf);
    if (rc == 0) rc = open_data(s->path, "ids", id_bytes, idf);
    if (rc != 0) return rc;
    if (flat_allocate_exact(s, slots) != 0) return -1;
    rc = read_data(vf.get(), s->vectors, vector_bytes);
    if (rc == 0) rc = read_data(idf.get(), s->ids, id_bytes);
    if (rc != 0) return rc;
    s->count = meta.count;
    return flat_reindex(s);
}

int32_t load_graph(StoreImpl *s, const MetaInfo &meta, uint64_t vector_bytes, uint64_t id_bytes) {
    // Room for every stored vector, every insert still in the log and the
    // usual headroom of a new graph.
    uint64_t logged = 0;
    if (count_logged_inserts(s->path, meta.dimension, &logged) != 0) return -4;
    uint64_t capacity = meta.count + logged;
    capacity = std::max<uint64_t>(capacity, static_cast<uint64_t>(kHnswDefaultCapacity));
    if (capacity > INT32_MAX) capacity = INT32_MAX;
    if (meta.count > capacity || meta.dimension > INT32_MAX || meta.m > INT32_MAX) return -3;
    s->config.capacity = static_cast<uint32_t>(capacity);
    int32_t rc = hnsw_create(static_cast<int32_t>(meta.dimension), static_cast<int32_t>(meta.m),
                             static_cast<int32_t>(meta.ef_construction), static_cast<int32_t>(meta.ef_search),
                             static_cast<int32_t>(capacity), meta.metric, &s->graph);
    if (rc != 0) return rc;
    s->uses_graph = 1;
    if (meta.count == 0) return 0;
    UniqueFd vf, idf;
    rc = open_data(s->path, "vectors", vector_bytes, vf);
    if (rc == 0) rc = open_data(s->path, "ids", id_bytes, idf);
    if (rc != 0) return rc;
    // Read in chunks: a snapshot as large as memory must not be held twice.
    const uint64_t dim = meta.dimension;
    const uint64_t per_chunk = std::max<uint64_t>(1, (uint64_t{1} << 24) / (dim * 4));
    std::vector<float> vectors;
    std::vector<uint64_t> ids;
    try {
        vectors.resize(static_cast<size_t>(std::min(per_chunk, meta.count) * dim));
        ids.resize(static_cast<size_t>(std::min(per_chunk, meta.count)));
    } catch (const std::bad_alloc &) {
        return -1;
    }
    for (uint64_t done = 0; done < meta.count;) {
        uint64_t n = std::min(per_chunk, meta.count - done);
        rc = read_data(vf.get(), vectors.data(), n * dim * 4);
        if (rc == 0) rc = read_data(idf.get(), ids.data(), n * 8);
        if (rc != 0) return rc;
        for (uint64_t j = 0; j < n; j++) {
            rc = hnsw_insert(s->graph, ids[j], vectors.data() + j * dim);
            if (rc != 0) return rc;
        }
        done += n;
    }
    return 0;
}

int32_t open_store(const char *path, vec_store **out) {
    vec_config config{};
    StoreImpl *s = new_store(config);
    if (!s) return -1;
    s->path = strdup(path);
    if (!s->path) {
        free_store(s);
        return -1;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        free_store(s);
        return -2;  // no directory, so no meta file
    }
    int32_t rc = lock_directory(s);
    if (rc == 0) rc = recover_directory(path);
    MetaInfo meta{};
    if (rc == 0) rc = read_meta(path, &meta);
    uint64_t vector_bytes = 0, id_bytes = 0;
    if (rc == 0 && meta.dimension == 0) rc = -3;
    if (rc == 0 && (mul_overflows(meta.count, meta.dimension, &vector_bytes) ||
                    mul_overflows(vector_bytes, 4, &vector_bytes) || mul_overflows(meta.count, 8, &id_bytes)))
        rc = -3;
    if (rc != 0) {
        free_store(s);
        return rc;
    }
    s->config = vec_config{meta.index_type, meta.metric, meta.dimension, 0, 1, meta.m, meta.ef_construction,
                           meta.ef_search};
    s->distance = vec_get_dist_func(meta.metric);
    rc = meta.index_type == VEC_INDEX_HNSW ? load_graph(s, meta, vector_bytes, id_bytes)
                                           : load_flat(s, meta, vector_bytes, id_bytes);
    if (rc != 0) {
        free_store(s);
        return rc;
    }
    rc = replay_log(s);
    if (rc == -4) {
        // A log that could not be read (or its torn tail not cut) leaves the
        // store without changes it acknowledged: not a store to hand out.
        free_store(s);
        return rc;
    }
    if (rc == 0 && vec_wal_open(s) != 0) rc = -4;  // usable, and later changes retry the log
    set_dirty(s, 0);
    *out = s;
    return rc;
}

}  // namespace
}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t vec_persist_write(const char *path, vec_store *store) {
    if (!path || !store) return -5;
    if (store->uses_graph && !store->graph) return -5;
    try {
        return write_snapshot(path, store, false);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t vec_persist_read(const char *path, vec_store **out) {
    if (!path || !out) return -5;
    try {
        return open_store(path, out);
    } catch (...) {
        return -1;
    }
}

MORVADB_API int32_t morvadb_vec_open(const char *path, vec_store **out) { return vec_persist_read(path, out); }

MORVADB_API int32_t vec_checkpoint(vec_store *store) {
    if (!store || !store->path) return -5;
    try {
        return checkpoint_locked(impl(store));
    } catch (...) {
        return -1;
    }
}

}  // extern "C"
