// The hwds front end's own pieces: what it accepts on the command line, what
// it prints, and which exit status a failure gets.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/display.h"
#include "tests/fakes/cli_support.h"
#include "tests/fakes/tool_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(CliTexts, NumbersAndSizes) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t value;
    };
    const Case numbers[] = {
        {"0", true, 0},           {"127", true, 127},     {"0x7f", true, 127}, {"0X7F", true, 127},
        {"4294967295", true, UINT32_MAX},                 {"4294967296", false, 0},
        {"0x100000000", false, 0}, {"", false, 0},        {"0x", false, 0},    {"-1", false, 0},
        {"12a", false, 0},        {" 1", false, 0},       {"1.5", false, 0},
    };
    for (const Case& c : numbers) {
        uint64_t value = 99;
        EXPECT_EQ(cli::parseNumber(c.text, UINT32_MAX, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
    const Case sizes[] = {
        {"4096", true, 4096}, {"64K", true, 65536},          {"1M", true, 1 << 20},
        {"2g", true, uint64_t{2} << 30},                     {"0x10k", true, 16 * 1024},
        {"M", false, 0},      {"1T", false, 0},              {"1MB", false, 0},
        {"17179869184G", false, 0},
    };
    for (const Case& c : sizes) {
        uint64_t value = 99;
        EXPECT_EQ(cli::parseSize(c.text, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(CliTexts, HexBytesAndPasses) {
    struct Case {
        const char* text;
        Bytes bytes;     // empty: refused
        const char* error;
    };
    const Case hex[] = {
        {"deadBEEF", {0xDE, 0xAD, 0xBE, 0xEF}, ""},
        {" de ad\tbe\nef ", {0xDE, 0xAD, 0xBE, 0xEF}, ""},
        {"00", {0x00}, ""},
        {"d e", {}, "' ' at position 2"},  // a byte's digits belong together
        {"deadx", {}, "'x' at position 5"},
        {"abc", {}, "only one hexadecimal digit"},
        {"  ", {}, "no bytes"},
        {"0xde", {}, "'x' at position 2"},
    };
    for (const Case& c : hex) {
        Bytes bytes;
        std::string error;
        EXPECT_EQ(cli::parseHexBytes(c.text, &bytes, &error), !c.bytes.empty()) << c.text;
        if (!c.bytes.empty()) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
    const Case passes[] = {
        {"FF,00,55,AA,00", {0xFF, 0x00, 0x55, 0xAA, 0x00}, ""},
        {"0xff,7", {0xFF, 0x07}, ""},
        {"a5", {0xA5}, ""},
        {"FF,,00", {}, "'' is not"},
        {"100", {}, "'100' is not"},
        {"FF,", {}, "'' is not"},
        {"zz", {}, "'zz' is not"},
    };
    for (const Case& c : passes) {
        Bytes bytes;
        std::string error;
        EXPECT_EQ(cli::parsePasses(c.text, &bytes, &error), !c.bytes.empty()) << c.text;
        if (!c.bytes.empty()) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
}

TEST(CliTexts, HexOutputsReadBackAsTheBytes) {
    Bytes bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 3);

    // What read prints, write takes.
    Bytes back;
    std::string error;
    const std::string lines = cli::hexLines(bytes.data(), bytes.size());
    ASSERT_TRUE(cli::parseHexBytes(lines, &back, &error)) << error;
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3);

    const std::string stream = cli::hexStream(bytes.data(), bytes.size(), 32);
    EXPECT_EQ(stream.find('\n'), 64u);
    ASSERT_TRUE(cli::parseHexBytes(stream, &back, &error)) << error;
    EXPECT_EQ(back, bytes);

    // The view: offset, sixteen bytes in two groups, the printable text.
    const Bytes text = {'h', 'w', 'd', 's', 0x00, 0x7F, 0x20, '~'};
    EXPECT_EQ(cli::hexView(text.data(), text.size()),
              "00000000  68 77 64 73 00 7f 20 7e" + std::string(27, ' ') + "|hwds.. ~|\n");
    const std::string view = cli::hexView(bytes.data(), bytes.size());
    EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), 3);
    EXPECT_EQ(view.substr(view.rfind('\n', view.size() - 2) + 1, 10), "00000020  ");
}

TEST(CliTexts, JsonStringsSurviveAParser) {
    for (const std::string& text : {std::string("plain"), std::string("quote \" and \\ back"),
                                   std::string("tab\tnew\nline\r"), std::string("\x01\x1f", 2),
                                   std::string("Тувак")}) {
        const nlohmann::json parsed = nlohmann::json::parse(cli::jsonString(text), nullptr, false);
        ASSERT_FALSE(parsed.is_discarded()) << cli::jsonString(text);
        EXPECT_EQ(parsed.get<std::string>(), text);
    }
}

TEST(CliStatus, ResultsMapToDocumentedStatuses) {
    const std::pair<CeResult, int> table[] = {
        {CE_OK, cli::kExitOk},
        {CE_HW_WRITE_FAILED, cli::kExitFailed},
        {CE_HW_FAIL, cli::kExitFailed},
        {CE_HW_ACCESS_DENIED, cli::kExitFailed},
        {CE_HW_NOT_SUPPORTED, cli::kExitFailed},
        {CE_CANCELED, cli::kExitAbsent},
        {CE_TIMEOUT, cli::kExitAbsent},
        {CE_HW_NOT_FOUND, cli::kExitAbsent},
        {CE_BAD_PARAM, cli::kExitUsage},
        {CE_HW_OP_NOT_SUPPORTED, cli::kExitUsage},
        {-7, cli::kExitFailed},
    };
    for (auto [result, status] : table) {
        EXPECT_EQ(cli::exitStatusFor(result), status) << cli::resultName(result);
        EXPECT_FALSE(cli::describeResult(result).empty());
    }
    EXPECT_EQ(cli::resultName(-7), "-7");

    using V = std::vector<int>;
    const std::pair<V, int> combined[] = {
        {{}, 0}, {{0, 0}, 0}, {{0, 3, 0}, 3}, {{4, 4}, 4}, {{3, 4}, 1}, {{0, 2, 3}, 1}, {{3, 2}, 1}, {{1}, 1},
    };
    for (const auto& [statuses, status] : combined) EXPECT_EQ(cli::combinedExitStatus(statuses), status);
}

// ---- The display ----------------------------------------------------------------

class DisplayTest : public ::testing::Test {
protected:
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    std::optional<platform::ScopedServices> services;
    void use() {
        platform::Services s;
        s.console = &console;
        s.terminal = &terminal;
        services.emplace(s);
    }
};

TEST_F(DisplayTest, LiveLinesAreRedrawnInPlace) {
    terminal.live = true;
    use();
    cli::Display display(5000);
    EXPECT_TRUE(display.live());
    EXPECT_FALSE(display.attended());
    display.begin({"A", "LONGER"});
    display.update(1, "pass 1 of 5");
    display.update(0, "pass 1 of 5");
    display.update(0, "pass 2 of 5 and some more");
    display.update(0, "done");
    display.update(7, "no such line");
    display.end();
    EXPECT_EQ(fakes::playBack(console.err()),
              (std::vector<std::string>{"A       done", "LONGER  pass 1 of 5"}));
    EXPECT_EQ(console.out(), "");
}

TEST_F(DisplayTest, WithoutATerminalEachUpdateIsALine) {
    use();
    cli::Display display(5000);
    EXPECT_FALSE(display.live());
    display.begin({"A", "LONGER"});
    display.update(1, "pass 1 of 5");
    display.update(0, "done");
    display.update(0, "only where live", true);
    display.end();
    EXPECT_EQ(console.err(), "LONGER  pass 1 of 5\nA       done\n");
}

TEST_F(DisplayTest, QuestionsWaitForTheirAnswerAndTheLinesComeBackBelow) {
    terminal.live = true;
    terminal.typing = true;
    const std::pair<std::string, cli::Display::Answer> answers[] = {
        {"", cli::Display::Answer::Retry},
        {"anything", cli::Display::Answer::Retry},
        {"q", cli::Display::Answer::Cancel},
        {"Q", cli::Display::Answer::Cancel},
    };
    use();
    cli::Display display(7000);
    ASSERT_TRUE(display.attended());
    display.begin({"DEV"});
    display.update(0, "pass 1 of 5");
    for (const auto& [typed, answer] : answers) {
        terminal.answer = [text = typed](std::string* line) {
            *line = text;
            return platform::LineRead::Line;
        };
        EXPECT_EQ(display.ask("DEV: gone."), answer) << typed;
    }
    terminal.answer = [](std::string*) { return platform::LineRead::TimedOut; };
    EXPECT_EQ(display.ask("DEV: gone."), cli::Display::Answer::TimedOut);
    terminal.answer = [](std::string*) { return platform::LineRead::Closed; };
    EXPECT_EQ(display.ask("DEV: gone."), cli::Display::Answer::Cancel);
    EXPECT_EQ(terminal.questions.load(), 6);
    EXPECT_EQ(terminal.lastTimeoutMs.load(), 7000u);

    const std::vector<std::string> screen = fakes::playBack(console.err());
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(screen.back(), "DEV  pass 1 of 5");
    EXPECT_NE(screen[screen.size() - 2].find("DEV: gone. Press Enter to retry or q to cancel (7 s)"),
              std::string::npos);
}

}  // namespace
