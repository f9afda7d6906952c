// The serial port over a real pty pair; the test plays the device on the
// master side.
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
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/posix/posix_serial.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

long long msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

class PosixSerialTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        char name[128];
        ASSERT_EQ(::ptsname_r(master_, name, sizeof name), 0);
        node_ = name;
        ASSERT_FALSE(temp_.path.empty());
        dir_ = temp_.path;
        std::ofstream(dir_ / "plain") << "not a tty";
    }
    void TearDown() override { hangUp(); }
    void hangUp() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }
    void sendFromDevice(const Bytes& b) {
        ASSERT_EQ(::write(master_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // What the device receives within `ms`.
    Bytes receiveAtDevice(size_t max, int ms) {
        Bytes out;
        auto start = std::chrono::steady_clock::now();
        while (out.size() < max && msSince(start) < ms) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[4096];
            ssize_t n = ::read(master_, buf, std::min(sizeof buf, max - out.size()));
            if (n <= 0) break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }
    PortHandle openPort(const char* path = "\\\\.\\COM7") {
        PortHandle h = kInvalidPort;
        EXPECT_EQ(ports_.open(path, &h), kErrSuccess) << path;
        return h;
    }
    PortHandle openRaw() {
        PortHandle h = openPort();
        EXPECT_TRUE(ports_.setSettings(h, LineSettings{115200, 8, 0, 0}));
        return h;
    }

    int master_ = -1;
    std::string node_;
    fakes::TempDir temp_;
    std::filesystem::path dir_;
    PosixSerialPorts ports_{[this](std::string_view com, std::string* node) {
        if (com == "COM7") *node = node_;
        else if (com == "COM8") *node = (dir_ / "missing").string();
        else if (com == "COM9") *node = (dir_ / "plain").string();
        else return false;
        return true;
    }};
};

TEST_F(PosixSerialTest, SettingsRoundTripAndRejectUnsupportedValues) {
    PortHandle h = openPort("COM7");  // bare name too
    ASSERT_NE(h, kInvalidPort);
    // A pty keeps the rate and stop bits; it forces 8 bits without parity.
    for (LineSettings want : {LineSettings{115200, 8, 0, 0}, LineSettings{9600, 8, 0, 2},
                              LineSettings{230400, 8, 0, 0}}) {
        ASSERT_TRUE(ports_.setSettings(h, want));
        LineSettings got;
        ASSERT_TRUE(ports_.getSettings(h, &got));
        EXPECT_EQ(got.baudRate, want.baudRate);
        EXPECT_EQ(got.byteSize, want.byteSize);
        EXPECT_EQ(got.parity, want.parity);
        EXPECT_EQ(got.stopBits, want.stopBits);
    }
    EXPECT_FALSE(ports_.setSettings(h, LineSettings{12345, 8, 0, 0}));
    EXPECT_FALSE(ports_.setSettings(h, LineSettings{115200, 9, 0, 0}));
    EXPECT_FALSE(ports_.setSettings(h, LineSettings{115200, 8, 0, 1}));
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, EveryByteValuePassesUnchangedBothWays) {
    {  // Leave the line cooked, as an earlier program might.
        int fd = ::open(node_.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        termios t{};
        ASSERT_EQ(::tcgetattr(fd, &t), 0);
        t.c_iflag |= ICRNL | INLCR | IXON | IXOFF | ISTRIP | PARMRK;
        t.c_oflag |= OPOST | ONLCR;
        t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
        ASSERT_EQ(::tcsetattr(fd, TCSANOW, &t), 0);
        ::close(fd);
    }
    PortHandle h = openRaw();
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

    sendFromDevice(all);
    Bytes in(256);
    uint32_t got = 0;
    EXPECT_TRUE(ports_.read(h, in.data(), 256, &got));
    EXPECT_EQ(got, 256u);
    EXPECT_EQ(in, all);

    uint32_t written = 0;
    EXPECT_TRUE(ports_.write(h, all.data(), 256, &written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(receiveAtDevice(257, 300), all);  // nothing added, no echo
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, ReadsCollectPiecesServeReadAheadAndTimeOutShort) {
    PortHandle h = openRaw();
    std::thread device([this] {
        sendFromDevice({1, 2});
        std::this_thread::sleep_for(milliseconds(80));
        sendFromDevice({3, 4, 5});
        std::this_thread::sleep_for(milliseconds(80));
        sendFromDevice({6, 7, 8, 9, 10, 11, 12});
    });
    Bytes in(8);
    uint32_t got = 0;
    EXPECT_TRUE(ports_.read(h, in.data(), 8, &got));
    device.join();
    EXPECT_EQ(got, 8u);
    EXPECT_EQ(in, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    // 9..12 may already sit in the read-ahead: they come first and whole.
    EXPECT_TRUE(ports_.read(h, in.data(), 2, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(in[0], 9);
    EXPECT_EQ(in[1], 10);

    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ports_.read(h, in.data(), 5, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(in[0], 11);
    EXPECT_EQ(in[1], 12);
    EXPECT_GE(msSince(start), kSerialReadTimeoutMs - 50);
    EXPECT_LT(msSince(start), kSerialReadTimeoutMs * 5);

    // A purge drops what was read ahead.
    sendFromDevice({20, 21, 22});
    EXPECT_TRUE(ports_.read(h, in.data(), 1, &got));
    EXPECT_EQ(in[0], 20);
    EXPECT_TRUE(ports_.purge(h, kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear));
    EXPECT_TRUE(ports_.read(h, in.data(), 1, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, ReadForWaitsItsOwnTimeNotTheReplyTimeOut) {
    PortHandle h = openRaw();
    uint8_t byte = 0;
    uint32_t got = 9;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(ports_.readFor(h, &byte, 1, kSerialLateByteMs, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(msSince(start), kSerialReadTimeoutMs / 2);
    sendFromDevice({0x42});
    EXPECT_TRUE(ports_.readFor(h, &byte, 1, kSerialReadTimeoutMs, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x42);
    EXPECT_TRUE(ports_.close(h));
}

// A driver flag as the kernel keeps it, per open file's tty, with every change
// recorded. Real adapters are not at hand and ptys have no such flag, so this
// proves the open and close logic, not the ioctls behind the kernel's flag.
class FakeLowLatency : public LowLatencyFlag {
public:
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
        bool supported, refuseSet, before;
        std::vector<bool> sets;
        bool whileOpen;
    };
    const Case cases[] = {
        {"off before", true, false, false, {true, false}, true},
        {"on before", true, false, true, {}, true},
        {"no such flag", false, false, false, {}, false},
        {"the driver refuses", true, true, false, {true}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLowLatency flag;
        flag.supported = c.supported;
        flag.refuseSet = c.refuseSet;
        flag.on = c.before;
        PosixSerialPorts ports([this](std::string_view, std::string* node) {
            *node = node_;
            return true;
        }, &flag);
        PortHandle h = kInvalidPort;
        ASSERT_EQ(ports.open("\\\\.\\COM7", &h), kErrSuccess);
        EXPECT_EQ(flag.on, c.whileOpen);
        EXPECT_TRUE(ports.close(h));
        EXPECT_EQ(flag.on, c.before);
        EXPECT_EQ(flag.sets, c.sets);
    }
}

TEST_F(PosixSerialTest, HeldExclusivelyUntilClose) {
    PortHandle h = openPort();
    PortHandle second = kInvalidPort;
    EXPECT_EQ(ports_.open("\\\\.\\COM7", &second), kErrSharingViolation);
    EXPECT_EQ(second, kInvalidPort);

    // Unprivileged: the exclusive flag refuses the open. Root passes it, but
    // can read the flag.
    int fd = ::open(node_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        EXPECT_EQ(errno, EBUSY);
    } else {
        int excl = 0;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &excl), 0);
        EXPECT_EQ(excl, 1);
        ::close(fd);
    }
    EXPECT_TRUE(ports_.close(h));

    fd = ::open(node_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << "exclusive flag outlived close";
    int excl = 1;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 0);
    ::close(fd);

    h = openPort();
    EXPECT_NE(h, kInvalidPort);
    EXPECT_TRUE(ports_.close(h));

    // Another program's exclusive hold refuses us, root or not, and survives us.
    fd = ::open(node_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, TIOCEXCL), 0);
    EXPECT_EQ(ports_.open("\\\\.\\COM7", &second), kErrSharingViolation);
    excl = 0;
    EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &excl), 0);
    EXPECT_EQ(excl, 1);
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

TEST_F(PosixSerialTest, OpenFailuresAndNodesThatAreNoTty) {
    PortHandle h = kInvalidPort;
    EXPECT_EQ(ports_.open("\\\\.\\COM3", &h), kErrFileNotFound);  // not mapped
    EXPECT_EQ(h, kInvalidPort);
    EXPECT_EQ(ports_.open("\\\\.\\COM8", &h), kErrFileNotFound);  // no such node
    EXPECT_EQ(ports_.open("\\\\.\\", &h), kErrFileNotFound);
    EXPECT_EQ(ports_.open(nullptr, &h), kErrInvalidParameter);
    EXPECT_EQ(PosixSerialPorts(nullptr).open("COM7", &h), kErrFileNotFound);

    h = openPort("\\\\.\\COM9");
    LineSettings s;
    EXPECT_FALSE(ports_.getSettings(h, &s));
    EXPECT_FALSE(ports_.setSettings(h, LineSettings{115200, 8, 0, 0}));
    EXPECT_TRUE(ports_.close(h));
}

TEST_F(PosixSerialTest, HangUpMidReadIsAnErrorWithWhatArrived) {
    PortHandle h = openRaw();
    std::thread device([this] {
        sendFromDevice({7, 7});
        std::this_thread::sleep_for(milliseconds(100));
        hangUp();
    });
    Bytes in(5);
    uint32_t got = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ports_.read(h, in.data(), 5, &got));
    device.join();
    EXPECT_EQ(got, 2u);
    EXPECT_LT(msSince(start), kSerialReadTimeoutMs);  // reported, not waited out

    EXPECT_FALSE(ports_.read(h, in.data(), 1, &got));
    EXPECT_EQ(got, 0u);
    uint32_t written = 0;
    EXPECT_FALSE(ports_.write(h, in.data(), 1, &written));
    ports_.close(h);
}

}  // namespace
}  // namespace platform
