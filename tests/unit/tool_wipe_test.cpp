// voriridod's wipe, run in-process through the framework against simulated
// devices behind fake serial ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "hwds/hwds.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"
#include "tests/fakes/fake_serial.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

using namespace tooltest;

constexpr char kId[] = "AB12CD34E";
constexpr char kPort[] = "\\\\.\\COM3";

// Mutexes of which one, once named, cannot be waited for.
class SelectiveMutexes : public fakes::FakeMutexes {
public:
    platform::WaitResult wait(platform::Handle mutex) override {
        if (mutex == failing) return platform::WaitResult::Failed;
        return FakeMutexes::wait(mutex);
    }
    bool release(platform::Handle mutex) override {
        if (mutex == failing) return false;
        return FakeMutexes::release(mutex);
    }
    platform::Handle failing = platform::kNullHandle;
};

class ToolWipeTest : public ::testing::Test {
public:  // the failure table's lambdas prepare the fixture
    ToolWipeTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath(kId), "COM3"}});
        serial.attach(kPort, &device);
        device.memory().fill(0x5A);
    }

    bool untouched() const {
        return device.frameLog().empty() &&
               std::all_of(device.memory().begin(), device.memory().end(),
                           [](uint8_t b) { return b == 0x5A; });
    }

    FakeConsole console;
    CountingRegistry registry;
    fakes::FakeSerialPorts serial;
    SelectiveMutexes mutexes;
    fakes::FakeClock clock;
    sim::TuvakDevice device;
    fakes::TestFramework framework{platform::Services{.registry = &registry,
                                                       .serial = &serial,
                                                       .mutexes = &mutexes,
                                                       .clock = &clock,
                                                       .console = &console}};
};

TEST_F(ToolWipeTest, FivePassesLeaveTheMemoryZero) {
    // Ten characters, lower case: the device is found by the first nine, upper-cased.
    EXPECT_EQ(runTool({"ab12cd34e77"}), 0);

    const uint8_t patterns[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};
    const auto& frames = device.frameLog();
    ASSERT_EQ(frames.size(), 5u * sim::kMemorySize);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), 4u) << i;
        EXPECT_EQ(frames[i][0], sim::kCmdWrite) << i;
        EXPECT_EQ(frames[i][1], i % sim::kMemorySize) << i;
        EXPECT_EQ(frames[i][2], patterns[i / sim::kMemorySize]) << i;
    }
    EXPECT_TRUE(std::all_of(device.memory().begin(), device.memory().end(),
                            [](uint8_t b) { return b == 0; }));

    std::string progressLines;
    for (int pass = 1; pass <= 5; ++pass) progressLines += progress(kId, pass);
    // The progress line showed 38 characters (56 bytes): that many blanks.
    EXPECT_EQ(console.err(), progressLines + "\r" + std::string(38, ' '));
    EXPECT_EQ(console.out(), succeeded(kId));
    EXPECT_EQ(serial.openPorts(), 0);
}

TEST_F(ToolWipeTest, UnplugDuringSecondPassIsAWriteError) {
    device.faults().unplugAfter = sim::kMemorySize + 2;
    EXPECT_EQ(runTool({kId}), 1);

    EXPECT_EQ(console.err(), progress(kId, 1) + progress(kId, 2) + kWriteError);
    EXPECT_EQ(console.out(), failed(kId));
    EXPECT_EQ(device.memory()[0], 0x00);
    EXPECT_EQ(device.memory()[1], 0x00);
    EXPECT_TRUE(std::all_of(device.memory().begin() + 2, device.memory().end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(serial.openPorts(), 0);
}

TEST_F(ToolWipeTest, FailuresAtTheFirstPassReportAndStop) {
    struct Case {
        const char* what;
        const char* id;
        const char* message;
        void (*prepare)(ToolWipeTest&);
    };
    const Case cases[] = {
        {"not enumerated", "ZZ9", kNotConnected, [](ToolWipeTest&) {}},
        {"port busy", kId, kNotConnected,
         [](ToolWipeTest& t) { t.serial.failOpen(kPort, platform::kErrSharingViolation); }},
        {"port gone", kId, kNotConnected,
         [](ToolWipeTest& t) { t.serial.failOpen(kPort, platform::kErrFileNotFound); }},
        {"access denied", kId, kNoAccess,
         [](ToolWipeTest& t) { t.serial.failOpen(kPort, platform::kErrAccessDenied); }},
        {"malformed port name", kId, kFaulty,
         [](ToolWipeTest& t) {
             t.registry.tree().setString(fakes::deviceParametersKey(fakes::instancePath(kId)),
                                         "PortName", "com3");
         }},
        {"source lock", kId, kLockFailed,
         [](ToolWipeTest& t) {
             HwDataSource* source = nullptr;
             ASSERT_EQ(hwdsOpen(&source, "TUVAK", kId), CE_OK);
             t.mutexes.failing = source->lock;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.prepare(*this);
        console.writes.clear();
        EXPECT_EQ(runTool({c.id}), 1);
        EXPECT_EQ(console.err(), progress(c.id, 1) + c.message);
        EXPECT_EQ(console.out(), failed(c.id));
        EXPECT_TRUE(untouched());
        serial.failOpen(kPort, 0);
        registry.tree().setString(fakes::deviceParametersKey(fakes::instancePath(kId)), "PortName",
                                  "COM3");
        mutexes.failing = platform::kNullHandle;
    }
}

TEST_F(ToolWipeTest, FailureToOpenShowsNoProgress) {
    mutexes.waitOutcome = platform::WaitResult::Failed;
    EXPECT_EQ(runTool({kId}), 1);
    EXPECT_EQ(console.err(), kLockFailed);
    EXPECT_EQ(console.out(), failed(kId));
    EXPECT_TRUE(untouched());
    mutexes.waitOutcome = platform::WaitResult::Acquired;
}

TEST_F(ToolWipeTest, PercentInTheIdentifierIsPrintedAsIs) {
    EXPECT_EQ(runTool({"%s%n%d%%x"}), 1);
    EXPECT_EQ(console.err(), progress("%S%N%D%%X", 1) + kNotConnected);
    EXPECT_EQ(console.out(), failed("%S%N%D%%X"));
    EXPECT_TRUE(untouched());
}

TEST_F(ToolWipeTest, EmptyIdentifierTouchesNoDevice) {
    EXPECT_EQ(runTool({""}), 1);
    EXPECT_EQ(console.out(), kBanner);
    EXPECT_EQ(serial.openCount(), 0);
    EXPECT_TRUE(untouched());
}

}  // namespace
