// The termios that setSettings applies, built from a line's current termios without any tty.
#include <errno.h>
#include <termios.h>

#include <optional>
#include <utility>

#include <gtest/gtest.h>

#include "platform/posix/posix_serial.h"

namespace platform {
namespace {

#ifdef CMSPAR
constexpr tcflag_t kMarkOrSpace = CMSPAR;
#else
constexpr tcflag_t kMarkOrSpace = 0;
#endif

// The speed lives in c_cflag on some systems; the cases compare it through cfget*speed.
tcflag_t withoutSpeed(tcflag_t cflag) {
#if defined(CBAUD) && defined(CIBAUD)
    return cflag & ~static_cast<tcflag_t>(CBAUD | CIBAUD);
#else
    return cflag;
#endif
}

// A line as a login terminal leaves it: cooked, echoing, with flow control and 7E2 at 9600.
termios cookedLine() {
    termios t{};
    t.c_iflag =
        IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | NOFLSH | TOSTOP;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL | kMarkOrSpace;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    t.c_cc[VINTR] = 3;
    EXPECT_EQ(::cfsetispeed(&t, B9600), 0);
    EXPECT_EQ(::cfsetospeed(&t, B9600), 0);
    return t;
}

struct Built {
    LineSettings settings;
    speed_t speed;
    tcflag_t cflag;  // beside the speed
};

TEST(TermiosFor, ARawBinaryLineKeepingWhatTheLineNeedsNot) {
    const Built cases[] = {
        {
            .settings = {.baudRate = 115200, .byteSize = 8, .parity = 0, .stopBits = 0},
            .speed = B115200,
            .cflag = CS8 | CREAD | CLOCAL | HUPCL,
        },
        {
            .settings = {.baudRate = 9600, .byteSize = 7, .parity = 2, .stopBits = 2},
            .speed = B9600,
            .cflag = CS7 | PARENB | CSTOPB | CREAD | CLOCAL | HUPCL,
        },
        {
            .settings = {.baudRate = 50, .byteSize = 5, .parity = 1, .stopBits = 0},
            .speed = B50,
            .cflag = CS5 | PARENB | PARODD | CREAD | CLOCAL | HUPCL,
        },
        {
            .settings = {.baudRate = 38400, .byteSize = 6, .parity = 0, .stopBits = 2},
            .speed = B38400,
            .cflag = CS6 | CSTOPB | CREAD | CLOCAL | HUPCL,
        },
        {
            .settings = {.baudRate = 230400, .byteSize = 8, .parity = 0, .stopBits = 0},
            .speed = B230400,
            .cflag = CS8 | CREAD | CLOCAL | HUPCL,
        },
#ifdef CMSPAR
        {
            .settings = {.baudRate = 1200, .byteSize = 8, .parity = 3, .stopBits = 0},
            .speed = B1200,
            .cflag = CS8 | PARENB | PARODD | CMSPAR | CREAD | CLOCAL | HUPCL,
        },
        {
            .settings = {.baudRate = 4000000, .byteSize = 8, .parity = 4, .stopBits = 2},
            .speed = B4000000,
            .cflag = CS8 | PARENB | CMSPAR | CSTOPB | CREAD | CLOCAL | HUPCL,
        },
#endif
    };
    const termios current = cookedLine();
    for (const Built& c : cases) {
        SCOPED_TRACE(c.settings.baudRate);
        const std::optional<termios> tio = termiosFor(current, c.settings);
        ASSERT_TRUE(tio.has_value());
        EXPECT_EQ(tio->c_iflag, tcflag_t{IMAXBEL});
        EXPECT_EQ(tio->c_oflag, tcflag_t{ONLCR});
        EXPECT_EQ(tio->c_lflag, tcflag_t{NOFLSH | TOSTOP});
        EXPECT_EQ(withoutSpeed(tio->c_cflag), c.cflag);
        EXPECT_EQ(::cfgetispeed(&*tio), c.speed);
        EXPECT_EQ(::cfgetospeed(&*tio), c.speed);
        EXPECT_EQ(tio->c_cc[VMIN], 0);
        EXPECT_EQ(tio->c_cc[VTIME], 0);
        EXPECT_EQ(tio->c_cc[VINTR], 3);
    }
}

TEST(TermiosFor, AClearedLineGainsTheReceiverAndTheLocalLine) {
    const std::optional<termios> tio = termiosFor(termios{}, {.baudRate = 115200, .byteSize = 8});
    ASSERT_TRUE(tio.has_value());
    EXPECT_EQ(tio->c_iflag, tcflag_t{0});
    EXPECT_EQ(tio->c_oflag, tcflag_t{0});
    EXPECT_EQ(tio->c_lflag, tcflag_t{0});
    EXPECT_EQ(withoutSpeed(tio->c_cflag), tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(::cfgetospeed(&*tio), speed_t{B115200});
}

TEST(TermiosFor, SettingsThisSystemCannotHaveBuildNothing) {
    const LineSettings refused[] = {
        {.baudRate = 0, .byteSize = 8, .parity = 0, .stopBits = 0},
        {.baudRate = 12345, .byteSize = 8, .parity = 0, .stopBits = 0},
        {.baudRate = 115201, .byteSize = 8, .parity = 0, .stopBits = 0},
        {.baudRate = 115200, .byteSize = 4, .parity = 0, .stopBits = 0},
        {.baudRate = 115200, .byteSize = 9, .parity = 0, .stopBits = 0},
        {.baudRate = 115200, .byteSize = 8, .parity = 5, .stopBits = 0},
        {.baudRate = 115200, .byteSize = 8, .parity = 0, .stopBits = 1},
        {.baudRate = 115200, .byteSize = 8, .parity = 0, .stopBits = 3},
    };
    const termios current = cookedLine();
    for (const LineSettings& s : refused) {
        EXPECT_FALSE(termiosFor(current, s).has_value())
            << s.baudRate << " " << int(s.byteSize) << " " << int(s.parity) << " " << int(s.stopBits);
    }
}

// What a line read back after tcsetattr may differ in, and what it may not.
TEST(TermiosTook, TheRateTheFramingAndNoEchoOrProcessing) {
    struct Readback {
        const char* what;
        tcflag_t termios::*flags;
        tcflag_t set;
        tcflag_t cleared;
        bool took;
    };
    const Readback cases[] = {
        {.what = "all of it", .flags = &termios::c_cflag, .set = 0, .cleared = 0, .took = true},
        {.what = "flow control left on", .flags = &termios::c_iflag, .set = IXON, .cleared = 0, .took = true},
        {.what = "8 bits", .flags = &termios::c_cflag, .set = CS8, .cleared = CSIZE, .took = false},
        {.what = "no parity", .flags = &termios::c_cflag, .set = 0, .cleared = PARENB, .took = false},
        {.what = "odd parity", .flags = &termios::c_cflag, .set = PARODD, .cleared = 0, .took = false},
        {.what = "two stop bits", .flags = &termios::c_cflag, .set = CSTOPB, .cleared = 0, .took = false},
        {.what = "echo", .flags = &termios::c_lflag, .set = ECHO, .cleared = 0, .took = false},
        {.what = "canonical input", .flags = &termios::c_lflag, .set = ICANON, .cleared = 0, .took = false},
        {.what = "signals", .flags = &termios::c_lflag, .set = ISIG, .cleared = 0, .took = false},
        {.what = "extended input", .flags = &termios::c_lflag, .set = IEXTEN, .cleared = 0, .took = false},
        {.what = "output processing", .flags = &termios::c_oflag, .set = OPOST, .cleared = 0, .took = false},
    };
    const std::optional<termios> wanted = termiosFor(cookedLine(), {.baudRate = 115200, .byteSize = 7, .parity = 2});
    ASSERT_TRUE(wanted.has_value());
    for (const Readback& c : cases) {
        termios now = *wanted;
        now.*c.flags = (now.*c.flags & ~c.cleared) | c.set;
        EXPECT_EQ(termiosTook(*wanted, now), c.took) << c.what;
    }
    termios slower = *wanted;
    ASSERT_EQ(::cfsetospeed(&slower, B9600), 0);
    EXPECT_FALSE(termiosTook(*wanted, slower));
}

TEST(LineSettingsOf, WhatTermiosForBuiltReadsBack) {
    const LineSettings lines[] = {
        {.baudRate = 115200, .byteSize = 8, .parity = 0, .stopBits = 0},
        {.baudRate = 9600, .byteSize = 7, .parity = 2, .stopBits = 2},
        {.baudRate = 50, .byteSize = 5, .parity = 1, .stopBits = 0},
        {.baudRate = 38400, .byteSize = 6, .parity = 0, .stopBits = 2},
#ifdef CMSPAR
        {.baudRate = 1200, .byteSize = 8, .parity = 3, .stopBits = 0},
        {.baudRate = 300, .byteSize = 7, .parity = 4, .stopBits = 2},
#endif
    };
    for (const LineSettings& want : lines) {
        const std::optional<termios> tio = termiosFor(cookedLine(), want);
        ASSERT_TRUE(tio.has_value());
        const LineSettings got = lineSettingsOf(*tio);
        EXPECT_EQ(got.baudRate, want.baudRate);
        EXPECT_EQ(got.byteSize, want.byteSize) << want.baudRate;
        EXPECT_EQ(got.parity, want.parity) << want.baudRate;
        EXPECT_EQ(got.stopBits, want.stopBits) << want.baudRate;
    }
}

TEST(Win32ErrorForOpenErrno, AsCreateFileWouldReport) {
    const std::pair<int, uint32_t> table[] = {
        {ENOENT, kErrFileNotFound}, {EACCES, kErrAccessDenied}, {EPERM, kErrAccessDenied},     {ENXIO, kErrNotReady},
        {EIO, kErrNotReady},        {ENODEV, kErrDevNotExist},  {EBUSY, kErrSharingViolation}, {EINVAL, kErrGenFailure},
    };
    for (const auto& [err, win32] : table) {
        EXPECT_EQ(win32ErrorForOpenErrno(err), win32) << err;
    }
}

}  // namespace
}  // namespace platform
