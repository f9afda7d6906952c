// The system's own mutexes, whichever system this is: a holder, another
// thread refused, and a holder that ends.
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace platform {
namespace {

TEST(NativeMutexes, CountedForTheHolderRefusedToOthersAbandonedWhenTheHolderEnds) {
    Mutexes& mutexes = *native().mutexes;
    MutexHandle m = mutexes.create();
    ASSERT_NE(m, kNoMutex);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    bool othersRelease = true;
    std::thread([&] { othersRelease = mutexes.release(m); }).join();
    EXPECT_FALSE(othersRelease);
    // Held twice: the second release is still the holder's, a third is not.
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_FALSE(mutexes.release(m));
    // A holder that ends leaves it abandoned to the next waiter, then usable.
    std::thread([&] {
        for (int i = 0; i < 2; ++i) mutexes.wait(m);
    }).join();
    EXPECT_EQ(mutexes.wait(m), WaitResult::Abandoned);
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_EQ(mutexes.wait(m), WaitResult::Acquired);
    EXPECT_TRUE(mutexes.release(m));
    EXPECT_TRUE(mutexes.close(m));
    EXPECT_EQ(mutexes.wait(kNoMutex), WaitResult::Failed);
}

}  // namespace
}  // namespace platform
