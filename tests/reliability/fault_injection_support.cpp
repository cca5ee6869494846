// Definitions of the C library's file calls for the test program; see
// fault_injection.h. Each resolves the next definition once with
// dlsym(RTLD_NEXT) and forwards to it unless the call is chosen to fail.
#include "reliability/fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace faults {
namespace {

constexpr int kMaxTrackedFd = 4096;

struct State {
    std::mutex mutex;                 // guards prefix, log and mappings
    std::string prefix;
    std::atomic<bool> watching{false};
    std::atomic<unsigned> calls{0};
    std::atomic<bool> recording{false};
    std::vector<std::string> log;
    std::atomic<uint64_t> counted{0};
    std::atomic<uint64_t> target{0};  // 0: nothing armed
    std::atomic<int> kind{0};
    std::atomic<bool> fired{false};
    std::atomic<bool> disk_full{false};
    std::atomic<bool> fd_watched[kMaxTrackedFd] = {};
    struct Mapping {
        uintptr_t start, end;
    };
    std::vector<Mapping> mappings;
};

State &state() {
    static State *s = new State();  // never destroyed: calls may come during exit
    return *s;
}

template <typename F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool path_watched(const char *path) {
    State &s = state();
    if (!s.watching.load() || path == nullptr) return false;
    std::lock_guard<std::mutex> lock(s.mutex);
    return !s.prefix.empty() && std::strncmp(path, s.prefix.c_str(), s.prefix.size()) == 0;
}

bool fd_watched(int fd) {
    return fd >= 0 && fd < kMaxTrackedFd && state().watching.load() && state().fd_watched[fd].load();
}

void set_fd_watched(int fd, bool watched) {
    if (fd >= 0 && fd < kMaxTrackedFd) state().fd_watched[fd].store(watched);
}

bool stream_watched(FILE *f) { return f != nullptr && fd_watched(fileno(f)); }

bool address_watched(const void *addr) {
    State &s = state();
    if (!s.watching.load()) return false;
    auto a = reinterpret_cast<uintptr_t>(addr);
    std::lock_guard<std::mutex> lock(s.mutex);
    for (const State::Mapping &m : s.mappings)
        if (a >= m.start && a < m.end) return true;
    return false;
}

constexpr int kShort = -1;  // decide(): write half and report it

// Whether a watched call of the given kind goes through (0), fails with an
// errno value, or (writes only) stores half its bytes (kShort).
int decide(unsigned call, const char *name, const char *path) {
    State &s = state();
    if (s.disk_full.load() && (call & (kWrite | kSync)) != 0) return ENOSPC;
    if ((s.calls.load() & call) == 0) return 0;
    uint64_t n = ++s.counted;
    if (s.recording.load()) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.log.push_back(std::string(name) + " " + (path ? path : "?"));
    }
    if (n != s.target.load()) return 0;
    s.fired.store(true);
    switch (static_cast<Fault>(s.kind.load())) {
    case Fault::kIoError:
        return EIO;
    case Fault::kNoSpace:
        s.disk_full.store(true);
        return ENOSPC;
    case Fault::kShortWrite:
        s.disk_full.store(true);
        return call == kWrite ? kShort : ENOSPC;
    }
    return EIO;
}

// Path of a descriptor, for the record of counted calls.
std::string fd_path(int fd) {
    if (!state().recording.load()) return std::string();
    char link[64], target[512];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return "?";
    target[n] = '\0';
    return target;
}

int decide_fd(unsigned call, const char *name, int fd) {
    if (!fd_watched(fd)) return 0;
    std::string path = fd_path(fd);
    return decide(call, name, path.c_str());
}

void mark_stream_failed(FILE *f, int err) {
    f->_flags |= _IO_ERR_SEEN;
    errno = err;
}

}  // namespace

const char *fault_name(Fault kind) {
    switch (kind) {
    case Fault::kIoError: return "EIO";
    case Fault::kNoSpace: return "ENOSPC";
    case Fault::kShortWrite: return "short write";
    }
    return "?";
}

void watch(const std::string &dir, unsigned calls) {
    State &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.prefix = dir;
        s.log.clear();
    }
    s.recording.store(false);
    s.calls.store(calls);
    s.counted.store(0);
    s.target.store(0);
    s.fired.store(false);
    s.disk_full.store(false);
    s.watching.store(true);
}

