// The vector log: one record per insert or delete, appended after the change
// is made in memory and replayed over the snapshot when the store opens.
//
// Each record is written with a single unbuffered write. If it falls short,
// the file is cut back to the end of the last complete record, so a failed
// append never leaves a fragment that later records would follow (replay
// would stop at the fragment and lose them).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "util/coding.h"
#include "vector/store.h"
#include "vector/store_files.h"

namespace morva {
namespace {

constexpr uint32_t kInsertRecord = 1;
constexpr uint32_t kDeleteRecord = 2;
constexpr uint32_t kSkipRecord = 3;
constexpr uint64_t kInsertOverhead = 24;  // type, id, dimension, timestamp
constexpr uint64_t kDeleteSize = 12;

int32_t append_record(StoreImpl *s, const uint8_t *data, size_t n) {
    if (std::fwrite(data, 1, n, s->log) != n || std::fflush(s->log) != 0) {
        // Cut off whatever part of the record reached the file.
        std::clearerr(s->log);
        if (ftruncate(fileno(s->log), static_cast<off_t>(s->log_end)) != 0) {
            // The fragment could not be removed: stop using this stream so
            // nothing is appended after it; the next change reopens the log.
            std::fclose(s->log);
            s->log = nullptr;
        }
        return -4;
    }
    s->log_bytes += n;
    s->log_end += n;
    return 0;
}

// A persistent store whose log was lost (a failed reopen after a checkpoint)
// reopens it before logging; a half-finished snapshot is completed first so
// that its recovery cannot later empty records written now.
int32_t ensure_log(StoreImpl *s) {
    if (s->commit_pending) {
        if (s->log) {
            std::fclose(s->log);
            s->log = nullptr;
        }
        if (recover_directory(s->path) != 0) return -4;
        s->commit_pending = false;
    }
    if (!s->log && vec_wal_open(s) != 0) return -4;
    return 0;
}

}  // namespace

int32_t log_insert(StoreImpl *s, uint64_t id, const float *vector) {
    if (!s->path) return 0;
    if (ensure_log(s) != 0) return -4;
    return vec_wal_append_insert(s, id, vector);
}

int32_t log_delete(StoreImpl *s, uint64_t id) {
    if (!s->path) return 0;
    if (ensure_log(s) != 0) return -4;
    return vec_wal_append_delete(s, id);
}

namespace {

// Reads the log from the start through its own stream. The file size bounds
// every read and allocation, so damaged lengths cannot cause large
// allocations or reads past the end. A read that fails (as opposed to one
// that meets the end of the file) is remembered: it says nothing about the
// records after it, so the log must then be neither trusted nor cut.
class LogReader {
public:
    explicit LogReader(FILE *f, uint64_t size) : f_(f), size_(size) {}
    uint64_t pos() const { return pos_; }
    uint64_t remaining() const { return size_ - pos_; }
    bool failed() const { return failed_; }
    bool read(void *out, uint64_t n) {
        if (n > remaining()) return false;
        if (std::fread(out, 1, n, f_) != n) {
            failed_ = true;  // the size was checked, so a short read is an error
            return false;
        }
        pos_ += n;
        return true;
    }
    bool skip(uint64_t n) {
        if (n > remaining()) return false;
        if (fseeko(f_, static_cast<off_t>(n), SEEK_CUR) != 0) {
            failed_ = true;
            return false;
        }
        pos_ += n;
        return true;
    }
    bool u32(uint32_t *v) { uint8_t b[4]; if (!read(b, 4)) return false; *v = get_u32(b); return true; }
    bool u64(uint64_t *v) { uint8_t b[8]; if (!read(b, 8)) return false; *v = get_u64(b); return true; }

private:
    FILE *f_;
    uint64_t size_;
    uint64_t pos_ = 0;
    bool failed_ = false;
};

struct LogFile {
    FILE *f = nullptr;
    uint64_t size = 0;
    ~LogFile() { if (f) std::fclose(f); }
};

// 1 when the log is open for reading, 0 when there is no log, -4 when it
// exists but cannot be read.
int open_log_for_reading(const char *dir, LogFile &lf) {
    std::string path = store_file(dir, "wal");
    lf.f = std::fopen(path.c_str(), "rb");
    if (!lf.f) return errno == ENOENT ? 0 : -4;
    struct stat st;
    if (fstat(fileno(lf.f), &st) != 0) return -4;
    lf.size = static_cast<uint64_t>(st.st_size);
    return 1;
}

// Walks the complete records; `on_insert(id, reader)` must consume the
// dimension x 4 vector bytes and the timestamp, or return false to end the walk.
template <typename OnInsert, typename OnDelete>
uint64_t walk_log(LogReader &r, uint32_t dimension, OnInsert on_insert, OnDelete on_delete, bool *stopped) {
    uint64_t good_end = 0;
    *stopped = false;
    for (;;) {
        uint32_t type;
        if (!r.u32(&type)) break;
        if (type == kInsertRecord) {
            uint64_t id;
            uint32_t dim;
            if (!r.u64(&id) || !r.u32(&dim)) break;
            uint64_t body = uint64_t{dim} * 4 + 8;
            if (body > r.remaining()) break;  // torn tail
            if (dim != dimension) {
                // A record of another dimension cannot be applied: skip it whole.
                if (!r.skip(body)) break;
            } else if (!on_insert(id, r)) {
                *stopped = true;
                break;
            }
        } else if (type == kDeleteRecord) {
            uint64_t id;
            if (!r.u64(&id)) break;
            on_delete(id);
        } else if (type != kSkipRecord) {
            break;
        }
        good_end = r.pos();
    }
    return good_end;
}

}  // namespace

int32_t count_logged_inserts(const char *dir, uint32_t dimension, uint64_t *inserts) {
    *inserts = 0;
    LogFile lf;
    int opened = open_log_for_reading(dir, lf);
    if (opened <= 0) return opened;
    LogReader r(lf.f, lf.size);
    bool stopped;
    walk_log(r, dimension, [&](uint64_t, LogReader &rd) {
        ++*inserts;
        return rd.skip(uint64_t{dimension} * 4 + 8);
    }, [](uint64_t) {}, &stopped);
    return r.failed() ? -4 : 0;
}

int32_t replay_log(StoreImpl *s) {
    LogFile lf;
    int opened = open_log_for_reading(s->path, lf);
    if (opened <= 0) return opened;  // no log yet: nothing to replay
    const uint32_t dim = s->config.dimension;
    // Taken at the first insert record, whose body the file was checked to
    // hold: a dimension nothing in the log backs costs no memory.
    std::vector<float> vec;
    LogReader r(lf.f, lf.size);
    int32_t status = 0;
    bool stopped = false;
    uint64_t good_end = walk_log(
        r, dim,
        [&](uint64_t id, LogReader &rd) {
            if (vec.size() != dim) {
                try {
                    vec.resize(dim);
                } catch (const std::bad_alloc &) {
                    status = -1;
                    return false;
                }
            }
            uint64_t stamp;
            if (!rd.read(vec.data(), uint64_t{dim} * 4) || !rd.u64(&stamp)) return false;
            if (s->uses_graph) {
                hnsw_insert(s->graph, id, vec.data());
                return true;
            }
            bool appended;
            if (flat_put(s, id, vec.data(), &appended) != 0) {
                status = -1;
                return false;
            }
            return true;
        },
        [&](uint64_t id) {
            if (s->uses_graph) hnsw_delete(s->graph, id);
            else flat_delete(s, id);
        },
        &stopped);
    if (status != 0) return status;
    if (r.failed()) return -4;
    // Cut a torn or unreadable tail so that new records follow the last
    // complete one and are replayed next time. Appending after a tail that
    // is still there would hide every later record from the next replay, so
    // a cut that fails fails the open.
    if (good_end < lf.size && truncate(store_file(s->path, "wal").c_str(), static_cast<off_t>(good_end)) != 0)
        return -4;
    return 0;
}

}  // namespace morva

