// The pty pair the simulator and the benchmarks play a device on.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/pty.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;

// A client that sets nothing itself must still see the device's bytes as they
// are: a carriage return not turned into a line feed, no line to wait for.
TEST(Pty, ARawPairCarriesBytesUnchangedAt115200) {
    Pty pty;
    std::string error;
    ASSERT_TRUE(openPty({.raw = true, .openSlave = true}, &pty, &error)) << error;
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.slave.get(), &tio), 0);
    EXPECT_EQ(::cfgetispeed(&tio), speed_t(B115200));
    EXPECT_EQ(::cfgetospeed(&tio), speed_t(B115200));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);

    const Bytes sent = {0x0D, 0x03, 0x7F};
    ASSERT_EQ(::write(pty.master.get(), sent.data(), sent.size()), ssize_t(sent.size()));
    pollfd p{pty.slave.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    Bytes got(8);
    const ssize_t n = ::read(pty.slave.get(), got.data(), got.size());
    ASSERT_GE(n, 0);
    got.resize(std::size_t(n));
    EXPECT_EQ(got, sent);
}

TEST(Pty, TheSlaveIsOpenOnlyWhenAskedFor) {
    Pty pty;
    std::string error;
    ASSERT_TRUE(openPty({}, &pty, &error)) << error;
    EXPECT_TRUE(pty.master.valid());
    EXPECT_FALSE(pty.slave.valid());
    EXPECT_EQ(pty.node.rfind("/dev/pts/", 0), 0u);
}

}  // namespace
}  // namespace platform
