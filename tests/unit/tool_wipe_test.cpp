// voriridod's wipe in-process, for the lock failures that only fakes can
// cause; the end-to-end suite covers what a device can do.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hwds/hwds.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

using namespace tooltest;

constexpr char kId[] = "AB12CD34E";

// Mutexes of which one, once named, cannot be waited for.
class SelectiveMutexes : public fakes::FakeMutexes {
public:
    platform::WaitResult wait(platform::MutexHandle mutex) override {
        return mutex == failing ? platform::WaitResult::Failed : FakeMutexes::wait(mutex);
    }
    bool release(platform::MutexHandle mutex) override { return mutex != failing && FakeMutexes::release(mutex); }
    platform::MutexHandle failing = platform::kNoMutex;
};

class ToolWipeTest : public ::testing::Test {
protected:
    ToolWipeTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath(kId), "COM3"}});
        serial.attach("\\\\.\\COM3", &device);
        device.memory().fill(0x5A);
    }
    void expectUntouched() const {
        EXPECT_TRUE(device.frameLog().empty());
        EXPECT_TRUE(std::all_of(device.memory().begin(), device.memory().end(), [](uint8_t b) { return b == 0x5A; }));
    }

    FakeConsole console;
    CountingRegistry registry;
    sim::InProcessPorts serial;
    SelectiveMutexes mutexes;
    fakes::FakeClock clock;
    sim::TuvakDevice device;
    fakes::TestFramework framework{platform::Services{
        .registry = &registry, .serial = &serial, .mutexes = &mutexes, .clock = &clock, .console = &console}};
};

// The lock rows of the failure table: the source's lock at the first pass,
// and the framework's while opening, before any progress.
TEST_F(ToolWipeTest, LockFailuresStopBeforeTheDevice) {
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", kId), CE_OK);
    mutexes.failing = source->lock;
    EXPECT_EQ(runTool({kId}), 1);
    EXPECT_EQ(console.err(), progress(kId, 1) + kLockFailed);
    EXPECT_EQ(console.out(), failed(kId));
    expectUntouched();

    console.writes.clear();
    mutexes.waitOutcome = platform::WaitResult::Failed;
    EXPECT_EQ(runTool({"OTHER"}), 1);
    EXPECT_EQ(console.err(), kLockFailed);
    EXPECT_EQ(console.out(), failed("OTHER"));
    mutexes.waitOutcome = platform::WaitResult::Acquired;
    expectUntouched();
}

}  // namespace
