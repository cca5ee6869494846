// RAII guards for the POSIX locks that live inside the public records, and
// for file descriptors, so that every early return releases what it took.
#pragma once

#include <pthread.h>
#include <unistd.h>

namespace morva {

// Initialises a read-write lock on which a waiting writer stops new readers
// from entering. The default glibc kind lets readers keep overtaking a
// waiting writer, so a steady stream of lookups on other threads can hold
// off a put indefinitely. Such a lock must never be read-locked twice by one
// thread: with a writer queued in between, the second read would wait for
// the writer, which waits for the first. Returns pthread_rwlock_init's result.
inline int init_writer_preferring_rwlock(pthread_rwlock_t *lock) {
    pthread_rwlockattr_t attr;
    if (pthread_rwlockattr_init(&attr) != 0) return pthread_rwlock_init(lock, nullptr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    int rc = pthread_rwlock_init(lock, &attr);
    pthread_rwlockattr_destroy(&attr);
    return rc;
}

class ReadGuard {
public:
    explicit ReadGuard(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ~ReadGuard() { pthread_rwlock_unlock(l_); }
    ReadGuard(const ReadGuard &) = delete;
    ReadGuard &operator=(const ReadGuard &) = delete;
private:
    pthread_rwlock_t *l_;
};

class WriteGuard {
public:
    explicit WriteGuard(pthread_rwlock_t *l) : l_(l) { pthread_rwlock_wrlock(l_); }
    ~WriteGuard() { pthread_rwlock_unlock(l_); }
    WriteGuard(const WriteGuard &) = delete;
    WriteGuard &operator=(const WriteGuard &) = delete;
private:
    pthread_rwlock_t *l_;
};

// Read and write guards that first retry the lock for a few microseconds
// before blocking in the kernel. For locks held only briefly (a lookup, one
// memtable insert) this keeps two threads on two cores from putting each
// other to sleep on every collision: a futex sleep and wake-up costs far
// more than the critical section. The retries use the try-lock calls, which
// do not register as a waiter, so a spinning writer does not hold off
// readers until it really queues.
constexpr int kLockSpins = 128;

inline void cpu_relax() { __builtin_ia32_pause(); }

inline void read_lock_spinning(pthread_rwlock_t *l) {
    for (int i = 0; i < kLockSpins; ++i) {
        if (pthread_rwlock_tryrdlock(l) == 0) return;
        cpu_relax();
    }
    pthread_rwlock_rdlock(l);
}

inline void write_lock_spinning(pthread_rwlock_t *l) {
    for (int i = 0; i < kLockSpins; ++i) {
        if (pthread_rwlock_trywrlock(l) == 0) return;
        cpu_relax();
    }
    pthread_rwlock_wrlock(l);
}

class SpinningReadGuard {
public:
    explicit SpinningReadGuard(pthread_rwlock_t *l) : l_(l) { read_lock_spinning(l_); }
    ~SpinningReadGuard() { pthread_rwlock_unlock(l_); }
    SpinningReadGuard(const SpinningReadGuard &) = delete;
    SpinningReadGuard &operator=(const SpinningReadGuard &) = delete;
private:
    pthread_rwlock_t *l_;
};

class SpinningWriteGuard {
public:
    explicit SpinningWriteGuard(pthread_rwlock_t *l) : l_(l) { write_lock_spinning(l_); }
    ~SpinningWriteGuard() { pthread_rwlock_unlock(l_); }
    SpinningWriteGuard(const SpinningWriteGuard &) = delete;
    SpinningWriteGuard &operator=(const SpinningWriteGuard &) = delete;
private:
    pthread_rwlock_t *l_;
};

class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t *m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexGuard() { pthread_mutex_unlock(m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
private:
    pthread_mutex_t *m_;
};

// Owns a file descriptor; closes it on destruction unless released.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept { if (this != &o) { reset(); fd_ = o.release(); } return *this; }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1) { if (fd_ >= 0) ::close(fd_); fd_ = fd; }

private:
    int fd_ = -1;
};

}  // namespace morva
