#include "platform/posix/posix_mutex.h"

#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

namespace platform {

namespace {

// The holder and its depth are kept beside the mutex so that release and
// close never unlock a mutex this thread does not hold.
struct Mutex {
    pthread_mutex_t m;
    std::atomic<std::thread::id> owner{};
    unsigned depth = 0;  // touched only by the holder
};

Mutex* mutexOf(MutexHandle h) {
    if (h == kNoMutex || rawHandle(h) == -1) return nullptr;
    return objectOf<Mutex>(h);
}

// Called with the mutex just locked by this thread.
void noteAcquired(Mutex* mx, bool abandoned) {
    std::thread::id self = std::this_thread::get_id();
    if (!abandoned && mx->owner.load(std::memory_order_relaxed) == self) {
        ++mx->depth;
    } else {
        mx->owner.store(self, std::memory_order_relaxed);
        mx->depth = 1;
    }
}

class AttrGuard {
public:
    AttrGuard() { ok_ = ::pthread_mutexattr_init(&attr_) == 0; }
    ~AttrGuard() {
        if (ok_) ::pthread_mutexattr_destroy(&attr_);
    }
    AttrGuard(const AttrGuard&) = delete;
    AttrGuard& operator=(const AttrGuard&) = delete;
    bool ok() const { return ok_; }
    pthread_mutexattr_t* get() { return &attr_; }

private:
    pthread_mutexattr_t attr_;
    bool ok_;
};

}  // namespace

MutexHandle PosixMutexes::create() {
    AttrGuard attr;
    if (!attr.ok() || ::pthread_mutexattr_settype(attr.get(), PTHREAD_MUTEX_RECURSIVE) != 0 ||
        ::pthread_mutexattr_setrobust(attr.get(), PTHREAD_MUTEX_ROBUST) != 0) {
        return kNoMutex;
    }
    std::unique_ptr<Mutex> mx(new (std::nothrow) Mutex);
    if (!mx || ::pthread_mutex_init(&mx->m, attr.get()) != 0) return kNoMutex;
    return handleFor<MutexHandle>(mx.release());
}

WaitResult PosixMutexes::wait(MutexHandle mutex) {
    Mutex* mx = mutexOf(mutex);
    if (mx == nullptr) return WaitResult::Failed;
    int rc = ::pthread_mutex_lock(&mx->m);
    if (rc == 0) {
        noteAcquired(mx, false);
        return WaitResult::Acquired;
    }
    if (rc == EOWNERDEAD) {
        // The waiter now owns it; made consistent so that it stays usable
        // after the caller releases it.
        ::pthread_mutex_consistent(&mx->m);
        noteAcquired(mx, true);
        return WaitResult::Abandoned;
    }
    return WaitResult::Failed;
}

bool PosixMutexes::release(MutexHandle mutex) {
    Mutex* mx = mutexOf(mutex);
    if (mx == nullptr || mx->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
        return false;  // as ReleaseMutex by a thread that does not own it
    }
    if (--mx->depth == 0) mx->owner.store(std::thread::id(), std::memory_order_relaxed);
    return ::pthread_mutex_unlock(&mx->m) == 0;
}

bool PosixMutexes::close(MutexHandle mutex) {
    Mutex* mx = mutexOf(mutex);
    if (mx == nullptr) return false;
    int rc = ::pthread_mutex_trylock(&mx->m);
    if (rc == EOWNERDEAD) ::pthread_mutex_consistent(&mx->m);
    if (rc != 0 && rc != EOWNERDEAD) return false;
    noteAcquired(mx, rc == EOWNERDEAD);
    // Unlock every level this thread holds, so that no robust list still
    // refers to the memory about to be freed.
    std::unique_ptr<Mutex> owned(mx);
    for (unsigned i = mx->depth; i > 0; --i) ::pthread_mutex_unlock(&mx->m);
    return ::pthread_mutex_destroy(&mx->m) == 0;
}

}  // namespace platform
