// The serial port over a real pty pair; the test plays the device on the master side.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/fd_guard.h"
#include "platform/posix/posix_serial.h"
#include "platform/posix/pty.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class PosixSerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(openPty({}, &pty_, &error)) << error;
        node_ = pty_.node;
        std::ofstream(dir_ / "plain") << "not a tty";
    }
    void sendFromDevice(const Bytes& b) { ASSERT_EQ(::write(master_.get(), b.data(), b.size()), ssize_t(b.size())); }
    // What the device receives until the line has been quiet for 300 ms.
    Bytes receiveAtDevice() {
        Bytes out(1024);
        std::size_t n = 0;
        for (pollfd p{master_.get(), POLLIN, 0}; n < out.size() && ::poll(&p, 1, 300) > 0;) {
            const ssize_t got = ::read(master_.get(), out.data() + n, out.size() - n);
            if (got <= 0) break;
            n += std::size_t(got);
        }
        out.resize(n);
        return out;
    }
    // What one read of up to n bytes gives; `ok`: what the read is to return.
    Bytes readAtHost(PortHandle h, uint32_t n, bool ok = true) {
        Bytes in(n);
        uint32_t got = 0;
        EXPECT_EQ(ports_.read(h, in.data(), n, &got), ok);
        in.resize(got);
        return in;
    }
    PortHandle openRaw(const char* path = "\\\\.\\COM7") {
        PortHandle h = kInvalidPort;
        EXPECT_EQ(ports_.open(path, &h), kErrSuccess) << path;
        EXPECT_TRUE(ports_.setSettings(h, LineSettings{115200, 8, 0, 0}));
        return h;
    }
    // The tty's exclusive flag as another opener sees it; -1 when refused.
    int exclusiveSeenByOthers() {
        const FdGuard fd(::open(node_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        int excl = -1;
        if (fd.valid())
            EXPECT_EQ(::ioctl(fd.get(), TIOCGEXCL, &excl), 0);
        else
            EXPECT_EQ(errno, EBUSY);
        return excl;
    }

    Pty pty_;
    FdGuard& master_ = pty_.master;
    std::string node_;
    fakes::TempDir temp_;
    std::filesystem::path dir_ = temp_.path;
    PosixSerialPorts ports_{[this](std::string_view com, std::string* node) {
        *node = com == "COM7" ? node_ : com == "COM8" ? (dir_ / "missing").string() : (dir_ / "plain").string();
        return com == "COM7" || com == "COM8" || com == "COM9";
    }};
};

TEST_F(PosixSerialTest, SettingsRoundTripAndRejectUnsupportedValues) {
    PortHandle h = openRaw("COM7");  // bare name too
    // A pty keeps the rate and stop bits; it forces 8 bits without parity.
    for (LineSettings want : {LineSettings{115200, 8, 0, 0}, LineSettings{9600, 8, 0, 2}, LineSettings{230400, 8, 0, 0},
                              LineSettings{230400, 8, 0, 0}}) {
        ASSERT_TRUE(ports_.setSettings(h, want));
        LineSettings got;
        ASSERT_TRUE(ports_.getSettings(h, &got)) << want.baudRate;
        EXPECT_EQ(std::tie(got.baudRate, got.byteSize, got.parity, got.stopBits),
                  std::tie(want.baudRate, want.byteSize, want.parity, want.stopBits));
    }
    termios now{};
    EXPECT_TRUE(::tcgetattr(master_.get(), &now) == 0 && ::cfgetospeed(&now) == B230400)
        << "applied to the line, not only remembered";
    for (LineSettings bad :
         {LineSettings{12345, 8, 0, 0}, LineSettings{115200, 9, 0, 0}, LineSettings{115200, 8, 0, 1}})
        EXPECT_FALSE(ports_.setSettings(h, bad))
            << bad.baudRate << " " << int(bad.byteSize) << " " << int(bad.stopBits);
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, EveryByteValuePassesUnchangedBothWays) {
    {  // Leave the line cooked, as an earlier program might.
        const FdGuard fd(::open(node_.c_str(), O_RDWR | O_NOCTTY));
        termios t{};
        ASSERT_EQ(::tcgetattr(fd.get(), &t), 0);
        t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | PARMRK, t.c_oflag |= OPOST | ONLCR,
            t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        ASSERT_EQ(::tcsetattr(fd.get(), TCSANOW, &t), 0);
    }
    PortHandle h = openRaw();
    Bytes all(256);
    std::iota(all.begin(), all.end(), 0);
    sendFromDevice(all);
    EXPECT_EQ(readAtHost(h, 256), all);
    uint32_t written = 0;
    EXPECT_EQ(std::pair(ports_.write(h, all.data(), 256, &written), written), std::pair(true, 256u));
    EXPECT_EQ(receiveAtDevice(), all);  // nothing added, no echo
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, ReadsCollectPiecesServeReadAheadAndTimeOutShort) {
    PortHandle h = openRaw();
    std::thread device([this] {
        for (const Bytes& piece : {Bytes{1, 2}, Bytes{3, 4, 5}, Bytes{6, 7, 8, 9, 10, 11, 12}}) {
            sendFromDevice(piece);
            std::this_thread::sleep_for(milliseconds(80));
        }
    });
    EXPECT_EQ(readAtHost(h, 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    device.join();
    // 9..12 may already sit in the read-ahead: they come first and whole.
    EXPECT_EQ(readAtHost(h, 2), (Bytes{9, 10}));
    auto start = Clock::now();
    EXPECT_EQ(readAtHost(h, 5), (Bytes{11, 12}));
    EXPECT_GE(msSince(start), 950);
    // readFor waits its own time, not the reply time-out.
    Bytes in(1);
    uint32_t got = 0;
    start = Clock::now();
    EXPECT_EQ(std::pair(ports_.readFor(h, in.data(), 1, 5, &got), got), std::pair(true, 0u));
    EXPECT_LT(msSince(start), 500);
    // A purge drops what was read ahead.
    sendFromDevice({20, 21, 22});
    EXPECT_EQ(std::tuple(ports_.readFor(h, in.data(), 1, 1000, &got), got, in[0]), std::tuple(true, 1u, 20));
    EXPECT_TRUE(ports_.purge(h, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    EXPECT_EQ(readAtHost(h, 1), Bytes{});
    EXPECT_TRUE(ports_.close(h));
}

// The kernel's per-tty driver flag, every change recorded. Ptys have no such flag, so
// this proves the open and close logic, not the ioctls behind the kernel's flag.
struct FakeLowLatency : LowLatencyFlag {
    bool supported = true;
    bool refuseSet = false;
    bool on = false;
    std::vector<bool> sets;
    bool get(int, bool* state) override {
        if (!supported) return false;
        *state = on;
        return true;
    }
    bool set(int, bool state) override {
        sets.push_back(state);
        if (!supported || refuseSet) return false;
        on = state;
        return true;
    }
};

TEST_F(PosixSerialTest, LowLatencyFlagIsLeftAsFound) {
    struct Case {
        const char* what;
        bool supported;
        bool refuseSet;
        bool before;
        std::vector<bool> sets;
        bool whileOpen;
    };
    const Case cases[] = {
        {.what = "off before",
         .supported = true,
         .refuseSet = false,
         .before = false,
         .sets = {true, false},
         .whileOpen = true},
        {.what = "on before", .supported = true, .refuseSet = false, .before = true, .sets = {}, .whileOpen = true},
        {.what = "no such flag",
         .supported = false,
         .refuseSet = false,
         .before = false,
         .sets = {},
         .whileOpen = false},
        {.what = "the driver refuses",
         .supported = true,
         .refuseSet = true,
         .before = false,
         .sets = {true},
         .whileOpen = false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLowLatency flag;
        flag.supported = c.supported;
        flag.refuseSet = c.refuseSet;
        flag.on = c.before;
        const auto resolve = [this](std::string_view, std::string* node) {
            *node = node_;
            return true;
        };
        PosixSerialPorts ports(resolve, &flag);
        PortHandle h = kInvalidPort;
        ASSERT_EQ(ports.open("\\\\.\\COM7", &h), kErrSuccess);
        EXPECT_EQ(flag.on, c.whileOpen);
        EXPECT_TRUE(ports.close(h));
        EXPECT_EQ(std::tie(flag.on, flag.sets), std::tie(c.before, c.sets));
    }
}

TEST_F(PosixSerialTest, HeldExclusivelyUntilClose) {
    PortHandle h = openRaw(), second = kInvalidPort;
    EXPECT_EQ(std::pair(ports_.open("\\\\.\\COM7", &second), second), std::pair(kErrSharingViolation, kInvalidPort));
    // Unprivileged, the exclusive flag refuses the open; root passes it.
    EXPECT_NE(exclusiveSeenByOthers(), 0);
    EXPECT_TRUE(ports_.close(h));
    EXPECT_EQ(exclusiveSeenByOthers(), 0) << "exclusive flag outlived close";
    EXPECT_TRUE(ports_.close(openRaw()));

    // Another program's exclusive hold refuses us, root or not, and survives us.
    const FdGuard other(::open(node_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_EQ(::ioctl(other.get(), TIOCEXCL), 0);
    EXPECT_EQ(ports_.open("\\\\.\\COM7", &second), kErrSharingViolation);
    int excl = 0;
    EXPECT_TRUE(::ioctl(other.get(), TIOCGEXCL, &excl) == 0 && excl == 1);
    ::ioctl(other.get(), TIOCNXCL);
}

TEST_F(PosixSerialTest, OpenFailuresAndNodesThatAreNoTty) {
    PortHandle h = kInvalidPort;
    // Not mapped, no such node, no name.
    for (const char* path : {"\\\\.\\COM3", "\\\\.\\COM8", "\\\\.\\"})
        EXPECT_EQ(std::pair(ports_.open(path, &h), h), std::pair(kErrFileNotFound, kInvalidPort)) << path;
    EXPECT_EQ(ports_.open(nullptr, &h), kErrInvalidParameter);
    EXPECT_EQ(PosixSerialPorts(nullptr).open("COM7", &h), kErrFileNotFound);
    ASSERT_EQ(ports_.open("\\\\.\\COM9", &h), kErrSuccess);
    LineSettings s;
    EXPECT_FALSE(ports_.getSettings(h, &s) || ports_.setSettings(h, LineSettings{115200, 8, 0, 0}));
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, HangUpMidReadIsAnErrorWithWhatArrived) {
    PortHandle h = openRaw();
    std::thread device([this] {
        sendFromDevice({7, 7});
        std::this_thread::sleep_for(milliseconds(100));
        master_.reset();
    });
    const auto start = Clock::now();
    EXPECT_EQ(readAtHost(h, 5, false), (Bytes{7, 7}));
    device.join();
    EXPECT_LT(msSince(start), 900);  // reported, not waited out
    EXPECT_EQ(readAtHost(h, 1, false), Bytes{});
    const uint8_t byte = 7;
    uint32_t written = 0;
    EXPECT_EQ(std::pair(ports_.write(h, &byte, 1, &written), written), std::pair(false, 0u));
    ports_.close(h);
}

TEST_F(PosixSerialTest, SettingsTheLineDidNotTakeFail) {
    PortHandle h = openRaw();
    // A pty keeps 8 bits without parity whatever it is asked: tcsetattr succeeds, the read-back tells.
    for (LineSettings refused : {LineSettings{115200, 7, 0, 0}, LineSettings{115200, 8, 2, 0}}) {
        EXPECT_FALSE(ports_.setSettings(h, refused)) << int(refused.byteSize) << " " << int(refused.parity);
    }
    EXPECT_TRUE(ports_.setSettings(h, LineSettings{115200, 8, 0, 2}));
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, HandlesThatNameNoPortAreRefused) {
    for (PortHandle h : {kInvalidPort, PortHandle{}}) {
        LineSettings s;
        uint8_t byte = 0;
        uint32_t count = 7;
        EXPECT_FALSE(ports_.getSettings(h, &s));
        EXPECT_FALSE(ports_.setSettings(h, LineSettings{115200, 8, 0, 0}));
        EXPECT_FALSE(ports_.purge(h, kPurgeRxClear));
        EXPECT_FALSE(ports_.write(h, &byte, 1, &count));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(ports_.read(h, &byte, 1, &count));
        EXPECT_FALSE(ports_.close(h));
    }
}

TEST_F(PosixSerialTest, AnInputPurgeDropsTheReadAheadAndWhatTheLineHolds) {
    PortHandle h = openRaw();
    sendFromDevice({1, 2, 3});
    EXPECT_EQ(readAtHost(h, 1), Bytes{1});  // 2 and 3 wait in the read-ahead
    sendFromDevice({4, 5});
    std::this_thread::sleep_for(milliseconds(50));  // 4 and 5 wait in the tty
    EXPECT_TRUE(ports_.purge(h, kPurgeRxClear));
    sendFromDevice({9});
    EXPECT_EQ(readAtHost(h, 1), Bytes{9});
    EXPECT_FALSE(ports_.purge(h, 0x100));
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, AWriteBeyondTheLinesBufferGoesOutWholeOrShortAtTheTimeout) {
    PortHandle h = openRaw();
    const Bytes big(100000, 0x5A);
    uint32_t written = 0;
    // A device that reads takes it all, in as many pieces as the buffer makes.
    std::size_t received = 0;
    std::thread device([&] {
        Bytes chunk(4096);
        pollfd p{master_.get(), POLLIN, 0};
        while (received < big.size() && ::poll(&p, 1, 2000) > 0) {
            const ssize_t n = ::read(master_.get(), chunk.data(), chunk.size());
            if (n <= 0) break;
            received += static_cast<std::size_t>(n);
        }
    });
    EXPECT_TRUE(ports_.write(h, big.data(), static_cast<uint32_t>(big.size()), &written));
    device.join();
    EXPECT_EQ(written, big.size());
    EXPECT_EQ(received, big.size());
    // Nobody reads: the tty's buffer fills and the time-out ends the write short.
    const auto start = Clock::now();
    EXPECT_TRUE(ports_.write(h, big.data(), static_cast<uint32_t>(big.size()), &written));
    EXPECT_LT(msSince(start), 3000);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_TRUE(ports_.close(h));
}

}  // namespace
}  // namespace platform
