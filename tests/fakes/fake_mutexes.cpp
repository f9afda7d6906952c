#include "tests/fakes/fake_mutexes.h"

namespace fakes {

platform::Handle FakeMutexes::create() {
    if (refuseCreate) return platform::kNullHandle;
    ++created_;
    return reinterpret_cast<platform::Handle>(new std::recursive_mutex);
}

platform::WaitResult FakeMutexes::wait(platform::Handle mutex) {
    reinterpret_cast<std::recursive_mutex*>(mutex)->lock();
    // An abandoned mutex is owned by the waiter, as on Windows.
    if (waitOutcome == platform::WaitResult::Failed) {
        reinterpret_cast<std::recursive_mutex*>(mutex)->unlock();
    }
    return waitOutcome;
}

bool FakeMutexes::release(platform::Handle mutex) {
    ++releases_;
    if (waitOutcome == platform::WaitResult::Failed) return false;  // never owned
    reinterpret_cast<std::recursive_mutex*>(mutex)->unlock();
    return true;
}

bool FakeMutexes::close(platform::Handle mutex) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closedOrder_.push_back(mutex);
    }
    ++closed_;
    delete reinterpret_cast<std::recursive_mutex*>(mutex);
    return true;
}

std::vector<platform::Handle> FakeMutexes::closedOrder() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return closedOrder_;
}

}  // namespace fakes
