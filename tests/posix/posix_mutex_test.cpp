// What only the POSIX mutexes do; re-entrancy and abandonment are checked
// for both systems in the unit tests.
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/posix_mutex.h"

namespace platform {
namespace {

TEST(PosixMutexTest, CloseRefusedWhileAnotherThreadHoldsIt) {
    PosixMutexes mutexes;
    MutexHandle m = mutexes.create();
    std::promise<void> held, done;
    std::thread holder([&] {
        mutexes.wait(m);
        held.set_value();
        done.get_future().wait();
        mutexes.release(m);
    });
    held.get_future().wait();
    EXPECT_FALSE(mutexes.close(m));
    done.set_value();
    holder.join();
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    ASSERT_EQ(mutexes.wait(m), WaitResult::Acquired);
    EXPECT_TRUE(mutexes.close(m));  // held twice by the closer: fine
}

}  // namespace
}  // namespace platform
