// Scoped holds of the handle's public read-write locks, for the few places
// where the tool reads handle fields (the catalog, the index pointers, the
// memtables) directly, as hosts may.
#pragma once

#include <pthread.h>

namespace morva::cli {

class ReadLock {
public:
    explicit ReadLock(pthread_rwlock_t *lock) : lock_(lock) { pthread_rwlock_rdlock(lock_); }
    ~ReadLock() { pthread_rwlock_unlock(lock_); }
    ReadLock(const ReadLock &) = delete;
    ReadLock &operator=(const ReadLock &) = delete;

private:
    pthread_rwlock_t *lock_;
};

class WriteLock {
public:
    explicit WriteLock(pthread_rwlock_t *lock) : lock_(lock) { pthread_rwlock_wrlock(lock_); }
    ~WriteLock() { pthread_rwlock_unlock(lock_); }
    WriteLock(const WriteLock &) = delete;
    WriteLock &operator=(const WriteLock &) = delete;

private:
    pthread_rwlock_t *lock_;
};

}  // namespace morva::cli
