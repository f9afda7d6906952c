// The hwds front end's own pieces: what it accepts, what it prints, which exit status a failure gets, what a request
// costs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/display.h"
#include "cli/json.h"
#include "cli/wipe.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/cli_support.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CliTexts, NumbersAndSizes) {
    struct Case {
        const char* text;
        bool size;
        bool ok;
        uint64_t value;
    };  // size: parseSize, else parseNumber to UINT32_MAX
    const Case cases[] = {
        {"0", false, true, 0},           {"0x7f", false, true, 127},
        {"0X7F", false, true, 127},      {"4294967295", false, true, 4294967295u},
        {"4294967296", false, false, 0}, {"0x100000000", false, false, 0},
        {"", false, false, 0},           {"0x", false, false, 0},
        {"-1", false, false, 0},         {"12a", false, false, 0},
        {" 1", false, false, 0},         {"4096", true, true, 4096},
        {"64K", true, true, 65536},      {"1M", true, true, 1048576},
        {"2g", true, true, 2147483648u}, {"0x10k", true, true, 16384},
        {"M", true, false, 0},           {"1T", true, false, 0},
        {"1MB", true, false, 0},         {"17179869184G", true, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 99;
        const bool ok = c.size ? cli::parseSize(c.text, &value) : cli::parseNumber(c.text, UINT32_MAX, &value);
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 99) << c.text;
    }
}

