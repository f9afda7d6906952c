// hwds wipe in-process: several devices at once on simulated ports, each with its own fault, and the
// operator's answers at a terminal. Runs under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/wipe.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/cli_support.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

// Ports that remember how many were open at once.
class CountingPorts : public sim::InProcessPorts {
public:
    uint32_t open(const char* path, platform::PortHandle* port) override {
        const uint32_t error = InProcessPorts::open(path, port);
        if (error != platform::kErrSuccess) return error;
        const int now = ++open_;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) continue;
        return error;
    }
    bool close(platform::PortHandle port) override { return --open_, InProcessPorts::close(port); }
    std::atomic<int> most{0}, open_{0};
};

class CliWipeTest : public ::testing::Test {
protected:
    // DEV0.. on COM3.., memory full of 0x5A; unattached ones are adapters the driver lists without a port.
    void devices(const std::vector<bool>& attached) {
        std::vector<fakes::Adapter> adapters;
        for (std::size_t d = 0; d < attached.size(); ++d) {
            const std::string id = "DEV" + std::to_string(d), com = "COM" + std::to_string(d + 3);
            adapters.push_back({fakes::instancePath(id), com});
            models.push_back(std::make_unique<sim::TuvakDevice>(d + 1));
            models.back()->memory().fill(0x5A);
            if (attached[d]) serial.attach("\\\\.\\" + com, models.back().get());
            request.ids.push_back(id);
        }
        fakes::addFtdiDriver(registry.tree(), adapters);
        framework.emplace(platform::Services{
            .registry = &registry, .serial = &serial, .clock = &clock, .console = &console, .terminal = &terminal});
    }
    std::vector<cli::WipeOutcome> wipe() {
        cli::Display display(30000);
        return cli::wipeDevices(request, display);
    }
    bool all(std::size_t d, uint8_t value) const {
        return std::ranges::all_of(models[d]->memory(), [&](uint8_t b) { return b == value; });
    }

    platform::TreeRegistry registry;
    CountingPorts serial;
    fakes::FakeClock clock;
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    std::vector<std::unique_ptr<sim::TuvakDevice>> models;
    std::optional<fakes::TestFramework> framework;
    cli::WipeRequest request;
};

TEST_F(CliWipeTest, EveryDeviceFinishesOrFailsOnItsOwn) {
    devices({true, true, true, false, true});
    models[1]->faults().unplugAfter = 200;          // gone during pass 2
    models[2]->faults().forget.set(0x40);           // keeps its old byte there
    models[4]->faults().badAckAfter = 128 * 4 + 9;  // refuses a write in pass 5
    request.verify = true;
    const std::vector<cli::WipeOutcome> outcomes = wipe();
    ASSERT_EQ(outcomes.size(), 5u);
    // Id, result, passes, verified, exit status, failure, mismatch and its address.
    using Row = std::tuple<std::string, CeResult, std::size_t, bool, int, std::string, bool, uint32_t>;
    const Row expected[] = {
        {"DEV0", CE_OK, 5, true, 0, "", false, 0},
        {"DEV1", CE_HW_WRITE_FAILED, 1, false, 1, "pass 2 of 5: the device did not confirm a write", false, 0},
        {"DEV2", CE_HW_WRITE_FAILED, 5, false, 4, "verification: address 0x40 holds 0x5A, not 0x00", true, 0x40},
        // Nobody at the terminal: the first question cancels.
        {"DEV3", CE_CANCELED, 0, false, 3, "pass 1 of 5: the device is not attached, or its port is gone", false, 0},
        {"DEV4", CE_HW_WRITE_FAILED, 4, false, 1, "pass 5 of 5: the device did not confirm a write", false, 0},
    };
    for (std::size_t d = 0; d < outcomes.size(); ++d) {
        const cli::WipeOutcome& o = outcomes[d];
        EXPECT_EQ(Row(o.id, o.result, o.passesDone, o.verified, o.exitStatus(), o.failure, o.mismatch, o.address),
                  expected[d]);
    }
    EXPECT_TRUE(all(0, 0x00));
    EXPECT_EQ(terminal.questions.load(), 0);
    EXPECT_EQ(serial.openPorts(), 0);
}

TEST_F(CliWipeTest, JobsLimitTheDevicesAtWork) {
    devices({true, true, true, true});
    request.jobs = 1;
    request.passes = {0x11, 0x22};
    for (const cli::WipeOutcome& o : wipe()) EXPECT_TRUE(o.ok()) << o.id << ": " << o.failure;
    EXPECT_EQ(serial.most.load(), 1);
    for (std::size_t d = 0; d < models.size(); ++d) EXPECT_TRUE(all(d, 0x22)) << d;
}

TEST_F(CliWipeTest, TheOperatorAttachesTheDeviceOrGivesUp) {
    devices({false});
    terminal.live = terminal.typing = true;
    struct Case {
        std::function<platform::LineRead(std::string*)> answer;
        CeResult result;
        const char* failure;
    };
    const Case cases[] = {
        {[](std::string* line) {
             line->assign(1, 'q');
             return platform::LineRead::Line;
         },
         CE_CANCELED, "pass 1 of 5: canceled: the device is not attached, or its port is gone"},
        {[](std::string*) { return platform::LineRead::TimedOut; }, CE_TIMEOUT,
         "pass 1 of 5: no answer in time: the device is not attached, or its port is gone"},
        {[&](std::string*) {
             serial.attach("\\\\.\\COM3", models[0].get());
             return platform::LineRead::Line;
         },
         CE_OK, ""},
    };
    for (int asked = 1; const Case& c : cases) {
        terminal.answer = c.answer;
        const std::vector<cli::WipeOutcome> outcomes = wipe();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(std::pair(outcomes[0].result, outcomes[0].failure), std::pair(c.result, std::string(c.failure)));
        EXPECT_EQ(terminal.questions.load(), asked++);
    }
    EXPECT_TRUE(all(0, 0x00));
    EXPECT_NE(console.err().find("DEV0: the device is not attached, or its port is gone. Attach it."),
              std::string::npos);
}

}  // namespace
