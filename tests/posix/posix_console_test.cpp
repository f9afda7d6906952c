#include <fcntl.h>
#include <iconv.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/posix/posix_console.h"
#include "platform/posix/posix_terminal.h"
#include "platform/posix/fd_guard.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

const std::string kTuvak1251 = "\xD2\xF3\xE2\xE0\xEA";
const std::string kTuvakUtf8 = "Тувак";

// glibc's own converter, as an independent reference; empty on failure.
std::string viaIconv(const std::string& in, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    char out[64] = {};
    char* src = const_cast<char*>(in.data());
    char* dst = out;
    size_t left = in.size(), room = sizeof out;
    size_t rc = iconv(cd, &src, &left, &dst, &room);
    iconv_close(cd);
    return rc == static_cast<size_t>(-1) ? std::string() : std::string(out, dst);
}

std::string allAscii() {
    std::string s;
    for (int c = 1; c < 0x80; ++c) s.push_back(static_cast<char>(c));
    return s;
}

TEST(PosixConsoleTest, OwnTableAgreesWithIconv) {
    EXPECT_EQ(cp1251ToUtf8(kTuvak1251), kTuvakUtf8);
    EXPECT_EQ(cp1251ToUtf8(allAscii()), allAscii());
    EXPECT_EQ(cp1251ToUtf8("a\x98z"), "a?z");  // the unassigned byte
    for (int b = 0x80; b <= 0xFF; ++b) {
        if (b == 0x98) continue;
        std::string one(1, static_cast<char>(b));
        std::string ref = viaIconv(one, "UTF-8", "CP1251");
        if (ref.empty()) GTEST_SKIP() << "iconv has no CP1251";
        EXPECT_EQ(cp1251ToUtf8(one), ref) << "byte " << b;
    }
}

TEST(PosixConsoleTest, SetsThatCannotShowCyrillicFallBackToUtf8) {
    for (const char* set : {"ANSI_X3.4-1968", "ISO-8859-1", "NO-SUCH-SET", "", "utf8"}) {
        PosixConsole console(set);
        EXPECT_EQ(console.charset(), "UTF-8") << set;
        EXPECT_EQ(console.convert(kTuvak1251 + "!\x98"), kTuvakUtf8 + "!?") << set;
    }
    const char* saved = getenv("LC_ALL");
    std::string savedValue = saved ? saved : "";
    setenv("LC_ALL", "C", 1);  // the C locale's set is ASCII
    PosixConsole fromEnvironment;
    if (saved) setenv("LC_ALL", savedValue.c_str(), 1);
    else unsetenv("LC_ALL");
    EXPECT_EQ(fromEnvironment.convert(kTuvak1251), kTuvakUtf8);
}

// Runs `body` with standard output going to a file; returns what it wrote.
template <typename F>
std::string captureStdout(F body, int openFlags = O_RDWR) {
    fakes::TempDir dir;
    EXPECT_FALSE(dir.path.empty());
    const std::string tmpl = dir.write("stdout", "");
    int fd = ::open(tmpl.c_str(), openFlags);
    std::fflush(stdout);
    int saved = ::dup(1);
    ::dup2(fd, 1);
    ::close(fd);
    body();
    __fpurge(stdout);  // what a failed write left buffered
    ::dup2(saved, 1);
    ::close(saved);
    std::clearerr(stdout);
    std::ostringstream text;
    text << std::ifstream(tmpl).rdbuf();
    return text.str();
}

TEST(PosixConsoleTest, WriteCountsCharactersOfTheSet) {
    PosixConsole utf8("UTF-8");
    int count = 0;
    std::string out = captureStdout([&] { count = utf8.write(Stream::Out, utf8.convert(kTuvak1251)); });
    EXPECT_EQ(out, kTuvakUtf8);
    EXPECT_EQ(count, 5);

    for (const char* set : {"KOI8-R", "GB18030"}) {  // one and two bytes a letter
        PosixConsole console(set);
        if (console.charset() != set) continue;
        std::string bytes = console.convert(kTuvak1251 + "1");
        EXPECT_EQ(captureStdout([&] { count = console.write(Stream::Out, bytes); }), bytes);
        EXPECT_EQ(count, 6) << set;
    }

    // Standard output that cannot be written fails.
    captureStdout([&] { count = utf8.write(Stream::Out, "x"); }, O_RDONLY);
    EXPECT_EQ(count, -1);
}

// ---- The terminal service ------------------------------------------------------

// Standard input replaced by a pipe for the life of the guard.
class PipedInput {
public:
    PipedInput() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        read_ = platform::FdGuard(fds[0]);
        write_ = platform::FdGuard(fds[1]);
        saved_ = platform::FdGuard(::dup(STDIN_FILENO));
        ::dup2(read_.get(), STDIN_FILENO);
    }
    ~PipedInput() {
        if (saved_.valid()) ::dup2(saved_.get(), STDIN_FILENO);
    }
    PipedInput(const PipedInput&) = delete;
    PipedInput& operator=(const PipedInput&) = delete;

    bool ready() const { return saved_.valid(); }
    void type(const std::string& text) {
        ASSERT_EQ(::write(write_.get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void hangUp() { write_.reset(); }

private:
    platform::FdGuard read_, write_, saved_;
};

TEST(PosixTerminal, ReadsOneLineAtATimeWithinTheTimeLimit) {
    PipedInput input;
    ASSERT_TRUE(input.ready());
    PosixTerminal terminal;
    EXPECT_FALSE(terminal.inputInteractive());

    std::string line = "stale";
    EXPECT_EQ(terminal.readLine(20, &line), LineRead::TimedOut);
    EXPECT_EQ(line, "");

    input.type("q\r\nsecond line\nunfinished");
    const std::pair<LineRead, std::string> expected[] = {
        {LineRead::Line, "q"},
        {LineRead::Line, "second line"},
        {LineRead::TimedOut, "unfinished"},
    };
    for (const auto& [read, text] : expected) {
        EXPECT_EQ(terminal.readLine(50, &line), read) << text;
        EXPECT_EQ(line, text);
    }
    input.type("\n");
    EXPECT_EQ(terminal.readLine(50, &line), LineRead::Line);
    EXPECT_EQ(line, "");
    input.hangUp();
    EXPECT_EQ(terminal.readLine(1000, &line), LineRead::Closed);
}

}  // namespace
}  // namespace platform
