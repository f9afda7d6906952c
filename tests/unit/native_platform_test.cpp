// The system's own mutexes, clock and heap, whichever system this is: what
// the framework relies on them for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace platform {
namespace {

TEST(NativeMutexes, ReentrantForTheHolderAndExclusiveForOthers) {
    Mutexes& mutexes = *native().mutexes;
    MutexHandle m = mutexes.create();
    ASSERT_NE(m, kNoMutex);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);

    std::atomic<bool> acquired{false};
    bool othersRelease = true;
    std::thread other([&] {
        othersRelease = mutexes.release(m);  // not the holder
        acquired = mutexes.wait(m) == WaitResult::Acquired;
        mutexes.release(m);
    });
    EXPECT_TRUE(mutexes.release(m));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired) << "taken while still held once";
    EXPECT_TRUE(mutexes.release(m));
    other.join();
    EXPECT_FALSE(othersRelease);
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(mutexes.close(m));
    EXPECT_EQ(mutexes.wait(kNoMutex), WaitResult::Failed);
}

TEST(NativeMutexes, HolderThatEndsLeavesItAbandonedToTheNextWaiter) {
    Mutexes& mutexes = *native().mutexes;
    MutexHandle m = mutexes.create();
    ASSERT_NE(m, kNoMutex);
    std::thread([&] {
        mutexes.wait(m);
        mutexes.wait(m);
    }).join();
    EXPECT_EQ(mutexes.wait(m), WaitResult::Abandoned);
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_EQ(mutexes.wait(m), WaitResult::Acquired);  // usable again
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_TRUE(mutexes.close(m));
}

TEST(NativeClock, TickAdvancesAcrossSleep) {
    Clock& clock = *native().clock;
    uint32_t before = clock.tickCount();
    clock.sleep(120);
    uint32_t elapsed = clock.tickCount() - before;  // wrap-safe
    // A coarse tick (Windows counts in steps of 10 to 16 ms) may lag a step.
    EXPECT_GE(elapsed, 100u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(NativeHeap, BlocksAreZeroFilledAndDistinct) {
    Heap& heap = *native().heap;
    constexpr std::size_t kBytes = 4096;
    auto* a = static_cast<uint8_t*>(heap.allocate(kBytes));
    ASSERT_NE(a, nullptr);
    for (std::size_t i = 0; i < kBytes; ++i) a[i] = 0xA5;
    heap.release(a);
    // Likely the same memory again: it must come back cleared all the same.
    auto* b = static_cast<uint8_t*>(heap.allocate(kBytes));
    auto* c = static_cast<uint8_t*>(heap.allocate(kBytes));
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(b, c);
    std::size_t nonZero = 0;
    for (std::size_t i = 0; i < kBytes; ++i) nonZero += (b[i] != 0) + (c[i] != 0);
    EXPECT_EQ(nonZero, 0u);
    heap.release(b);
    heap.release(c);
}

}  // namespace
}  // namespace platform
