#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_clock.h"

namespace platform {
namespace {

std::atomic<int> signalsSeen{0};

TEST(PosixClockTest, SleepResumesAfterSignals) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) { ++signalsSeen; };  // no SA_RESTART: nanosleep sees EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const pthread_t sleeper = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(20))) pthread_kill(sleeper, SIGUSR1);
    });
    const auto start = std::chrono::steady_clock::now();
    PosixClock().sleep(300);
    const auto slept = std::chrono::steady_clock::now() - start;
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GT(signalsSeen.load(), 1);
    EXPECT_GE(slept, std::chrono::milliseconds(300));
}

// The tick is the monotonic clock in milliseconds, folded to 32 bits.
TEST(PosixClockTest, TickIsTheMonotonicClockInMilliseconds) {
    using std::chrono::milliseconds;
    const auto msNow = [] {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return static_cast<uint32_t>(std::chrono::duration_cast<milliseconds>(now).count());
    };
    const uint32_t before = msNow();
    const uint32_t tick = PosixClock().tickCount();
    const uint32_t after = msNow();
    // Differences modulo 2^32, so that a wrap between the readings counts right.
    EXPECT_LE(static_cast<uint32_t>(tick - before), static_cast<uint32_t>(after - before));
}

}  // namespace
}  // namespace platform
