// A clock that moves only when told to, or when someone sleeps on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace fakes {

class FakeClock : public platform::Clock {
public:
    explicit FakeClock(uint32_t start = 0) : now_(start) {}

    uint32_t tickCount() override { return now_.load(); }
    void sleep(uint32_t ms) override {
        std::lock_guard<std::mutex> hold(mutex_);
        sleeps_.push_back(ms);
        now_ += ms;
    }

    void advance(uint32_t ms) { now_ += ms; }
    std::vector<uint32_t> sleeps() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return sleeps_;
    }

private:
    std::atomic<uint32_t> now_;
    mutable std::mutex mutex_;
    std::vector<uint32_t> sleeps_;
};

}  // namespace fakes
