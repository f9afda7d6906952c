// tuvak-sim's control FIFO: devices plugged and unplugged while it runs, as
// the regedit file, the ptys and a waiter on the registry view see them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ftdi_keys.h"
#include "platform/posix/fd_guard.h"
#include "platform/posix/posix_registry.h"
#include "platform/posix/regedit_file.h"
#include "sim/control/sim_process.h"

#ifndef TUVAK_SIM_PATH
#error "the hot-plug tests need the tuvak-sim program"
#endif

namespace {

using platform::ChangeWait;
using platform::RegTree;
using std::chrono::steady_clock;

constexpr uint32_t kBoundMs = 5000;

// An adapter as the regedit file lists it.
struct Listed {
    std::string id;
    std::string com;
};

std::string text(const RegTree& tree, const std::string& key, const std::string& name) {
    const platform::RegKey* found = tree.findKey(key);
    const platform::RegValue* value = found == nullptr ? nullptr : found->value(name);
    if (value == nullptr) return "<missing>";
    std::string bytes(value->data.begin(), value->data.end());
    return bytes.substr(0, bytes.find('\0'));
}

uint32_t count(const RegTree& tree) {
    const platform::RegKey* found = tree.findKey(platform::ftdi::kEnumKey);
    const platform::RegValue* value = found == nullptr ? nullptr : found->value("Count");
    if (value == nullptr || value->data.size() != 4) return 0xFFFFFFFF;
    return value->data[0] | value->data[1] << 8 | value->data[2] << 16 | static_cast<uint32_t>(value->data[3]) << 24;
}

std::string instanceOf(const std::string& id) { return platform::ftdi::kInstancePrefix + id + "\\0000"; }

// Count, the entries in order, each one's "PortName", and SERIALCOMM: one
// value for each listed adapter.
void expectListed(const std::string& file, const std::vector<Listed>& listed) {
    RegTree tree;
    std::string error;
    ASSERT_TRUE(platform::loadRegeditFile(file, &tree, &error)) << error;
    EXPECT_EQ(count(tree), listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const std::string instance = instanceOf(listed[i].id);
        EXPECT_EQ(text(tree, platform::ftdi::kEnumKey, std::to_string(i)), instance) << i;
        const std::string parameters = platform::ftdi::kDeviceKeyHead + instance + platform::ftdi::kDeviceKeyTail;
        EXPECT_EQ(text(tree, parameters, platform::ftdi::kPortNameValue), listed[i].com) << i;
    }
    EXPECT_EQ(text(tree, platform::ftdi::kEnumKey, std::to_string(listed.size())), "<missing>");
    const platform::RegKey* serialComm = tree.findKey(platform::ftdi::kSerialCommKey);
    ASSERT_NE(serialComm, nullptr);
    ASSERT_EQ(serialComm->values().size(), listed.size());
    std::size_t i = 0;
    for (const auto& value : serialComm->values()) {
        EXPECT_EQ(std::string(value.value.data.begin(), value.value.data.end() - 1), listed[i].com);
        ++i;
    }
}

// The pty named in "plugged ID PTY COMn".
std::string ptyOf(const std::string& line) {
    const std::size_t first = line.find(' ', line.find(' ') + 1);
    return line.substr(first + 1, line.rfind(' ') - first - 1);
}

class HotPlug : public ::testing::Test {
protected:
    void SetUp() override {
        sim_.withControl = true;
        std::string error;
        ASSERT_TRUE(sim_.start({"AB12CD34E"}, &error)) << error;
        view_ = platform::PosixRegistry::fromFile(sim_.registryFile);
        ASSERT_EQ(view_->waitForChange(kBoundMs), ChangeWait::Changed);
    }

    // Sends the command and returns the line it printed.
    std::string send(const std::string& command) {
        std::string error;
        std::string line;
        EXPECT_TRUE(sim_.command(command, &error)) << error;
        EXPECT_TRUE(sim_.nextLine(&line, &error)) << error;
        return line;
    }

