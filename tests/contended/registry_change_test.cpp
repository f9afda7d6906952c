// The in-memory registry's change notification, which tests of waiters drive.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/regtree.h"

namespace platform {
namespace {

constexpr uint32_t kQuietMs = 100;
constexpr uint32_t kLongMs = 5000;

TEST(TreeRegistryChange, FirstWaitStartsTheWatchThenEachSignalWakesOneWait) {
    TreeRegistry registry;
    EXPECT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::TimedOut);
    registry.signalChange();
    registry.signalChange();
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::Changed);
    EXPECT_EQ(registry.waitForChange(0), ChangeWait::TimedOut);
}

TEST(TreeRegistryChange, SignalBeforeTheFirstWaitIsTakenInByIt) {
    TreeRegistry registry;
    registry.signalChange();
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::Changed);
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::TimedOut);
}

TEST(TreeRegistryChange, WaiterBlockedInTheWaitWakesOnASignal) {
    TreeRegistry registry;
    ASSERT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    std::thread changer([&registry] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        registry.tree().setDword("SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", "Count", 1);
        registry.signalChange();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kLongMs));
    changer.join();
}

}  // namespace
}  // namespace platform
