#include <fcntl.h>
#include <iconv.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/fd_guard.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_terminal.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

const std::string kTuvak1251 = "\xD2\xF3\xE2\xE0\xEA", kTuvakUtf8 = "Тувак";

TEST(PosixConsoleTest, OwnTableAgreesWithIconv) {
    EXPECT_EQ(cp1251ToUtf8("\x01 ~\x7F"
                           "a\x98z"),
              "\x01 ~\x7F"
              "a?z");  // 0x98 is unassigned
    iconv_t cd = iconv_open("UTF-8", "CP1251");
    if (cd == reinterpret_cast<iconv_t>(-1)) GTEST_SKIP() << "iconv has no CP1251";
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in = static_cast<char>(b), out[8], *src = &in, *dst = out;
        size_t left = 1, room = sizeof out;
        if (b != 0x98 && iconv(cd, &src, &left, &dst, &room) != static_cast<size_t>(-1)) {
            EXPECT_EQ(cp1251ToUtf8(std::string(1, in)), std::string(out, dst)) << "byte " << b;
        }
    }
    iconv_close(cd);
}

TEST(PosixConsoleTest, SetsThatCannotShowCyrillicFallBackToUtf8) {
    for (const char* set : {"ANSI_X3.4-1968", "ISO-8859-1", "NO-SUCH-SET", "", "utf8"}) {
        PosixConsole console(set);
        EXPECT_EQ(console.charset() + " " + console.convert(kTuvak1251 + "!\x98"), "UTF-8 " + kTuvakUtf8 + "!?") << set;
    }
}

// Runs `body` with standard output going to a file; returns what it wrote.
template <typename F>
std::string captureStdout(F body, int openFlags = O_RDWR) {
    fakes::TempDir dir;
    const std::string file = dir.write("stdout", "");
    std::fflush(stdout);
    const platform::FdGuard fd(::open(file.c_str(), openFlags)), saved(::dup(1));
    ::dup2(fd.get(), 1);
    body();
    __fpurge(stdout);  // what a failed write left buffered
    ::dup2(saved.get(), 1);
    std::clearerr(stdout);
    std::ifstream written(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(written), {});
}

TEST(PosixConsoleTest, WriteCountsCharactersOfTheSet) {
    int count = 0;
    for (const char* set : {"UTF-8", "KOI8-R", "GB18030"}) {  // one, one and two bytes a letter
        PosixConsole console(set);
        if (console.charset() != set) continue;
        const std::string bytes = console.convert(kTuvak1251 + "1");
        EXPECT_EQ(captureStdout([&] { count = console.write(Stream::Out, bytes); }), bytes) << set;
        EXPECT_EQ(count, 6) << set;
    }
    captureStdout([&] { count = PosixConsole("UTF-8").write(Stream::Out, "x"); }, O_RDONLY);  // unwritable
    EXPECT_EQ(count, -1);
}

TEST(PosixTerminal, ReadsOneLineAtATimeWithinTheTimeLimit) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::FdGuard in(fds[0]), typing(fds[1]), savedStdin(::dup(STDIN_FILENO));
    ::dup2(in.get(), STDIN_FILENO);
    PosixTerminal terminal;
    EXPECT_FALSE(terminal.inputInteractive());
    struct Step {
        std::string_view typed;
        LineRead read;
        std::string line;
    };  // typed before the read, then its result
    const Step steps[] = {{"", LineRead::TimedOut, ""},
                          {"q\r\nsecond line\nunfinished", LineRead::Line, "q"},
                          {"", LineRead::Line, "second line"},
                          {"", LineRead::TimedOut, "unfinished"},
                          {"\n", LineRead::Line, ""}};
    std::string line = "stale";
    for (const Step& step : steps) {
        ASSERT_EQ(::write(typing.get(), step.typed.data(), step.typed.size()), ssize_t(step.typed.size()));
        EXPECT_EQ(std::pair(terminal.readLine(50, &line), line), std::pair(step.read, step.line));
    }
    typing.reset();
    EXPECT_EQ(terminal.readLine(1000, &line), LineRead::Closed);
    ::dup2(savedStdin.get(), STDIN_FILENO);
}

TEST(PosixTerminal, WaitsForALineTypedLaterWithinTheTimeLimit) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    platform::FdGuard in(fds[0]), typing(fds[1]), savedStdin(::dup(STDIN_FILENO));
    ::dup2(in.get(), STDIN_FILENO);
    std::thread typist([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(::write(typing.get(), "late\n", 5), 5);
    });
    std::string line;
    EXPECT_EQ(PosixTerminal().readLine(5000, &line), LineRead::Line);
    EXPECT_EQ(line, "late");
    typist.join();
    ::dup2(savedStdin.get(), STDIN_FILENO);
}

}  // namespace
}  // namespace platform
