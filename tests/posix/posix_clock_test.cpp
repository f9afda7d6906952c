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

}  // namespace
}  // namespace platform
