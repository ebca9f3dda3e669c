#pragma once
#include "sonabel/internals/utilities/ThreadLock.h"

#include <pthread.h>

namespace sonabel {

// A POSIX read/write lock. A lock that cannot be made would silently guard nothing, so failing
// to make one logs the reason and stops the process.
class RWThreadLock final : public ThreadLock {
public:
    RWThreadLock();
    ~RWThreadLock() override;
    RWThreadLock(const RWThreadLock&) = delete;
    RWThreadLock& operator=(const RWThreadLock&) = delete;

    void readLock() override { pthread_rwlock_rdlock(&lock_); }
    void writeLock() override { pthread_rwlock_wrlock(&lock_); }
    void unlock() override { pthread_rwlock_unlock(&lock_); }

    // Seam for tests: the initialisation that may fail.
    using InitFunction = int (*)(pthread_rwlock_t*, const pthread_rwlockattr_t*);
    static void setInitFunctionForTesting(InitFunction init);

private:
    pthread_rwlock_t lock_;
};

} // namespace sonabel
