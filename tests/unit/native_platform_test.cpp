// The system's own clock and heap, whichever system this is: what
// the framework relies on them for.
#include <algorithm>
#include <cstdint>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace platform {
namespace {

TEST(NativeClock, TickAdvancesAcrossSleep) {
    Clock& clock = *native().clock;
    const uint32_t before = clock.tickCount();
    clock.sleep(120);
    // Wrap-safe; a coarse tick (Windows counts in steps of 10 to 16 ms) may lag a step.
    EXPECT_GE(clock.tickCount() - before, 100u);
}

TEST(NativeHeap, BlocksAreZeroFilledAndDistinct) {
    Heap& heap = *native().heap;
    constexpr std::size_t kBytes = 4096;
    auto* a = static_cast<uint8_t*>(heap.allocate(kBytes));
    ASSERT_NE(a, nullptr);
    std::fill(a, a + kBytes, uint8_t{0xA5});
    heap.release(a);
    // Likely the same memory again: it must come back cleared all the same.
    auto* b = static_cast<uint8_t*>(heap.allocate(kBytes));
    auto* c = static_cast<uint8_t*>(heap.allocate(kBytes));
    ASSERT_TRUE(b != nullptr && c != nullptr && b != c);
    EXPECT_EQ(std::count(b, b + kBytes, 0) + std::count(c, c + kBytes, 0), std::ptrdiff_t{2 * kBytes});
    heap.release(b);
    heap.release(c);
}

}  // namespace
}  // namespace platform
