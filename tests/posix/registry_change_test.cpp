// Waiting for the adapter driver's data to change: a regedit file watched
// through its directory, and the sysfs view through uevents.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "platform/posix/change_watch.h"
#include "platform/posix/posix_registry.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

using fakes::TempDir;
using std::chrono::steady_clock;

constexpr uint32_t kQuietMs = 150;
constexpr uint32_t kLongMs = 5000;

std::string registryText(int count) {
    return "REGEDIT4\n[HKLM\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n\"Count\"=dword:" +
           std::to_string(count) + "\n";
}

// What a writer does to the directory of a watched file "sim.reg".
struct FileAction {
    const char* name;
    void (*act)(const TempDir& dir);
    ChangeWait expected;
};

void renameOnto(const TempDir& dir) {
    const std::string temp = dir.write("sim.reg.tmp", registryText(1));
    std::rename(temp.c_str(), (dir.path + "/sim.reg").c_str());
}
void writeInPlace(const TempDir& dir) { dir.write("sim.reg", registryText(2)); }
void removeIt(const TempDir& dir) { ::unlink((dir.path + "/sim.reg").c_str()); }
void renameAway(const TempDir& dir) { std::rename((dir.path + "/sim.reg").c_str(), (dir.path + "/old.reg").c_str()); }
void writeAnother(const TempDir& dir) { dir.write("other.reg", registryText(3)); }
void renameAnother(const TempDir& dir) {
    const std::string temp = dir.write("other.tmp", registryText(1));
    std::rename(temp.c_str(), (dir.path + "/other.reg").c_str());
}
void readIt(const TempDir& dir) {
    std::FILE* file = std::fopen((dir.path + "/sim.reg").c_str(), "r");
    if (file == nullptr) return;
    char buffer[64];
    [[maybe_unused]] const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
}

const FileAction kFileActions[] = {
    {.name = "replaced by rename", .act = renameOnto, .expected = ChangeWait::Changed},
    {.name = "written in place", .act = writeInPlace, .expected = ChangeWait::Changed},
    {.name = "removed", .act = removeIt, .expected = ChangeWait::Changed},
    {.name = "renamed away", .act = renameAway, .expected = ChangeWait::Changed},
    {.name = "another file written", .act = writeAnother, .expected = ChangeWait::TimedOut},
    {.name = "another file renamed", .act = renameAnother, .expected = ChangeWait::TimedOut},
    {.name = "only read", .act = readIt, .expected = ChangeWait::TimedOut},
};

TEST(RegistryFileChange, WhatTheWriterDidToTheFileWakesTheWaiter) {
    for (const FileAction& action : kFileActions) {
        TempDir dir;
        dir.write("sim.reg", registryText(0));
        auto registry = PosixRegistry::fromFile(dir.path + "/sim.reg");
        // The first wait starts the watch.
        ASSERT_EQ(registry->waitForChange(kLongMs), ChangeWait::Changed) << action.name;
        action.act(dir);
        EXPECT_EQ(registry->waitForChange(kQuietMs), action.expected) << action.name;
        // Each change wakes one wait.
        EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::TimedOut) << action.name;
    }
}

TEST(RegistryFileChange, WaiterBlockedInTheWaitWakesOnARenameAndSeesTheNewData) {
    TempDir dir;
    dir.write("sim.reg", registryText(0));
    auto registry = PosixRegistry::fromFile(dir.path + "/sim.reg");
    ASSERT_EQ(registry->waitForChange(kLongMs), ChangeWait::Changed);
    std::thread writer([&dir] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        renameOnto(dir);
    });
    const auto start = steady_clock::now();
    const ChangeWait outcome = registry->waitForChange(kLongMs);
    const auto waited = steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(outcome, ChangeWait::Changed);
    EXPECT_LT(waited, std::chrono::milliseconds(kLongMs));
    KeyHandle key = kNoKey;
    ASSERT_EQ(registry->openKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", &key), kErrSuccess);
    uint32_t count = 0;
    uint32_t size = sizeof count;
    EXPECT_EQ(registry->queryValue(key, "Count", reinterpret_cast<uint8_t*>(&count), &size), kErrSuccess);
    EXPECT_EQ(count, 1u);
    registry->closeKey(key);
}

TEST(RegistryFileChange, NoChangeWaitsTheWholeTimeOut) {
    TempDir dir;
    dir.write("sim.reg", registryText(0));
    auto registry = PosixRegistry::fromFile(dir.path + "/sim.reg");
    ASSERT_EQ(registry->waitForChange(kLongMs), ChangeWait::Changed);
    const auto start = steady_clock::now();
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::TimedOut);
    EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(kQuietMs));
    EXPECT_EQ(registry->waitForChange(0), ChangeWait::TimedOut);
}

TEST(RegistryFileChange, FileWithoutItsDirectoryCannotBeWatched) {
    TempDir dir;
    auto registry = PosixRegistry::fromFile(dir.path + "/absent/sim.reg");
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Failed);
}

TEST(RegistryFileChange, DirectoryRemovedEndsTheWatchAndTheNextWaitSaysSo) {
    TempDir dir;
    const std::string sub = dir.path + "/sub";
    dir.write("sub/sim.reg", registryText(0));
    auto registry = PosixRegistry::fromFile(sub + "/sim.reg");
    ASSERT_EQ(registry->waitForChange(kLongMs), ChangeWait::Changed);
    ::unlink((sub + "/sim.reg").c_str());
    ::rmdir(sub.c_str());
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Changed);
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Failed);
}

