// Definitions of the C library's file calls for the test program; see
// fault_injection.h. Each forwards to the next definition (resolved once
// with dlsym(RTLD_NEXT)) unless the call is chosen to fail.
#include "reliability/fault_injection.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/mman.h>
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
constexpr int kShort = -1;  // decide(): store half the bytes and report that

struct Mapping {
    uintptr_t start, end;
};

struct State {
    std::mutex mutex;  // guards prefix, log and mappings
    std::string prefix;
    std::vector<std::string> log;
    std::vector<Mapping> mappings;
    std::atomic<bool> watching{false}, recording{false}, fired{false}, disk_full{false};
    std::atomic<unsigned> calls{0};
    std::atomic<uint64_t> counted{0}, target{0};  // target 0: nothing armed
    std::atomic<int> kind{0};
    std::atomic<bool> fd_watched[kMaxTrackedFd] = {};
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

// Whether a watched call goes through (0), fails with an errno value, or
// (writes only) stores half its bytes (kShort).
int decide(unsigned call, const char *name, const char *path) {
    State &s = state();
    if (s.disk_full.load() && (call & (kWrite | kSync)) != 0) return ENOSPC;
    if ((s.calls.load() & call) == 0) return 0;
    uint64_t n = ++s.counted;
    if (s.recording.load()) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.log.push_back(std::string(name) + " " + path);
    }
    if (n != s.target.load()) return 0;
    s.fired.store(true);
    switch (static_cast<Fault>(s.kind.load())) {
    case Fault::kIoError: return EIO;
    case Fault::kNoSpace: s.disk_full.store(true); return ENOSPC;
    case Fault::kShortWrite: s.disk_full.store(true); return call == kWrite ? kShort : ENOSPC;
    }
    return EIO;
}

int decide_path(unsigned call, const char *name, const char *path) {
    return path_watched(path) ? decide(call, name, path) : 0;
}

int decide_fd(unsigned call, const char *name, int fd) {
    if (!fd_watched(fd)) return 0;
    char path[512] = "?";
    if (state().recording.load()) {  // the file's name, for the record
        char link[64];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        path[n > 0 ? n : 0] = '\0';
    }
    return decide(call, name, path);
}

int decide_mapping(const void *addr) {
    State &s = state();
    if (!s.watching.load()) return 0;
    auto a = reinterpret_cast<uintptr_t>(addr);
    bool watched = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        for (const Mapping &m : s.mappings) watched = watched || (a >= m.start && a < m.end);
    }
    return watched ? decide(kSync, "msync", "(mapping)") : 0;
}

// Sets errno for a failure (kShort counts as ENOSPC) and returns value.
template <typename R>
R failed(int err, R value) {
    errno = err > 0 ? err : ENOSPC;
    return value;
}

size_t stream_failed(FILE *f, int err, size_t stored) {
    f->_flags |= _IO_ERR_SEEN;
    return failed(err, stored);
}

// The calls with their faults, behind the C-named shells at the end.

int fault_open(const char *path, int flags, mode_t mode) {
    static const auto real = next<int (*)(const char *, int, ...)>("open");
    bool watched = path_watched(path);
    int err = watched ? decide(kOpen, "open", path) : 0;
    if (err != 0) return failed(err, -1);
    int fd = real(path, flags, mode);
    if (fd >= 0) set_fd_watched(fd, watched);
    return fd;
}

FILE *fault_fopen(const char *path, const char *mode) {
    static const auto real = next<FILE *(*)(const char *, const char *)>("fopen");
    bool watched = path_watched(path);
    int err = watched ? decide(kOpen, "fopen", path) : 0;
    if (err != 0) return failed<FILE *>(err, nullptr);
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
    int err = stream_watched(f) && __fpending(f) > 0 ? decide_fd(kWrite, "fclose", fileno(f)) : 0;
    set_fd_watched(fileno(f), false);
    if (err == 0) return real(f);
    __fpurge(f);  // a failed close still releases the stream; what it held is lost
    real(f);
    return failed(err, EOF);
}

ssize_t fault_write(int fd, const void *buf, size_t n) {
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    int err = decide_fd(kWrite, "write", fd);
    if (err == kShort && n > 1) return real(fd, buf, n / 2);
    return err != 0 ? failed<ssize_t>(err, -1) : real(fd, buf, n);
}

ssize_t fault_pwrite(int fd, const void *buf, size_t n, off_t offset) {
    static const auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite");
    int err = decide_fd(kWrite, "pwrite", fd);
    if (err == kShort && n > 1) return real(fd, buf, n / 2, offset);
    return err != 0 ? failed<ssize_t>(err, -1) : real(fd, buf, n, offset);
}