TEST(CliTexts, HexBytesAndPasses) {
    struct Case {
        bool passes;
        const char* text;
        Bytes bytes;
        const char* error;
    };  // passes: parsePasses; no bytes: refused
    const Case cases[] = {
        {false, " de ad\tbe\nEF ", {0xDE, 0xAD, 0xBE, 0xEF}, ""},
        {false, "00", {0x00}, ""},
        {false, "d e", {}, "' ' at position 2"},  // a byte's digits belong together
        {false, "abc", {}, "only one hexadecimal digit"},
        {false, "  ", {}, "no bytes"},
        {false, "0xde", {}, "'x' at position 2"},
        {true, "FF,00,55,AA,00", {0xFF, 0x00, 0x55, 0xAA, 0x00}, ""},
        {true, "0xff,7", {0xFF, 0x07}, ""},
        {true, "FF,,00", {}, "'' is not"},
        {true, "100", {}, "'100' is not"},
        {true, "FF,", {}, "'' is not"},
    };
    for (const Case& c : cases) {
        Bytes bytes;
        std::string error;
        const bool ok =
            c.passes ? cli::parsePasses(c.text, &bytes, &error) : cli::parseHexBytes(c.text, &bytes, &error);
        EXPECT_EQ(ok, !c.bytes.empty()) << c.text;
        if (ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

TEST(CliTexts, HexViewShowsPrintableAsciiOnlyAndPadsTheLastRow) {
    const Bytes bytes = {0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF, 0x00, 0x61,
                         0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x30, 0x31};
    std::string expected = "00000000  1f 20 41 7e 7f 80 ff 00  61 62 63 64 65 66 67 68  |. A~....abcdefgh|\n";
    expected += "00000010  30 31";
    expected.append(45, ' ');
    expected += "|01|\n";
    EXPECT_EQ(cli::hexView(bytes.data(), bytes.size()), expected);
}

TEST(CliTexts, JsonTextIsAnArrayWithAnObjectALine) {
    const struct {
        const char* name;
        cli::Json array;
        const char* text;
    } cases[] = {
        {.name = "empty", .array = cli::Json::array(), .text = "[]\n"},
        {.name = "one",
         .array = cli::Json::array({{{"id", "A"}, {"n", 1}}}),
         .text = "[\n  {\"id\": \"A\", \"n\": 1}\n]\n"},
        {.name = "two, one not UTF-8",
         .array = cli::Json::array({{{"id", "A"}}, {{"id", "\xC0"}}}),
         .text = "[\n  {\"id\": \"A\"},\n  {\"id\": \"\xEF\xBF\xBD\"}\n]\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::jsonText(c.array), c.text) << c.name;
}

TEST(CliStatus, ResultsMapToDocumentedStatuses) {
    const std::pair<CeResult, int> table[] = {{CE_OK, 0},
                                              {CE_HW_WRITE_FAILED, 1},
                                              {CE_HW_FAIL, 1},
                                              {CE_HW_ACCESS_DENIED, 1},
                                              {CE_HW_NOT_SUPPORTED, 1},
                                              {-7, 1},
                                              {CE_CANCELED, 3},
                                              {CE_TIMEOUT, 3},
                                              {CE_HW_NOT_FOUND, 3},
                                              {CE_BAD_PARAM, 2},
                                              {CE_HW_OP_NOT_SUPPORTED, 2}};
    for (auto [result, status] : table) EXPECT_EQ(cli::exitStatusFor(result), status) << result;
    EXPECT_EQ(cli::resultName(-7) + " " + cli::resultName(CE_TIMEOUT), "-7 CE_TIMEOUT");

    const std::pair<std::vector<int>, int> combined[] = {{{}, 0},     {{0, 0}, 0},    {{0, 3, 0}, 3}, {{4, 4}, 4},
                                                         {{3, 4}, 1}, {{0, 2, 3}, 1}, {{3, 2}, 1},    {{1}, 1}};
    for (const auto& [statuses, status] : combined) EXPECT_EQ(cli::combinedExitStatus(statuses), status);
}

// A console, a terminal, and one simulated device, DEV0 on COM3, for hwds in-process.
class CliTest : public ::testing::Test {
protected:
    CliTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("DEV0"), "COM3"}});
        for (std::size_t i = 0; i < 128; ++i) device.memory()[i] = static_cast<uint8_t>(i);
        serial.attach("\\\\.\\COM3", &device);
    }

    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    fakes::FakeClock clock;
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    sim::TuvakDevice device;
    fakes::TestFramework framework{
        {.registry = &registry, .serial = &serial, .clock = &clock, .console = &console, .terminal = &terminal}};
};

TEST_F(CliTest, LiveLinesAreRedrawnInPlaceElseEachUpdateIsALine) {
    for (bool live : {true, false}) {
        terminal.live = live;
        console.writes.clear();
        cli::Display display(5000);
        EXPECT_EQ(std::pair(display.live(), display.attended()), std::pair(live, false));
        display.begin({"A", "LONGER"});
        display.update(1, "pass 1 of 5");
        display.update(0, "pass 2 of 5 and some more");
        display.update(0, "done", true);  // drawn only where live
        display.update(2, "one past the last line");
        display.update(7, "no such line");
        display.end();
        if (live) {
            EXPECT_EQ(fakes::playBack(console.err()),
                      (std::vector<std::string>{"A       done", "LONGER  pass 1 of 5"}));
        } else {
            EXPECT_EQ(console.err(), "LONGER  pass 1 of 5\nA       pass 2 of 5 and some more\n");
        }
        EXPECT_EQ(console.out(), "");
    }
}

TEST_F(CliTest, QuestionsWaitForTheirAnswerAndTheLinesComeBackBelow) {
    terminal.live = terminal.typing = true;
    using A = cli::Display::Answer;
    using R = platform::LineRead;
    struct Case {
        R read;
        const char* line;
        A answer;
    };
    const Case cases[] = {{R::Line, "", A::Retry},   {R::Line, "anything", A::Retry}, {R::Line, "q", A::Cancel},
                          {R::Line, "Q", A::Cancel}, {R::TimedOut, "", A::TimedOut},  {R::Closed, "", A::Cancel}};
    cli::Display display(7000);
    ASSERT_TRUE(display.attended());
    display.begin({"DEV"});
    display.update(0, "pass 1 of 5");
    for (const Case& c : cases) {
        terminal.answer = [&c](std::string* line) {
            *line = c.line;
            return c.read;
        };
        EXPECT_EQ(display.ask("DEV: gone."), c.answer) << c.line;
    }
    EXPECT_EQ(std::pair(terminal.questions.load(), terminal.lastTimeoutMs.load()), std::pair(6, 7000u));
    const std::vector<std::string> screen = fakes::playBack(console.err());
    ASSERT_GE(screen.size(), 2u);
    EXPECT_EQ(std::vector(screen.end() - 2, screen.end()),
              (std::vector<std::string>{"DEV: gone. Press Enter to retry or q to cancel (7 s): ", "DEV  pass 1 of 5"}));
}

TEST_F(CliTest, EachMemoryCommandOpensThePortOnceAndSleepsOnlyToAsk) {
    struct Case {
        std::vector<std::string> args;
        int status;
        int opens;
        std::vector<uint32_t> sleeps;
        std::string out;
    };
    const Case cases[] = {
        {{"read", "TUVAK", "DEV0", "--length", "16"}, 0, 1, {}, "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"},
        {{"read", "tuvak", "DEV0", "--offset", "126"}, 0, 1, {}, "7e 7f\n"},
        {{"write", "TUVAK", "DEV0", "--offset", "127", "--hex", "aa"}, 0, 1, {}, ""},
        {{"dump", "TUVAK", "DEV0"}, 0, 1, {}, ""},
        {{"read", "TUVAK", "DEV0", "--offset", "120", "--length", "9"}, 2, 0, {}, ""},
        {{"read", "TUVAK", "NOPE", "--length", "16"}, 3, 0, {100}, ""},  // nobody to ask: asked once, after the pacing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2]);
        const std::size_t opensBefore = serial.openCount(), sleepsBefore = clock.sleeps().size();
        console.writes.clear();
        EXPECT_EQ(fakes::runCli(c.args), c.status) << console.err();
        EXPECT_EQ(serial.openCount() - static_cast<int>(opensBefore), c.opens);
        const std::vector<uint32_t> sleeps = clock.sleeps();
        EXPECT_EQ(std::vector<uint32_t>(sleeps.begin() + sleepsBefore, sleeps.end()), c.sleeps);
        if (!c.out.empty()) {
            EXPECT_EQ(console.out(), c.out);
        }
    }
    EXPECT_EQ(device.memory()[127], 0xAA);
}

}  // namespace
