// hwds wipe in-process: several devices at once on simulated ports, each
// with its own fault, and the operator's answers at a terminal. Runs under
// ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.h"
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
        if (error == platform::kErrSuccess) {
            const int now = ++open_;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
        }
        return error;
    }
    bool close(platform::PortHandle port) override {
        --open_;
        return InProcessPorts::close(port);
    }
    std::atomic<int> most{0};

private:
    std::atomic<int> open_{0};
};

class CliWipeTest : public ::testing::Test {
protected:
    // Devices DEV0.. on COM3.., memory full of 0x5A; `attached` false leaves
    // the port out, as for an adapter the driver still lists.
    void devices(const std::vector<bool>& attached) {
        std::vector<fakes::Adapter> adapters;
        for (std::size_t d = 0; d < attached.size(); ++d) {
            const std::string com = "COM" + std::to_string(d + 3);
            adapters.push_back({fakes::instancePath(id(d)), com});
            models.push_back(std::make_unique<sim::TuvakDevice>(d + 1));
            models.back()->memory().fill(0x5A);
            if (attached[d]) serial.attach(port(d), models.back().get());
        }
        fakes::addFtdiDriver(registry.tree(), adapters);
        platform::Services s;
        s.registry = &registry;
        s.serial = &serial;
        s.clock = &clock;
        s.console = &console;
        s.terminal = &terminal;
        framework = std::make_unique<fakes::TestFramework>(s);
    }
    static std::string id(std::size_t d) { return "DEV" + std::to_string(d); }
    static std::string port(std::size_t d) { return "\\\\.\\COM" + std::to_string(d + 3); }
    std::vector<cli::WipeOutcome> wipe(cli::WipeRequest request) {
        cli::Display display(30000);
        return cli::wipeDevices(request, display);
    }
    bool all(std::size_t d, uint8_t value) const {
        const auto& memory = models[d]->memory();
        return std::all_of(memory.begin(), memory.end(), [&](uint8_t b) { return b == value; });
    }
    void TearDown() override { framework.reset(); }

    platform::TreeRegistry registry;
    CountingPorts serial;
    fakes::FakeClock clock;
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    std::vector<std::unique_ptr<sim::TuvakDevice>> models;
    std::unique_ptr<fakes::TestFramework> framework;
};