size_t fault_fwrite(const void *buf, size_t size, size_t count, FILE *f) {
    static const auto real = next<size_t (*)(const void *, size_t, size_t, FILE *)>("fwrite");
    int err = stream_watched(f) ? decide_fd(kWrite, "fwrite", fileno(f)) : 0;
    if (err == kShort && size > 0 && count > 1) return stream_failed(f, ENOSPC, real(buf, size, count / 2, f));
    return err != 0 ? stream_failed(f, err, 0) : real(buf, size, count, f);
}

int fault_fflush(FILE *f) {
    static const auto real = next<int (*)(FILE *)>("fflush");
    if (f == nullptr || !stream_watched(f) || __fpending(f) == 0) return real(f);
    int err = decide_fd(kWrite, "fflush", fileno(f));
    if (err == 0) return real(f);
    __fpurge(f);  // as after a failed write(2), the stream drops what it held
    stream_failed(f, err, 0);
    return EOF;
}

ssize_t fault_read(int fd, void *buf, size_t n) {
    static const auto real = next<ssize_t (*)(int, void *, size_t)>("read");
    int err = decide_fd(kRead, "read", fd);
    return err != 0 ? failed<ssize_t>(err, -1) : real(fd, buf, n);
}

ssize_t fault_pread(int fd, void *buf, size_t n, off_t offset) {
    static const auto real = next<ssize_t (*)(int, void *, size_t, off_t)>("pread");
    int err = decide_fd(kRead, "pread", fd);
    return err != 0 ? failed<ssize_t>(err, -1) : real(fd, buf, n, offset);
}

size_t fault_fread(void *buf, size_t size, size_t count, FILE *f) {
    static const auto real = next<size_t (*)(void *, size_t, size_t, FILE *)>("fread");
    int err = stream_watched(f) ? decide_fd(kRead, "fread", fileno(f)) : 0;
    return err != 0 ? stream_failed(f, err, 0) : real(buf, size, count, f);
}

int fault_fsync(int fd) {
    static const auto real = next<int (*)(int)>("fsync");
    int err = decide_fd(kSync, "fsync", fd);
    return err != 0 ? failed(err, -1) : real(fd);
}

int fault_ftruncate(int fd, off_t length) {
    static const auto real = next<int (*)(int, off_t)>("ftruncate");
    int err = decide_fd(kMetadata, "ftruncate", fd);
    return err != 0 ? failed(err, -1) : real(fd, length);
}

int fault_truncate(const char *path, off_t length) {
    static const auto real = next<int (*)(const char *, off_t)>("truncate");
    int err = decide_path(kMetadata, "truncate", path);
    return err != 0 ? failed(err, -1) : real(path, length);
}

int fault_rename(const char *from, const char *to) {
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    int err = path_watched(from) || path_watched(to) ? decide(kMetadata, "rename", to) : 0;
    return err != 0 ? failed(err, -1) : real(from, to);
}

int fault_unlink(const char *path) {
    static const auto real = next<int (*)(const char *)>("unlink");
    int err = decide_path(kMetadata, "unlink", path);
    return err != 0 ? failed(err, -1) : real(path);
}

int fault_remove(const char *path) {
    static const auto real = next<int (*)(const char *)>("remove");
    int err = decide_path(kMetadata, "remove", path);
    return err != 0 ? failed(err, -1) : real(path);
}

int fault_link(const char *from, const char *to) {
    static const auto real = next<int (*)(const char *, const char *)>("link");
    int err = decide_path(kMetadata, "link", to);
    return err != 0 ? failed(err, -1) : real(from, to);
}

void *fault_mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset) {
    static const auto real = next<void *(*)(void *, size_t, int, int, int, off_t)>("mmap");
    bool watched = (flags & MAP_ANONYMOUS) == 0 && fd_watched(fd);
    int err = watched ? decide_fd(kMap, "mmap", fd) : 0;
    if (err != 0) return failed(err, MAP_FAILED);
    void *p = real(addr, length, prot, flags, fd, offset);
    if (watched && p != MAP_FAILED) {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto start = reinterpret_cast<uintptr_t>(p);
        state().mappings.push_back({start, start + length});
    }
    return p;
}