void unwatch() {
    State &s = state();
    s.watching.store(false);
    clear();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.prefix.clear();
    s.log.clear();
}

void start_recording() {
    State &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.log.clear();
    }
    s.counted.store(0);
    s.recording.store(true);
}

std::vector<std::string> recorded() {
    State &s = state();
    s.recording.store(false);
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.log;
}

void arm(uint64_t point, Fault kind) {
    State &s = state();
    s.fired.store(false);
    s.disk_full.store(false);
    s.kind.store(static_cast<int>(kind));
    s.counted.store(0);
    s.target.store(point);
}

void clear() {
    State &s = state();
    s.target.store(0);
    s.disk_full.store(false);
}

bool fired() { return state().fired.load(); }

namespace {

// The calls with their fault handling, behind the C-named shells below.

int fault_open(const char *path, int flags, mode_t mode) {
    static const auto real = next<int (*)(const char *, int, ...)>("open");
    bool watched = path_watched(path);
    if (watched) {
        int err = decide(kOpen, "open", path);
        if (err != 0) {
            errno = err > 0 ? err : ENOSPC;
            return -1;
        }
    }
    int fd = real(path, flags, mode);
    if (fd >= 0) set_fd_watched(fd, watched);
    return fd;
}

FILE *fault_fopen(const char *path, const char *mode) {
    static const auto real = next<FILE *(*)(const char *, const char *)>("fopen");
    bool watched = path_watched(path);
    if (watched) {
        int err = decide(kOpen, "fopen", path);
        if (err != 0) {
            errno = err > 0 ? err : ENOSPC;
            return nullptr;
        }
    }
    FILE *f = real(path, mode);
    if (f != nullptr) set_fd_watched(fileno(f), watched);
    return f;
}

int fault_close(int fd) {
    static const auto real = next<int (*)(int)>("close");
    set_fd_watched(fd, false);
    return real(fd);
}

int fault_fclose(FILE *f) {
    static const auto real = next<int (*)(FILE *)>("fclose");
    if (f == nullptr) return real(f);
    int err = 0;
    if (stream_watched(f) && __fpending(f) > 0) err = decide_fd(kWrite, "fclose", fileno(f));
    set_fd_watched(fileno(f), false);
    if (err == 0) return real(f);
    // A failed close still releases the stream; the data it held is lost.
    __fpurge(f);
    real(f);
    errno = err > 0 ? err : ENOSPC;
    return EOF;
}

ssize_t fault_write(int fd, const void *buf, size_t n) {
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    int err = decide_fd(kWrite, "write", fd);
    if (err == kShort && n > 1) return real(fd, buf, n / 2);
    if (err != 0) {
        errno = err > 0 ? err : ENOSPC;
        return -1;
    }
    return real(fd, buf, n);
}

ssize_t fault_pwrite(int fd, const void *buf, size_t n, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    int err = decide_fd(kWrite, "pwrite", fd);
    if (err == kShort && n > 1) return real(fd, buf, n / 2, offset);
    if (err != 0) {
        errno = err > 0 ? err : ENOSPC;
        return -1;
    }
    return real(fd, buf, n, offset);
}

size_t fault_fwrite(const void *buf, size_t size, size_t count, FILE *f) {
    static const auto real = next<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    int err = stream_watched(f) ? decide_fd(kWrite, "fwrite", fileno(f)) : 0;
    if (err == kShort && size > 0 && count > 1) {
        size_t stored = real(buf, size, count / 2, f);
        mark_stream_failed(f, ENOSPC);
        return stored;
    }
    if (err != 0) {
        mark_stream_failed(f, err > 0 ? err : ENOSPC);
        return 0;
    }
    return real(buf, size, count, f);
}

int fault_fflush(FILE *f) {
    static const auto real = next<int (*)(FILE *)>("fflush");
    if (f == nullptr || !stream_watched(f) || __fpending(f) == 0) return real(f);
    int err = decide_fd(kWrite, "fflush", fileno(f));
    if (err == 0) return real(f);
    // As after a failed write(2), the stream drops what it held.
    __fpurge(f);
    mark_stream_failed(f, err > 0 ? err : ENOSPC);
    return EOF;
}

ssize_t fault_read(int fd, void *buf, size_t n) {
    static const auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    int err = decide_fd(kRead, "read", fd);
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(fd, buf, n);
}

ssize_t fault_pread(int fd, void *buf, size_t n, off_t offset) {
    static const auto real = next<ssize_t (*)(int, void *, size_t, off_t)>("pread");
    int err = decide_fd(kRead, "pread", fd);
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(fd, buf, n, offset);
}

size_t fault_fread(void *buf, size_t size, size_t count, FILE *f) {
    static const auto real = next<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    int err = stream_watched(f) ? decide_fd(kRead, "fread", fileno(f)) : 0;
    if (err != 0) {
        mark_stream_failed(f, err > 0 ? err : EIO);
        return 0;
    }
    return real(buf, size, count, f);
}

int fault_fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    int err = decide_fd(kSync, "fsync", fd);
    if (err != 0) {
        errno = err > 0 ? err : ENOSPC;
        return -1;
    }
    return real(fd);
}