TEST_F(CliWipeTest, EveryDeviceFinishesOrFailsOnItsOwn) {
    devices({true, true, true, false, true});
    models[1]->faults().unplugAfter = 200;         // gone during pass 2
    models[2]->faults().forget.set(0x40);          // keeps its old byte there
    models[4]->faults().badAckAfter = 128 * 4 + 9;  // refuses a write in pass 5
    cli::WipeRequest request;
    for (std::size_t d = 0; d < models.size(); ++d) request.ids.push_back(id(d));
    request.verify = true;

    const std::vector<cli::WipeOutcome> outcomes = wipe(request);
    ASSERT_EQ(outcomes.size(), 5u);
    for (std::size_t d = 0; d < outcomes.size(); ++d) EXPECT_EQ(outcomes[d].id, id(d));

    EXPECT_TRUE(outcomes[0].ok()) << outcomes[0].failure;
    EXPECT_TRUE(outcomes[0].verified);
    EXPECT_EQ(outcomes[0].passesDone, 5u);
    EXPECT_TRUE(all(0, 0x00));
    // Five passes of 128 writes, then 128 reads, in address order each.
    const auto& frames = models[0]->frameLog();
    ASSERT_EQ(frames.size(), 6u * 128);
    for (std::size_t f = 0; f < frames.size(); ++f) {
        ASSERT_EQ(frames[f][0], f < 5 * 128 ? 0x07 : 0x08) << f;
        ASSERT_EQ(frames[f][1], f % 128) << f;
        if (f < 5 * 128) {
            ASSERT_EQ(frames[f][2], cli::kDefaultPasses[f / 128]) << f;
        }
    }

    EXPECT_EQ(outcomes[1].result, CE_HW_WRITE_FAILED);
    EXPECT_EQ(outcomes[1].passesDone, 1u);
    EXPECT_NE(outcomes[1].failure.find("pass 2 of 5"), std::string::npos) << outcomes[1].failure;
    EXPECT_EQ(outcomes[1].exitStatus(), cli::kExitFailed);

    EXPECT_TRUE(outcomes[2].mismatch);
    EXPECT_FALSE(outcomes[2].verified);
    EXPECT_EQ(outcomes[2].address, 0x40u);
    EXPECT_EQ(outcomes[2].found, 0x5A);
    EXPECT_EQ(outcomes[2].expected, 0x00);
    EXPECT_EQ(outcomes[2].result, CE_HW_WRITE_FAILED);
    EXPECT_EQ(outcomes[2].exitStatus(), cli::kExitMismatch);
    EXPECT_NE(outcomes[2].failure.find("address 0x40"), std::string::npos) << outcomes[2].failure;

    // Nobody at the terminal: the first question cancels.
    EXPECT_EQ(outcomes[3].result, CE_CANCELED);
    EXPECT_EQ(outcomes[3].passesDone, 0u);
    EXPECT_NE(outcomes[3].failure.find("the device is not attached"), std::string::npos)
        << outcomes[3].failure;
    EXPECT_EQ(outcomes[3].exitStatus(), cli::kExitAbsent);
    EXPECT_EQ(terminal.questions.load(), 0);

    EXPECT_EQ(outcomes[4].result, CE_HW_WRITE_FAILED);
    EXPECT_EQ(outcomes[4].passesDone, 4u);
    EXPECT_FALSE(outcomes[4].verified);
    EXPECT_EQ(serial.openPorts(), 0);
}

TEST_F(CliWipeTest, JobsLimitTheDevicesAtWork) {
    devices({true, true, true, true});
    cli::WipeRequest request;
    for (std::size_t d = 0; d < models.size(); ++d) request.ids.push_back(id(d));
    request.jobs = 1;
    request.passes = {0x11, 0x22};
    for (const cli::WipeOutcome& o : wipe(request)) EXPECT_TRUE(o.ok()) << o.id << ": " << o.failure;
    EXPECT_EQ(serial.most.load(), 1);
    for (std::size_t d = 0; d < models.size(); ++d) EXPECT_TRUE(all(d, 0x22)) << d;
}

TEST_F(CliWipeTest, TheOperatorAttachesTheDeviceOrGivesUp) {
    devices({false});
    terminal.live = true;
    terminal.typing = true;
    struct Case {
        const char* what;
        std::function<platform::LineRead(std::string*)> answer;
        CeResult result;
        const char* failure;
    };
    const Case cases[] = {
        {"q", [](std::string* line) { line->push_back('q'); return platform::LineRead::Line; }, CE_CANCELED,
         "pass 1 of 5: canceled: the device is not attached"},
        {"no answer", [](std::string*) { return platform::LineRead::TimedOut; }, CE_TIMEOUT,
         "pass 1 of 5: no answer in time: the device is not attached"},
        {"attached, then Enter",
         [&](std::string*) {
             serial.attach(port(0), models[0].get());
             return platform::LineRead::Line;
         },
         CE_OK, ""},
    };
    int asked = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        terminal.answer = c.answer;
        const std::vector<cli::WipeOutcome> outcomes = wipe({{id(0)}, cli::kDefaultPasses, false, 0});
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].result, c.result);
        EXPECT_EQ(outcomes[0].failure.rfind(c.failure, 0), 0u) << outcomes[0].failure;
        EXPECT_EQ(terminal.questions.load(), ++asked);
    }
    EXPECT_TRUE(all(0, 0x00));
    EXPECT_NE(console.err().find("DEV0: the device is not attached, or its port is gone. Attach it."),
              std::string::npos)
        << console.err();
}

}  // namespace
