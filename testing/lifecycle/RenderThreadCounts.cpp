#include "testing/lifecycle/RenderThreadCounts.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_THREAD__)
#define SONABEL_COUNT_ALLOCATIONS_ONLY 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define SONABEL_COUNT_ALLOCATIONS_ONLY 1
#endif
#endif

#if SONABEL_COUNT_ALLOCATIONS_ONLY

// Not in every compiler's sanitizer headers; every sanitizer runtime has it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

thread_local bool rendering = false;
std::atomic<long> allocations{0};
std::atomic<long> blockingCalls{0};
std::atomic<long> fileCalls{0};

void counted(const volatile void*, std::size_t) {
    if (rendering) allocations.fetch_add(1, std::memory_order_relaxed);
}
void countedFree(const volatile void* p) {
    if (p && rendering) allocations.fetch_add(1, std::memory_order_relaxed);
}
// Installed before main, before any thread renders.
[[maybe_unused]] const int installed = __sanitizer_install_malloc_and_free_hooks(counted, countedFree);

} // namespace

bool renderthread::countsBlockingAndFileCalls() {
    return false;
}

#else

#include <cstdlib>
#include <dlfcn.h>
#include <new>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

thread_local bool rendering = false;
std::atomic<long> allocations{0};
std::atomic<long> blockingCalls{0};
std::atomic<long> fileCalls{0};

void* allocate(std::size_t size, std::size_t alignment = 0) {
    if (rendering) allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = nullptr;
    if (alignment > alignof(std::max_align_t)) {
        if (posix_memalign(&p, alignment, size ? size : 1) != 0) p = nullptr;
    } else {
        p = std::malloc(size ? size : 1);
    }
    if (!p) throw std::bad_alloc();
    return p;
}

void release(void* p) noexcept {
    if (p && rendering) allocations.fetch_add(1, std::memory_order_relaxed);
    std::free(p);
}

// The real calls, found once before main: looking them up on first use could itself lock.
template <typename F> F next(const char* name, const char* version = nullptr) {
    void* symbol = version ? dlvsym(RTLD_NEXT, name, version) : nullptr;
    if (!symbol) symbol = dlsym(RTLD_NEXT, name);
    return reinterpret_cast<F>(symbol);
}
using MutexLock = int (*)(pthread_mutex_t*);
using CondWait = int (*)(pthread_cond_t*, pthread_mutex_t*);
using CondTimedWait = int (*)(pthread_cond_t*, pthread_mutex_t*, const timespec*);
using CondClockWait = int (*)(pthread_cond_t*, pthread_mutex_t*, clockid_t, const timespec*);
using RwLock = int (*)(pthread_rwlock_t*);
MutexLock realMutexLock = next<MutexLock>("pthread_mutex_lock");
// The condition calls have an old and a current version; the current one is what callers link to.
CondWait realCondWait = next<CondWait>("pthread_cond_wait", "GLIBC_2.3.2");
CondTimedWait realCondTimedWait = next<CondTimedWait>("pthread_cond_timedwait", "GLIBC_2.3.2");
CondClockWait realCondClockWait = next<CondClockWait>("pthread_cond_clockwait");
RwLock realRdLock = next<RwLock>("pthread_rwlock_rdlock");
RwLock realWrLock = next<RwLock>("pthread_rwlock_wrlock");
using Read = ssize_t (*)(int, void*, size_t);
using Write = ssize_t (*)(int, const void*, size_t);
using PRead = ssize_t (*)(int, void*, size_t, off_t);
using PWrite = ssize_t (*)(int, const void*, size_t, off_t);
using Seek = off_t (*)(int, off_t, int);
using Vector = ssize_t (*)(int, const iovec*, int);
Read realRead = next<Read>("read");
Write realWrite = next<Write>("write");
PRead realPRead = next<PRead>("pread64");
PWrite realPWrite = next<PWrite>("pwrite64");
Seek realSeek = next<Seek>("lseek64");
Vector realReadV = next<Vector>("readv");
Vector realWriteV = next<Vector>("writev");

void blocking() {
    if (rendering) blockingCalls.fetch_add(1, std::memory_order_relaxed);
}
void fileCall() {
    if (rendering) fileCalls.fetch_add(1, std::memory_order_relaxed);
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void* operator new(std::size_t size, std::align_val_t a) {
    return allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
    return allocate(size, std::size_t(a));
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}

extern "C" {
int pthread_mutex_lock(pthread_mutex_t* m) {
    blocking();
    return realMutexLock(m);
}
int pthread_cond_wait(pthread_cond_t* c, pthread_mutex_t* m) {
    blocking();
    return realCondWait(c, m);
}
int pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m, const timespec* t) {
    blocking();
    return realCondTimedWait(c, m, t);
}
int pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock, const timespec* t) {
    blocking();
    return realCondClockWait(c, m, clock, t);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) {
    blocking();
    return realRdLock(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) {
    blocking();
    return realWrLock(l);
}
ssize_t read(int fd, void* data, size_t size) {
    fileCall();
    return realRead(fd, data, size);
}
ssize_t write(int fd, const void* data, size_t size) {
    fileCall();
    return realWrite(fd, data, size);
}
ssize_t pread(int fd, void* data, size_t size, off_t at) {
    fileCall();
    return realPRead(fd, data, size, at);
}
ssize_t pread64(int fd, void* data, size_t size, off_t at) {
    fileCall();
    return realPRead(fd, data, size, at);
}
ssize_t pwrite(int fd, const void* data, size_t size, off_t at) {
    fileCall();
    return realPWrite(fd, data, size, at);
}
ssize_t pwrite64(int fd, const void* data, size_t size, off_t at) {
    fileCall();
    return realPWrite(fd, data, size, at);
}
off_t lseek(int fd, off_t offset, int whence) {
    fileCall();
    return realSeek(fd, offset, whence);
}
off_t lseek64(int fd, off_t offset, int whence) {
    fileCall();
    return realSeek(fd, offset, whence);
}
ssize_t readv(int fd, const iovec* parts, int count) {
    fileCall();
    return realReadV(fd, parts, count);
}
ssize_t writev(int fd, const iovec* parts, int count) {
    fileCall();
    return realWriteV(fd, parts, count);
}
}

bool renderthread::countsBlockingAndFileCalls() {
    return true;
}

#endif

void renderthread::setRendering(bool on) {
    rendering = on;
}

renderthread::Counts renderthread::counts() {
    return {allocations.load(), blockingCalls.load(), fileCalls.load()};
}

void renderthread::resetCounts() {
    allocations = 0;
    blockingCalls = 0;
    fileCalls = 0;
}