int fault_munmap(void *addr, size_t length) {
    static const auto real = next<int (*)(void *, size_t)>("munmap");
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        std::vector<Mapping> &m = state().mappings;
        for (size_t i = 0; i < m.size(); ++i) {
            if (m[i].start == reinterpret_cast<uintptr_t>(addr)) {
                m.erase(m.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
    }
    return real(addr, length);
}

int fault_msync(void *addr, size_t length, int flags) {
    static const auto real = next<int (*)(void *, size_t, int)>("msync");
    int err = decide_mapping(addr);
    return err != 0 ? failed(err, -1) : real(addr, length, flags);
}

}  // namespace

const char *fault_name(Fault kind) {
    switch (kind) {
    case Fault::kIoError: return "EIO";
    case Fault::kNoSpace: return "ENOSPC";
    case Fault::kShortWrite: return "short_write";
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
    clear();
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
    clear();
    s.fired.store(false);
    s.kind.store(static_cast<int>(kind));
    s.counted.store(0);
    s.target.store(point);
}

void clear() {
    state().target.store(0);
    state().disk_full.store(false);
}

bool fired() { return state().fired.load(); }

}  // namespace faults

// The C library's names. A sanitizer's runtime may call some of them while
// it starts (its symbolizer opens, reads and maps files), before anything
// above can run, and even instrumentation would fault then: these shells
// are not instrumented, and until the program's constructors run they pass
// system calls straight to the kernel. Streams are not used that early.
#define UNINSTRUMENTED __attribute__((no_sanitize("address", "thread", "undefined")))

namespace {
bool started_flag = false;  // builtins only: a library call would be instrumented
__attribute__((constructor)) void mark_started() { __atomic_store_n(&started_flag, true, __ATOMIC_RELEASE); }
UNINSTRUMENTED bool started() { return __atomic_load_n(&started_flag, __ATOMIC_ACQUIRE); }
}  // namespace

using namespace faults;

extern "C" {

UNINSTRUMENTED int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    return started() ? fault_open(path, flags, mode) : int(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}
UNINSTRUMENTED int close(int fd) { return started() ? fault_close(fd) : int(syscall(SYS_close, fd)); }
UNINSTRUMENTED ssize_t read(int fd, void *buf, size_t n) {
    return started() ? fault_read(fd, buf, n) : syscall(SYS_read, fd, buf, n);
}
UNINSTRUMENTED ssize_t pread(int fd, void *buf, size_t n, off_t at) {
    return started() ? fault_pread(fd, buf, n, at) : syscall(SYS_pread64, fd, buf, n, at);
}
UNINSTRUMENTED ssize_t write(int fd, const void *buf, size_t n) {
    return started() ? fault_write(fd, buf, n) : syscall(SYS_write, fd, buf, n);
}
UNINSTRUMENTED ssize_t pwrite(int fd, const void *buf, size_t n, off_t at) {
    return started() ? fault_pwrite(fd, buf, n, at) : syscall(SYS_pwrite64, fd, buf, n, at);
}
UNINSTRUMENTED int fsync(int fd) { return started() ? fault_fsync(fd) : int(syscall(SYS_fsync, fd)); }
UNINSTRUMENTED int ftruncate(int fd, off_t n) {
    return started() ? fault_ftruncate(fd, n) : int(syscall(SYS_ftruncate, fd, n));
}
UNINSTRUMENTED int truncate(const char *path, off_t n) {
    return started() ? fault_truncate(path, n) : int(syscall(SYS_truncate, path, n));
}
UNINSTRUMENTED int rename(const char *from, const char *to) {
    return started() ? fault_rename(from, to) : int(syscall(SYS_rename, from, to));
}
UNINSTRUMENTED int unlink(const char *path) { return started() ? fault_unlink(path) : int(syscall(SYS_unlink, path)); }
UNINSTRUMENTED int link(const char *from, const char *to) {
    return started() ? fault_link(from, to) : int(syscall(SYS_link, from, to));
}
UNINSTRUMENTED void *mmap(void *addr, size_t n, int prot, int flags, int fd, off_t at) {
    return started() ? fault_mmap(addr, n, prot, flags, fd, at)
                     : reinterpret_cast<void *>(syscall(SYS_mmap, addr, n, prot, flags, fd, at));
}
UNINSTRUMENTED int munmap(void *addr, size_t n) {
    return started() ? fault_munmap(addr, n) : int(syscall(SYS_munmap, addr, n));
}
UNINSTRUMENTED int msync(void *addr, size_t n, int flags) {
    return started() ? fault_msync(addr, n, flags) : int(syscall(SYS_msync, addr, n, flags));
}
UNINSTRUMENTED int remove(const char *path) { return fault_remove(path); }
UNINSTRUMENTED FILE *fopen(const char *path, const char *mode) { return fault_fopen(path, mode); }
UNINSTRUMENTED int fclose(FILE *f) { return fault_fclose(f); }
UNINSTRUMENTED size_t fwrite(const void *buf, size_t size, size_t n, FILE *f) { return fault_fwrite(buf, size, n, f); }
UNINSTRUMENTED int fflush(FILE *f) { return fault_fflush(f); }
UNINSTRUMENTED size_t fread(void *buf, size_t size, size_t n, FILE *f) { return fault_fread(buf, size, n, f); }

}  // extern "C"
