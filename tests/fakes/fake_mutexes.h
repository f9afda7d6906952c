// Mutexes that behave like the real ones but can be told to fail, and that
// record what was done to them.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace fakes {

class FakeMutexes : public platform::Mutexes {
public:
    bool refuseCreate = false;
    platform::WaitResult waitOutcome = platform::WaitResult::Acquired;

    platform::MutexHandle create() override;
    platform::WaitResult wait(platform::MutexHandle mutex) override;
    bool release(platform::MutexHandle mutex) override;
    bool close(platform::MutexHandle mutex) override;

    int created() const { return created_.load(); }
    int open() const { return created_.load() - closed_.load(); }
    int releases() const { return releases_.load(); }
    // Handles in the order they were created, and in the order they were closed.
    std::vector<platform::MutexHandle> createdOrder() const;
    std::vector<platform::MutexHandle> closedOrder() const;

private:
    std::atomic<int> created_{0};
    std::atomic<int> closed_{0};
    std::atomic<int> releases_{0};
    mutable std::mutex mutex_;
    std::vector<platform::MutexHandle> createdOrder_;
    std::vector<platform::MutexHandle> closedOrder_;
};

}  // namespace fakes
