// The runner's hold on a source's lock, seen from another thread.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "hwds/hwds.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"

namespace {

// Counts its writes; throws from one when told to, as a faulty source might.
class CountingSource : public HwDataSource {
public:
    size_t executed = 0;
    bool throws = false;

    CountingSource() : HwDataSource("COUNTING") {}
    bool providesRandom() override { return false; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return "COUNTING"; }
    int32_t write(const uint8_t*, uint32_t, uint32_t) override {
        ++executed;
        if (throws) throw std::runtime_error("a faulty source");
        return HWDS_OK;
    }
};

int32_t countAsks(void* asked, const char*, const char*, int32_t, int32_t) {
    ++*static_cast<int*>(asked);
    return HWDS_ANSWER_CANCEL;
}

class RunnerLock : public ::testing::Test {
protected:
    fakes::FakeClock clock{0};
    fakes::FakeMutexes mutexes;
    platform::ScopedServices services{platform::Services{.mutexes = &mutexes, .clock = &clock}};
    CountingSource source;
    int asked = 0;
    HWDSInteraction interaction{nullptr, &countAsks, nullptr, &asked};

    CeResult write() {
        uint8_t byte = 0;
        return hwdsWrite(&source, &interaction, &byte, 1, 0);
    }
};

TEST_F(RunnerLock, ALockThatCannotBeTakenRunsNothingAndAThrowDoesNotKeepIt) {
    for (auto outcome : {platform::WaitResult::Failed, platform::WaitResult::Abandoned}) {
        mutexes.waitOutcome = outcome;
        const int releasesBefore = mutexes.releases();
        EXPECT_EQ(write(), CE_HW_FAIL_LOCK);
        EXPECT_EQ(mutexes.releases(), releasesBefore + 1);
    }
    EXPECT_EQ(source.executed, 0u);
    EXPECT_EQ(asked, 0);

    mutexes.waitOutcome = platform::WaitResult::Acquired;
    source.throws = true;
    EXPECT_THROW(write(), std::runtime_error);
    EXPECT_EQ(source.executed, 1u);
    bool taken = false;  // by another thread, so the lock was not left held
    std::thread([&] {
        taken = mutexes.wait(source.lock) == platform::WaitResult::Acquired;
        if (taken) mutexes.release(source.lock);
    }).join();
    EXPECT_TRUE(taken);
}

}  // namespace
