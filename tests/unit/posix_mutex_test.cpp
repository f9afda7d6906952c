#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_mutex.h"

namespace platform {
namespace {

TEST(PosixMutexTest, ReentrantForTheHolderAndExclusiveForOthers) {
    PosixMutexes mutexes;
    Handle m = mutexes.create();
    ASSERT_NE(m, kNullHandle);
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
    EXPECT_EQ(mutexes.wait(kNullHandle), WaitResult::Failed);
}

TEST(PosixMutexTest, HolderThatEndsLeavesItAbandonedToTheNextWaiter) {
    PosixMutexes mutexes;
    Handle m = mutexes.create();
    ASSERT_NE(m, kNullHandle);
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

TEST(PosixMutexTest, CloseRefusedWhileAnotherThreadHoldsIt) {
    PosixMutexes mutexes;
    Handle m = mutexes.create();
    std::atomic<int> step{0};
    std::thread holder([&] {
        mutexes.wait(m);
        step = 1;
        while (step != 2) std::this_thread::yield();
        mutexes.release(m);
    });
    while (step != 1) std::this_thread::yield();
    EXPECT_FALSE(mutexes.close(m));
    step = 2;
    holder.join();
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    EXPECT_TRUE(mutexes.close(m));  // held twice by the closer: fine
}

}  // namespace
}  // namespace platform