    sim::SimProcess sim_{TUVAK_SIM_PATH};
    std::unique_ptr<platform::PosixRegistry> view_;
};

TEST_F(HotPlug, PluggedDevicesAreListedAtTheEndAndTheWaiterWakes) {
    std::string error;
    ASSERT_TRUE(sim_.command("plug --fill 0x11 FFEE0011", &error)) << error;
    const auto start = steady_clock::now();
    const ChangeWait woke = view_->waitForChange(kBoundMs);
    const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(steady_clock::now() - start);
    EXPECT_EQ(woke, ChangeWait::Changed);
    EXPECT_LT(waited, std::chrono::milliseconds(kBoundMs));
    std::printf("from the plug command to the waiter's wake: %.1f ms\n", waited.count() / 1000.0);
    std::string line;
    ASSERT_TRUE(sim_.nextLine(&line, &error)) << error;
    EXPECT_EQ(line.substr(0, 17), "plugged FFEE0011 ");
    EXPECT_EQ(line.substr(line.rfind(' ')), " COM4");
    expectListed(sim_.registryFile, {{"AB12CD34E", "COM3"}, {"FFEE0011", "COM4"}});

    const std::string second = send("plug --pattern ascending CAFE0001");
    EXPECT_EQ(second.substr(0, 17), "plugged CAFE0001 ");
    EXPECT_EQ(second.substr(second.rfind(' ')), " COM5");
    expectListed(sim_.registryFile, {{"AB12CD34E", "COM3"}, {"FFEE0011", "COM4"}, {"CAFE0001", "COM5"}});

    std::string dump;
    ASSERT_TRUE(sim_.requestDump(&dump, &error)) << error;
    EXPECT_NE(dump.find("FFEE0011"), std::string::npos) << dump;
    EXPECT_NE(dump.find("11 11 11 11"), std::string::npos) << dump;
    EXPECT_NE(dump.find("00 01 02 03"), std::string::npos) << dump;
}

TEST_F(HotPlug, UnpluggedDeviceHangsUpItsLineAndTheOthersMoveUp) {
    const std::string plugged = send("plug FFEE0011");
    send("plug CAFE0001");
    const platform::FdGuard line(::open(ptyOf(plugged).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(line.valid()) << ptyOf(plugged);
    ASSERT_EQ(view_->waitForChange(kBoundMs), ChangeWait::Changed);

    EXPECT_EQ(send("unplug FFEE0011"), "unplugged FFEE0011");
    pollfd reader{line.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&reader, 1, kBoundMs), 1);
    EXPECT_NE(reader.revents & POLLHUP, 0);
    char byte = 0;
    EXPECT_LE(::read(line.get(), &byte, 1), 0);
    EXPECT_EQ(view_->waitForChange(kBoundMs), ChangeWait::Changed);
    expectListed(sim_.registryFile, {{"AB12CD34E", "COM3"}, {"CAFE0001", "COM5"}});

    // Plugged again, it gets its COM number back on a new pty.
    const std::string again = send("plug FFEE0011");
    EXPECT_EQ(again.substr(again.rfind(' ')), " COM4");
    EXPECT_NE(ptyOf(again), ptyOf(plugged));
    expectListed(sim_.registryFile, {{"AB12CD34E", "COM3"}, {"CAFE0001", "COM5"}, {"FFEE0011", "COM4"}});
}

TEST_F(HotPlug, MalformedCommandsAreAnsweredOnStandardErrorAndChangeNothing) {
    const std::string before = [this] {
        std::string text;
        sim::readTextFile(sim_.registryFile, &text);
        return text;
    }();
    const std::vector<std::string> malformed = {
        "bogus AB12CD34E", "plug",        "plug --fill 0x100 X1",
        "plug --pace",     "plug A1 B2",  "plug --nonsense X2",
        "unplug",          "unplug NOPE", "unplug AB12CD34E FFEE0011",
    };
    std::string error;
    for (const std::string& command : malformed) ASSERT_TRUE(sim_.command(command, &error)) << error;
    EXPECT_EQ(view_->waitForChange(300), ChangeWait::TimedOut);
    std::string after;
    sim::readTextFile(sim_.registryFile, &after);
    EXPECT_EQ(after, before);

    // The first line after them is the next good command's: they printed
    // nothing on standard output, and took no COM number.
    const std::string next = send("plug FFEE0011");
    EXPECT_EQ(next.substr(0, 17), "plugged FFEE0011 ");
    EXPECT_EQ(next.substr(next.rfind(' ')), " COM4");
    expectListed(sim_.registryFile, {{"AB12CD34E", "COM3"}, {"FFEE0011", "COM4"}});
    const std::string errors = sim_.errors();
    for (const char* answer : {"unknown command: bogus AB12CD34E", "plug: plug takes one device ID",
                               "plug: bad value for --fill: 0x100", "plug: device options after the last ID",
                               "unplug takes one device ID", "unplug: no device NOPE is attached"}) {
        EXPECT_NE(errors.find(answer), std::string::npos) << answer << " in:\n" << errors;
    }
    EXPECT_TRUE(sim_.stop());
}

}  // namespace
