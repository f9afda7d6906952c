#include "platform/posix/posix_mutex.h"

#include <errno.h>
#include <pthread.h>

#include <memory>
#include <new>

namespace platform {

namespace {

pthread_mutex_t* mutexOf(Handle h) {
    if (h == kNullHandle || h == kInvalidHandle) return nullptr;
    return reinterpret_cast<pthread_mutex_t*>(h);
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

Handle PosixMutexes::create() {
    AttrGuard attr;
    if (!attr.ok() || ::pthread_mutexattr_settype(attr.get(), PTHREAD_MUTEX_RECURSIVE) != 0 ||
        ::pthread_mutexattr_setrobust(attr.get(), PTHREAD_MUTEX_ROBUST) != 0) {
        return kNullHandle;
    }
    std::unique_ptr<pthread_mutex_t> m(new (std::nothrow) pthread_mutex_t);
    if (!m || ::pthread_mutex_init(m.get(), attr.get()) != 0) return kNullHandle;
    return reinterpret_cast<Handle>(m.release());
}

WaitResult PosixMutexes::wait(Handle mutex) {
    pthread_mutex_t* m = mutexOf(mutex);
    if (m == nullptr) return WaitResult::Failed;
    int rc = ::pthread_mutex_lock(m);
    if (rc == 0) return WaitResult::Acquired;
    if (rc == EOWNERDEAD) {
        // The waiter now owns it; made consistent so that it stays usable
        // after the caller releases it.
        ::pthread_mutex_consistent(m);
        return WaitResult::Abandoned;
    }
    return WaitResult::Failed;
}

bool PosixMutexes::release(Handle mutex) {
    pthread_mutex_t* m = mutexOf(mutex);
    return m != nullptr && ::pthread_mutex_unlock(m) == 0;
}

bool PosixMutexes::close(Handle mutex) {
    pthread_mutex_t* m = mutexOf(mutex);
    if (m == nullptr) return false;
    int rc = ::pthread_mutex_trylock(m);
    if (rc == EOWNERDEAD) {
        ::pthread_mutex_consistent(m);
        rc = 0;
    }
    if (rc != 0) return false;
    // Now held by this thread, perhaps at several levels: unlock them all so
    // that no robust list still refers to it.
    while (::pthread_mutex_unlock(m) == 0) {
    }
    std::unique_ptr<pthread_mutex_t> owned(m);
    return ::pthread_mutex_destroy(m) == 0;
}

}  // namespace platform
