// Shared file mappings and file sizes. Every failure returns -1 with errno
// describing it; the record is left closed and holds no descriptor.
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "morvadb.h"
#include "util/sync.h"

namespace {

void set_closed(mapped_file *m) {
    m->map_base = MAP_FAILED;
    m->map_addr = MAP_FAILED;
    m->map_size = 0;
    m->fd = -1;
}

bool is_mapped(const mapped_file *m) { return m->map_addr != nullptr && m->map_addr != MAP_FAILED; }

// Returns -1 with errno = err. Closing a descriptor on the way out may
// overwrite errno, so callers report the saved code through this.
int fail_with(int err) {
    errno = err;
    return -1;
}

int open_mapping(const char *path, int writable, uint64_t size, mapped_file *out) {
    morva::UniqueFd fd(::open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!fd.valid()) return -1;
    if (size == 0) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) {
            int err = errno;
            fd.reset();
            return fail_with(err);
        }
        if (st.st_size <= 0) {
            fd.reset();
            return fail_with(EINVAL);
        }
        size = static_cast<uint64_t>(st.st_size);
    }
    int prot = PROT_READ | (writable ? PROT_WRITE : 0);
    void *addr = ::mmap(nullptr, static_cast<size_t>(size), prot, MAP_SHARED, fd.get(), 0);
    if (addr == MAP_FAILED) {
        int err = errno;
        fd.reset();
        return fail_with(err);
    }
    out->map_base = addr;
    out->map_addr = addr;
    out->map_size = size;
    out->fd = fd.release();
    return 0;
}

}  // namespace

extern "C" MORVADB_API int morvadb_mmap_open(const char *path, int writable, uint64_t size, mapped_file *out) {
    if (out == nullptr || (writable != 0 && writable != 1)) return fail_with(EINVAL);
    set_closed(out);
    if (path == nullptr) return fail_with(EINVAL);
    return open_mapping(path, writable, size, out);
}

extern "C" MORVADB_API int morvadb_mmap_sync(mapped_file *m) {
    if (m == nullptr || !is_mapped(m)) return fail_with(EINVAL);
    return ::msync(m->map_addr, static_cast<size_t>(m->map_size), MS_SYNC);
}

extern "C" MORVADB_API void morvadb_mmap_close(mapped_file *m) {
    if (m == nullptr) return;
    int saved = errno;
    if (is_mapped(m)) ::munmap(m->map_addr, static_cast<size_t>(m->map_size));
    if (m->fd != -1) ::close(m->fd);
    set_closed(m);
    errno = saved;
}

extern "C" MORVADB_API int morvadb_file_size(const char *path, uint64_t *out) {
    if (out == nullptr || path == nullptr) return fail_with(EINVAL);
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    *out = static_cast<uint64_t>(st.st_size);
    return 0;
}
