#include "tests/fakes/fake_mutexes.h"

namespace fakes {

platform::MutexHandle FakeMutexes::create() {
    if (refuseCreate) return platform::kNoMutex;
    ++created_;
    const auto handle = platform::handleFor<platform::MutexHandle>(new std::recursive_mutex);
    std::lock_guard<std::mutex> hold(mutex_);
    createdOrder_.push_back(handle);
    return handle;
}

platform::WaitResult FakeMutexes::wait(platform::MutexHandle mutex) {
    objectOf<std::recursive_mutex>(mutex)->lock();
    // An abandoned mutex is owned by the waiter, as on Windows.
    if (waitOutcome == platform::WaitResult::Failed) {
        objectOf<std::recursive_mutex>(mutex)->unlock();
    }
    return waitOutcome;
}

bool FakeMutexes::release(platform::MutexHandle mutex) {
    ++releases_;
    if (waitOutcome == platform::WaitResult::Failed) return false;  // never owned
    objectOf<std::recursive_mutex>(mutex)->unlock();
    return true;
}

bool FakeMutexes::close(platform::MutexHandle mutex) {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        closedOrder_.push_back(mutex);
    }
    ++closed_;
    delete objectOf<std::recursive_mutex>(mutex);
    return true;
}

std::vector<platform::MutexHandle> FakeMutexes::createdOrder() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return createdOrder_;
}

std::vector<platform::MutexHandle> FakeMutexes::closedOrder() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return closedOrder_;
}

}  // namespace fakes