using namespace morva;

extern "C" {

MORVADB_API int32_t vec_wal_open(vec_store *store) {
    if (!store || !store->path) return -5;
    StoreImpl *s = impl(store);
    if (s->log) {
        std::fclose(s->log);
        s->log = nullptr;
    }
    std::string path = store_file(s->path, "wal");
    FILE *f = std::fopen(path.c_str(), "ab");
    if (!f) return -4;
    // One write per record: see append_record.
    setvbuf(f, nullptr, _IONBF, 0);
    if (fseeko(f, 0, SEEK_END) != 0) {
        std::fclose(f);
        return -4;
    }
    off_t size = ftello(f);
    if (size < 0) {
        std::fclose(f);
        return -4;
    }
    s->log = f;
    s->log_bytes = static_cast<uint64_t>(size);
    s->log_end = static_cast<uint64_t>(size);
    return 0;
}

MORVADB_API int32_t vec_wal_close(vec_store *store) {
    if (!store) return -5;
    if (store->log) std::fclose(store->log);
    store->log = nullptr;
    store->log_bytes = 0;
    return 0;
}

MORVADB_API int32_t vec_wal_append_insert(vec_store *store, uint64_t id, const float *vector) {
    if (!store || !vector || !store->log) return -5;
    StoreImpl *s = impl(store);
    const uint64_t dim = s->config.dimension;
    try {
        s->record.resize(kInsertOverhead + dim * 4);
    } catch (const std::bad_alloc &) {
        return -1;
    }
    uint8_t *p = s->record.data();
    put_u32(p, kInsertRecord);
    put_u64(p + 4, id);
    put_u32(p + 12, static_cast<uint32_t>(dim));
    std::memcpy(p + 16, vector, dim * 4);
    put_u64(p + 16 + dim * 4, static_cast<uint64_t>(static_cast<int64_t>(std::time(nullptr))));
    return append_record(s, p, s->record.size());
}

MORVADB_API int32_t vec_wal_append_delete(vec_store *store, uint64_t id) {
    if (!store || !store->log) return -5;
    uint8_t rec[kDeleteSize];
    put_u32(rec, kDeleteRecord);
    put_u64(rec + 4, id);
    return append_record(impl(store), rec, sizeof(rec));
}

}  // extern "C"
