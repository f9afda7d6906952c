// hwds's memory commands in-process where the end-to-end tests cannot reach: an operator at a terminal
// who does not answer, standard output that refuses bytes, a file with nothing in it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "cli/display.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/cli_support.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/temp_dir.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

// A console whose standard output can be made to fail, as a closed pipe does.
class RefusingConsole : public tooltest::FakeConsole {
public:
    bool outFails = false;
    int write(platform::Stream stream, std::string_view bytes) override {
        if (outFails && stream == platform::Stream::Out) return -1;
        return FakeConsole::write(stream, bytes);
    }
};

// One simulated device, DEV0 on COM3.
class CliCommands : public ::testing::Test {
protected:
    CliCommands() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("DEV0"), "COM3"}});
        serial.attach("\\\\.\\COM3", &device);
    }

    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    fakes::FakeClock clock;
    RefusingConsole console;
    fakes::FakeTerminal terminal;
    sim::TuvakDevice device;
    fakes::TestFramework framework{
        {.registry = &registry, .serial = &serial, .clock = &clock, .console = &console, .terminal = &terminal}};
};

TEST_F(CliCommands, AQuestionWaitsTheTimeoutGivenAndSaysWhyItEnded) {
    terminal.live = true;
    terminal.typing = true;
    EXPECT_EQ(fakes::runCli({"read", "TUVAK", "NOPE", "--length", "1", "--timeout", "7"}), 3);
    EXPECT_EQ(terminal.questions.load(), 1);
    EXPECT_EQ(terminal.lastTimeoutMs.load(), 7000u);
    EXPECT_NE(console.err().find("TUVAK NOPE: read failed: no answer in time: the adapter driver lists no device "
                                 "with this identifier (CE_TIMEOUT)"),
              std::string::npos)
        << console.err();
}

TEST_F(CliCommands, ATimeoutUnderASecondIsRefused) {
    EXPECT_EQ(fakes::runCli({"read", "TUVAK", "DEV0", "--timeout", "0.5"}), 2);
    EXPECT_EQ(serial.openCount(), 0);
}

TEST_F(CliCommands, StandardOutputThatRefusesBytesFailsTheCommand) {
    console.outFails = true;
    const std::vector<std::string> commands[] = {
        {"read", "TUVAK", "DEV0", "--length", "4"},
        {"dump", "TUVAK", "DEV0"},
        {"list"},
    };
    for (const std::vector<std::string>& args : commands) {
        EXPECT_EQ(fakes::runCli(args), 1) << args[0];
    }
    EXPECT_EQ(console.out(), "");
}

TEST_F(CliCommands, AnEmptyFileWritesNothing) {
    fakes::TempDir dir;
    const std::string empty = dir.path + "/empty.bin";
    std::FILE* file = std::fopen(empty.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    EXPECT_EQ(fakes::runCli({"write", "TUVAK", "DEV0", "--offset", "0", "--file", empty}), 2);
    EXPECT_NE(console.err().find(empty + " is empty: nothing to write"), std::string::npos) << console.err();
    EXPECT_EQ(serial.openCount(), 0);
}

TEST_F(CliCommands, AQuestionRoundsItsTimeUpToWholeSeconds) {
    terminal.live = true;
    terminal.typing = true;
    cli::Display display(1500);
    EXPECT_EQ(display.ask("DEV0: gone."), cli::Display::Answer::TimedOut);
    EXPECT_NE(console.err().find("(2 s): "), std::string::npos) << console.err();
}

TEST(CliResults, EachResultSaysWhatHappened) {
    const std::pair<CeResult, const char*> table[] = {
        {CE_OK, "done"},
        {CE_CANCELED, "the device is not connected"},
        {CE_TIMEOUT, "nobody answered in time"},
        {CE_HW_FAIL_LOCK, "the device could not be locked"},
        {CE_HW_NEED_INTERACTION, "the device needs attention"},
        {CE_NO_MEM, "out of memory"},
        {-7, "the operation failed"},
    };
    for (const auto& [result, text] : table) {
        EXPECT_EQ(cli::describeResult(result), text) << result;
    }
}

}  // namespace
