// What only the POSIX mutexes do; re-entrancy and abandonment are checked
// for both systems in the unit tests.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_mutex.h"

namespace platform {
namespace {

TEST(PosixMutexTest, CloseRefusedWhileAnotherThreadHoldsIt) {
    PosixMutexes mutexes;
    MutexHandle m = mutexes.create();
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