int fault_ftruncate(int fd, off_t length) {
    static const auto real = next<int (*)(int, off_t)>("ftruncate");
    int err = decide_fd(kMetadata, "ftruncate", fd);
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(fd, length);
}

int fault_truncate(const char *path, off_t length) {
    static const auto real = next<int (*)(const char *, off_t)>("truncate");
    int err = path_watched(path) ? decide(kMetadata, "truncate", path) : 0;
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(path, length);
}

int fault_rename(const char *from, const char *to) {
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    int err = path_watched(from) || path_watched(to) ? decide(kMetadata, "rename", to) : 0;
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(from, to);
}

int fault_unlink(const char *path) {
    static const auto real = next<int (*)(const char *)>("unlink");
    int err = path_watched(path) ? decide(kMetadata, "unlink", path) : 0;
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(path);
}

int fault_remove(const char *path) {
    static const auto real = next<int (*)(const char *)>("remove");
    int err = path_watched(path) ? decide(kMetadata, "remove", path) : 0;
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(path);
}

int fault_link(const char *from, const char *to) {
    static const auto real = next<int (*)(const char *, const char *)>("link");
    int err = path_watched(to) ? decide(kMetadata, "link", to) : 0;
    if (err != 0) {
        errno = err > 0 ? err : EIO;
        return -1;
    }
    return real(from, to);
}

void *fault_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto real = next<void *(*)(void *, size_t, int, int, int, off_t)>("mmap");
    bool watched = (flags & MAP_ANONYMOUS) == 0 && fd_watched(fd);
    if (watched) {
        int err = decide_fd(kMap, "mmap", fd);
        if (err != 0) {
            errno = err > 0 ? err : EIO;
            return MAP_FAILED;
        }
    }
    void *p = real(addr, length, prot, flags, fd, offset);
    if (watched && p != MAP_FAILED) {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto start = reinterpret_cast<uintptr_t>(p);
        s.mappings.push_back({start, start + length});
    }
    return p;
}

