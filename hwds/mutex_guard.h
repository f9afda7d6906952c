// Holds a platform mutex for one scope. A wait that does not acquire the
// mutex normally (abandoned, failed, no mutex at all) counts as failed, and
// the mutex is released all the same on the way out.
#pragma once

#include "platform/platform.h"

namespace hwds {

class MutexGuard {
public:
    explicit MutexGuard(platform::MutexHandle mutex) : mutex_(mutex) {
        if (mutex_ != platform::kNoMutex)
            acquired_ = platform::current().mutexes->wait(mutex_) == platform::WaitResult::Acquired;
    }
    ~MutexGuard() {
        if (mutex_ != platform::kNoMutex) platform::current().mutexes->release(mutex_);
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

    bool acquired() const { return acquired_; }

private:
    platform::MutexHandle mutex_;
    bool acquired_ = false;
};

}  // namespace hwds