TEST(RegistryFileChange, FileInTheCurrentDirectoryIsWatchedThere) {
    TempDir dir;
    dir.write("sim.reg", registryText(0));
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    FileWatch watch("sim.reg");
    ASSERT_EQ(watch.wait(kLongMs), ChangeWait::Changed);
    renameOnto(dir);
    EXPECT_EQ(watch.wait(kQuietMs), ChangeWait::Changed);
    std::filesystem::current_path(saved);
}

// A uevent message as the kernel sends it: "ACTION@DEVPATH", then fields.
std::string uevent(const std::string& action, const std::string& devpath, const std::string& subsystem) {
    std::string message = action + "@" + devpath;
    message += '\0';
    for (const std::string& field : {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=" + subsystem}) {
        message += field;
        message += '\0';
    }
    return message;
}

struct UeventCase {
    const char* name;
    std::string message;
    bool concerns;
};

TEST(Uevents, OnlyTtysSerialPortsAndTheFtdiModuleConcernTheView) {
    const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0";
    const UeventCase cases[] = {
        {.name = "tty added", .message = uevent("add", usb + "/ttyUSB0/tty/ttyUSB0", "tty"), .concerns = true},
        {.name = "serial port removed", .message = uevent("remove", usb + "/ttyUSB0", "usb-serial"), .concerns = true},
        {.name = "FTDI module loaded", .message = uevent("add", "/module/ftdi_sio", "module"), .concerns = true},
        {.name = "another module", .message = uevent("add", "/module/ftdi_siox", "module"), .concerns = false},
        {.name = "a disk", .message = uevent("add", "/devices/virtual/block/loop0", "block"), .concerns = false},
        {.name = "the USB device", .message = uevent("add", "/devices/pci0000:00/usb1/1-1", "usb"), .concerns = false},
        {.name = "a longer key", .message = std::string("add@/x\0XSUBSYSTEM=tty\0", 22), .concerns = false},
        {.name = "a key that only begins so", .message = std::string("add@/x\0SUBSYSTEM_tty\0", 22), .concerns = false},
        {.name = "a prefix of the value", .message = uevent("add", "/x", "ttyX"), .concerns = false},
        {.name = "no fields", .message = "add@/devices/x", .concerns = false},
        {.name = "unterminated last field", .message = std::string("add@/x\0SUBSYSTEM=tty", 20), .concerns = true},
    };
    for (const UeventCase& c : cases) EXPECT_EQ(ueventConcernsFtdi(c.message), c.concerns) << c.name;
}

// The sysfs view over a fake root, its uevents from a socket pair that keeps
// message bounds as netlink does.
class SysfsChange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends_), 0);
        registry_ = PosixRegistry::fromSysfs(dir_.path + "/sys", dir_.path + "/dev", dir_.path + "/modules",
                                             [this] { return std::exchange(ends_[1], -1); });
    }
    void TearDown() override {
        for (int end : ends_) {
            if (end >= 0) ::close(end);
        }
    }
    void send(const std::string& message) {
        ASSERT_EQ(::send(ends_[0], message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
    }

    TempDir dir_;
    int ends_[2] = {-1, -1};
    std::unique_ptr<PosixRegistry> registry_;
};

TEST_F(SysfsChange, TtyEventWakesTheWaiterAndOthersDoNot) {
    ASSERT_EQ(registry_->waitForChange(kLongMs), ChangeWait::Changed);
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::TimedOut);
    send(uevent("add", "/devices/virtual/block/loop0", "block"));
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::TimedOut);
    send(uevent("add", "/devices/virtual/block/loop1", "block"));
    send(uevent("add", "/devices/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "tty"));
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::Changed);
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::TimedOut);
}

TEST_F(SysfsChange, WaiterBlockedInTheWaitWakesOnAnEvent) {
    ASSERT_EQ(registry_->waitForChange(kLongMs), ChangeWait::Changed);
    std::thread kernel([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        send(uevent("remove", "/devices/usb1/1-1/1-1:1.0/ttyUSB0", "usb-serial"));
    });
    EXPECT_EQ(registry_->waitForChange(kLongMs), ChangeWait::Changed);
    kernel.join();
}

TEST_F(SysfsChange, EventSourceThatEndsFailsTheWait) {
    ASSERT_EQ(registry_->waitForChange(kLongMs), ChangeWait::Changed);
    ::close(std::exchange(ends_[0], -1));
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::Failed);
    // The next wait opens the source again, and this one has none left.
    EXPECT_EQ(registry_->waitForChange(kQuietMs), ChangeWait::Failed);
}

TEST(SysfsViewChange, WithoutAnEventSourceTheViewCannotTell) {
    TempDir dir;
    auto registry = PosixRegistry::fromSysfs(dir.path + "/sys", dir.path + "/dev", dir.path + "/modules");
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Unsupported);
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Unsupported);
}

TEST(SysfsViewChange, EventSourceThatCannotBeOpenedFails) {
    TempDir dir;
    auto registry =
        PosixRegistry::fromSysfs(dir.path + "/sys", dir.path + "/dev", dir.path + "/modules", [] { return -1; });
    EXPECT_EQ(registry->waitForChange(kQuietMs), ChangeWait::Failed);
}

}  // namespace
}  // namespace platform