int fault_munmap(void *addr, size_t length) {
    static const auto real = next<int (*)(void *, size_t)>("munmap");
    {
        State &s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        auto start = reinterpret_cast<uintptr_t>(addr);
        for (size_t i = 0; i < s.mappings.size(); ++i) {
            if (s.mappings[i].start == start) {
                s.mappings.erase(s.mappings.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    return real(addr, length);
}

int fault_msync(void *addr, size_t length, int flags) {
    static const auto real = next<int (*)(void *, size_t, int)>("msync");
    if (address_watched(addr)) {
        int err = decide(kSync, "msync", "(mapping)");
        if (err != 0) {
            errno = err > 0 ? err : EIO;
            return -1;
        }
    }
    return real(addr, length, flags);
}

}  // namespace
}  // namespace faults

// The C library's names. A sanitizer's runtime may call some of them while
// it starts (its symbolizer opens, reads and maps files), before anything
// here can run, and even instrumentation would fault then: these shells are
// not instrumented, and until the program's constructors run they pass
// system calls straight to the kernel.
#define UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))

namespace {
bool started_flag = false;  // builtins only: a library call would be instrumented
__attribute__((constructor)) void mark_started() { __atomic_store_n(&started_flag, true, __ATOMIC_RELEASE); }
UNINSTRUMENTED bool started() { return __atomic_load_n(&started_flag, __ATOMIC_ACQUIRE); }
}  // namespace

extern "C" {

UNINSTRUMENTED int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (!started()) return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
    return faults::fault_open(path, flags, mode);
}

UNINSTRUMENTED int close(int fd) {
    if (!started()) return static_cast<int>(syscall(SYS_close, fd));
    return faults::fault_close(fd);
}

UNINSTRUMENTED ssize_t read(int fd, void *buf, size_t n) {
    if (!started()) return syscall(SYS_read, fd, buf, n);
    return faults::fault_read(fd, buf, n);
}

UNINSTRUMENTED ssize_t pread(int fd, void *buf, size_t n, off_t offset) {
    if (!started()) return syscall(SYS_pread64, fd, buf, n, offset);
    return faults::fault_pread(fd, buf, n, offset);
}

UNINSTRUMENTED ssize_t write(int fd, const void *buf, size_t n) {
    if (!started()) return syscall(SYS_write, fd, buf, n);
    return faults::fault_write(fd, buf, n);
}

UNINSTRUMENTED ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset) {
    if (!started()) return syscall(SYS_pwrite64, fd, buf, n, offset);
    return faults::fault_pwrite(fd, buf, n, offset);
}

UNINSTRUMENTED int fsync(int fd) {
    if (!started()) return static_cast<int>(syscall(SYS_fsync, fd));
    return faults::fault_fsync(fd);
}

UNINSTRUMENTED int ftruncate(int fd, off_t length) {
    if (!started()) return static_cast<int>(syscall(SYS_ftruncate, fd, length));
    return faults::fault_ftruncate(fd, length);
}

UNINSTRUMENTED int truncate(const char *path, off_t length) {
    if (!started()) return static_cast<int>(syscall(SYS_truncate, path, length));
    return faults::fault_truncate(path, length);
}

UNINSTRUMENTED int rename(const char *from, const char *to) {
    if (!started()) return static_cast<int>(syscall(SYS_rename, from, to));
    return faults::fault_rename(from, to);
}

UNINSTRUMENTED int unlink(const char *path) {
    if (!started()) return static_cast<int>(syscall(SYS_unlink, path));
    return faults::fault_unlink(path);
}

UNINSTRUMENTED int link(const char *from, const char *to) {
    if (!started()) return static_cast<int>(syscall(SYS_link, from, to));
    return faults::fault_link(from, to);
}

UNINSTRUMENTED void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (!started())
        return reinterpret_cast<void *>(syscall(SYS_mmap, addr, length, prot, flags, fd, offset));
    return faults::fault_mmap(addr, length, prot, flags, fd, offset);
}

UNINSTRUMENTED int munmap(void *addr, size_t length) {
    if (!started()) return static_cast<int>(syscall(SYS_munmap, addr, length));
    return faults::fault_munmap(addr, length);
}

UNINSTRUMENTED int msync(void *addr, size_t length, int flags) {
    if (!started()) return static_cast<int>(syscall(SYS_msync, addr, length, flags));
    return faults::fault_msync(addr, length, flags);
}

// Streams are not used before the program starts; these only need to be
// free of instrumentation themselves.
UNINSTRUMENTED int remove(const char *path) { return faults::fault_remove(path); }
UNINSTRUMENTED FILE *fopen(const char *path, const char *mode) { return faults::fault_fopen(path, mode); }
UNINSTRUMENTED int fclose(FILE *f) { return faults::fault_fclose(f); }
UNINSTRUMENTED size_t fwrite(const void *buf, size_t size, size_t count, FILE *f) {
    return faults::fault_fwrite(buf, size, count, f);
}
UNINSTRUMENTED int fflush(FILE *f) { return faults::fault_fflush(f); }
UNINSTRUMENTED size_t fread(void *buf, size_t size, size_t count, FILE *f) {
    return faults::fault_fread(buf, size, count, f);
}

}  // extern "C"
