#include "vector/store_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "util/coding.h"
#include "util/sync.h"
#include "vector/store.h"

namespace morva {

int snapshot_stop_after_step = 0;

namespace {

const char *const kMeta = "meta";
const char *const kVectors = "vectors";
const char *const kIds = "ids";
const char *const kLog = "wal";
const char *const kMetaTmp = "meta.tmp";
const char *const kVectorsTmp = "vectors.tmp";
const char *const kIdsTmp = "ids.tmp";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool sync_dir(const char *dir) {
    UniqueFd fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && fsync(fd.get()) == 0;
}

bool write_all(int fd, const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Buffers small writes into large ones.
class FileWriter {
public:
    explicit FileWriter(int fd) : fd_(fd) {}
    bool put(const void *data, size_t n) {
        if (!ok_) return false;
        if (used_ + n > sizeof(buf_)) {
            if (!flush()) return false;
            if (n >= sizeof(buf_)) return ok_ = write_all(fd_, data, n);
        }
        std::memcpy(buf_ + used_, data, n);
        used_ += n;
        return true;
    }
    bool flush() {
        if (ok_ && used_ > 0) ok_ = write_all(fd_, buf_, used_);
        used_ = 0;
        return ok_;
    }

private:
    int fd_;
    bool ok_ = true;
    size_t used_ = 0;
    uint8_t buf_[1 << 16];
};

UniqueFd create_file(const std::string &path) {
    return UniqueFd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

bool finish_file(UniqueFd &fd) {
    bool ok = fsync(fd.get()) == 0;
    return close(fd.release()) == 0 && ok;
}

// Live entries of the store in their stored order: slot order for a flat
// store, node order for a graph.
template <typename Visit>
void for_each_live(const vec_store *s, Visit visit) {
    if (s->uses_graph) {
        const hnsw_index *g = s->graph;
        for (int32_t i = 0; i < g->node_count; i++)
            if (!g->nodes[i].deleted) visit(g->nodes[i].id, g->nodes[i].vector);
    } else {
        for (uint64_t j = 0; j < s->count; j++)
            if (!s->deleted[j]) visit(s->ids[j], s->vectors + j * s->config.dimension);
    }
}

uint64_t live_count(const vec_store *s) {
    uint64_t n = 0;
    for_each_live(s, [&](uint64_t, const float *) { n++; });
    return n;
}

bool write_meta(const std::string &path, const vec_store *s, uint64_t count) {
    uint8_t meta[kMetaSize];
    put_u32(meta, kMetaMagic);
    put_u32(meta + 4, kMetaVersion);
    put_u32(meta + 8, s->config.dimension);
    put_u32(meta + 12, s->config.metric);
    put_u64(meta + 16, count);
    put_u64(meta + 24, count);
    const bool graph = s->uses_graph != 0;
    put_u32(meta + 32, graph ? VEC_INDEX_HNSW : VEC_INDEX_FLAT);
    put_u32(meta + 36, graph ? static_cast<uint32_t>(s->graph->m) : 0);
    put_u32(meta + 40, graph ? static_cast<uint32_t>(s->graph->ef_construction) : 0);
    put_u32(meta + 44, graph ? static_cast<uint32_t>(s->graph->ef_search) : 0);
    UniqueFd fd = create_file(path);
    return fd.valid() && write_all(fd.get(), meta, sizeof(meta)) && finish_file(fd);
}

bool write_vectors(const std::string &path, const vec_store *s) {
    UniqueFd fd = create_file(path);
    if (!fd.valid()) return false;
    FileWriter out(fd.get());
    size_t bytes = static_cast<size_t>(s->config.dimension) * sizeof(float);
    for_each_live(s, [&](uint64_t, const float *v) { out.put(v, bytes); });
    return out.flush() && finish_file(fd);
}

bool write_ids(const std::string &path, const vec_store *s) {
    UniqueFd fd = create_file(path);
    if (!fd.valid()) return false;
    FileWriter out(fd.get());
    for_each_live(s, [&](uint64_t id, const float *) {
        uint8_t b[8];
        put_u64(b, id);
        out.put(b, 8);
    });
    return out.flush() && finish_file(fd);
}

bool empty_log_file(const char *dir) {
    std::string log = store_file(dir, kLog);
    UniqueFd fd(open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.valid() && fsync(fd.get()) == 0;
}

// Drops an uncommitted snapshot: data temporaries first, meta.tmp last, so
// a crash in between still reads as uncommitted.
bool roll_back(const char *dir) {
    bool ok = true;
    for (const char *name : {kVectorsTmp, kIdsTmp, kMetaTmp}) {
        std::string p = store_file(dir, name);
        if (unlink(p.c_str()) != 0 && errno != ENOENT) ok = false;
    }
    return sync_dir(dir) && ok;
}

// Finishes a committed snapshot: empty the log while a data temporary still
// exists (so a crash before that point repeats this step), then move the
// data files into place.
bool roll_forward(const char *dir, bool empty_log) {
    if (empty_log && !empty_log_file(dir)) return false;
    for (auto [tmp, dst] : {std::pair{kVectorsTmp, kVectors}, std::pair{kIdsTmp, kIds}}) {
        std::string from = store_file(dir, tmp), to = store_file(dir, dst);
        if (exists(from) && rename(from.c_str(), to.c_str()) != 0) return false;
    }
    return sync_dir(dir);
}

// Counts the steps of write_snapshot for the crash tests.
bool step(int &n) { return snapshot_stop_after_step <= 0 || ++n < snapshot_stop_after_step; }

}  // namespace

std::string store_file(const char *dir, const char *name) {
    std::string p(dir);
    p += '/';
    p += name;
    return p;
}

int32_t recover_directory(const char *dir) {
    if (exists(store_file(dir, kMetaTmp))) return roll_back(dir) ? 0 : -4;
    if (exists(store_file(dir, kVectorsTmp)) || exists(store_file(dir, kIdsTmp)))
        return roll_forward(dir, true) ? 0 : -4;
    return 0;
}

int32_t write_snapshot(const char *dir, const vec_store *s, bool empty_log) {
    if (recover_directory(dir) != 0) return -4;
    uint64_t count = live_count(s);
    int n = 0;
    // meta.tmp exists from the first step to the commit: its presence is
    // what marks the temporaries as uncommitted.
    bool ok = write_meta(store_file(dir, kMetaTmp), s, count);
    if (ok && !step(n)) return -4;
    ok = ok && write_vectors(store_file(dir, kVectorsTmp), s);
    if (ok && !step(n)) return -4;
    ok = ok && write_ids(store_file(dir, kIdsTmp), s);
    if (ok && !step(n)) return -4;
    ok = ok && sync_dir(dir);
    if (!ok) {
        roll_back(dir);
        return -4;
    }
    std::string meta_tmp = store_file(dir, kMetaTmp), meta = store_file(dir, kMeta);
    if (rename(meta_tmp.c_str(), meta.c_str()) != 0) {
        roll_back(dir);
        return -4;
    }
    if (!step(n)) return -4;
    if (!sync_dir(dir)) return -4;
    if (empty_log) {
        if (!empty_log_file(dir)) return -4;
        if (!step(n)) return -4;
    }
    std::string vt = store_file(dir, kVectorsTmp), v = store_file(dir, kVectors);
    if (rename(vt.c_str(), v.c_str()) != 0) return -4;
    if (!step(n)) return -4;
    std::string it = store_file(dir, kIdsTmp), i = store_file(dir, kIds);
    if (rename(it.c_str(), i.c_str()) != 0) return -4;
    if (!step(n)) return -4;
    return sync_dir(dir) ? 0 : -4;
}

int32_t lock_directory(StoreImpl *s) {
    UniqueFd fd(open(s->path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return -4;
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return -4;
    s->dir_fd = fd.release();
    return 0;
}

void unlock_directory(StoreImpl *s) {
    if (s->dir_fd >= 0) close(s->dir_fd);  // closing releases the flock
    s->dir_fd = -1;
}

void remove_store_files(const char *dir) {
    for (const char *name : {kMeta, kVectors, kIds, kLog, kMetaTmp, kVectorsTmp, kIdsTmp}) {
        std::string p = store_file(dir, name);
        unlink(p.c_str());
    }
    rmdir(dir);
}

}  // namespace morva
