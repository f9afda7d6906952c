// The simulated device and the in-process serial ports that carry it.
#include <gtest/gtest.h>

#include <numeric>

#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes send(sim::TuvakDevice& device, const Bytes& bytes) {
    Bytes reply;
    device.receive(bytes.data(), bytes.size(), &reply);
    return reply;
}

Bytes writeFrame(uint8_t address, uint8_t data) {
    const uint8_t body[2] = {address, data};
    return {sim::kCmdWrite, address, data, sim::checkByte(body, 2)};
}

Bytes readFrame(uint8_t address) { return {sim::kCmdRead, address, sim::checkByte(&address, 1)}; }

// What the host accepts of a read reply.
bool readReplyPasses(const Bytes& reply) {
    return reply.size() == 3 && reply[0] == sim::kCmdRead && (reply[1] & reply[2]) == 0;
}

TEST(SimCheckByte, IsTheComplementOfTheByteSum) {
    const uint8_t write[2] = {0x10, 0xAA}, read[1] = {0x10};
    EXPECT_EQ(sim::checkByte(write, 2), 0x45);
    EXPECT_EQ(sim::checkByte(read, 1), 0xEF);
    EXPECT_EQ(sim::checkByte(nullptr, 0), 0xFF);
    Bytes block(128, 0x24);  // 127 × 0x24 + 0x58 = 0x1234, whose low byte 0x34 needs 0xCB
    block[127] = 0x58;
    EXPECT_EQ(sim::checkByte(block.data(), block.size()), 0xCB);
}

TEST(SimDevice, FramesSplitAcrossCallsAreAnsweredWhenComplete) {
    sim::TuvakDevice device;
    const Bytes write = writeFrame(0x10, 0xAA);
    for (std::size_t i = 0; i + 1 < write.size(); ++i) EXPECT_TRUE(send(device, {write[i]}).empty()) << i;
    EXPECT_EQ(send(device, {write.back()}), (Bytes{0x07, 0x07}));
    EXPECT_EQ(device.memory()[0x10], 0xAA);
    EXPECT_TRUE(send(device, {0x08, 0x10}).empty());
    EXPECT_EQ(send(device, {0xEF}), (Bytes{0x08, 0xAA, 0x55}));
    EXPECT_EQ(device.frameLog(), (std::vector<Bytes>{write, readFrame(0x10)}));
}

TEST(SimDevice, RequestsWithABadCheckOrAddressAreRefusedInAWayTheHostRejects) {
    sim::TuvakDevice device;
    device.memory().fill(0x5A);
    Bytes badCheck = writeFrame(3, 0x00);
    badCheck[3] ^= 0x01;
    for (const Bytes& frame : {badCheck, writeFrame(0x80, 0x00)}) {
        const Bytes reply = send(device, frame);
        ASSERT_EQ(reply.size(), 2u);
        EXPECT_EQ(reply[0], 0x07);
        EXPECT_NE(reply[1], 0x07);
    }
    for (uint8_t address : {0x00, 0x7F, 0xFF}) {
        Bytes read = readFrame(address);
        if (address < 0x80) read[2] ^= 0x80;
        const Bytes reply = send(device, read);
        EXPECT_EQ(reply.size(), 3u);
        EXPECT_FALSE(readReplyPasses(reply)) << int(address);
    }
    for (uint8_t b : device.memory()) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(device.frameLog().size(), 5u);
}

TEST(SimDevice, ForgottenAddressesAcknowledgeWritesButKeepTheirOldBytes) {
    sim::TuvakDevice device;
    device.memory().fill(0x5A);
    device.faults().forget.set(3);
    device.faults().forget.set(0x7F);
    for (uint8_t address = 0; address < sim::kMemorySize; ++address) {
        ASSERT_EQ(send(device, writeFrame(address, 0x00)), (Bytes{0x07, 0x07})) << int(address);
    }
    for (uint8_t address = 0; address < sim::kMemorySize; ++address) {
        const uint8_t kept = address == 3 || address == 0x7F ? 0x5A : 0x00;
        const Bytes reply = send(device, readFrame(address));
        EXPECT_EQ(device.memory()[address], kept) << int(address);
        ASSERT_TRUE(readReplyPasses(reply)) << int(address);
        EXPECT_EQ(reply[1], kept) << int(address);
    }
}

const std::string kCom3 = "\\\\.\\COM3";

struct FakePortTest : ::testing::Test {
    platform::PortHandle openOk(const std::string& path) {
        platform::PortHandle h = platform::kInvalidPort;
        EXPECT_EQ(ports.open(path.c_str(), &h), platform::kErrSuccess);
        return h;
    }
    sim::InProcessPorts ports;
    sim::TuvakDevice device;
};

TEST_F(FakePortTest, OpensOnlyAttachedPathsAndOnlyOnce) {
    platform::PortHandle h{};
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrFileNotFound);
    EXPECT_EQ(h, platform::kInvalidPort);
    ports.attach(kCom3, &device);
    const platform::PortHandle first = openOk(kCom3);
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrSharingViolation);
    EXPECT_EQ(h, platform::kInvalidPort);
    EXPECT_EQ(ports.openPorts(), 1);
    EXPECT_TRUE(ports.close(first));
    EXPECT_FALSE(ports.close(first));
    EXPECT_EQ(ports.openPorts(), 0);
    ports.failOpen(kCom3, platform::kErrAccessDenied);
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrAccessDenied);
    ports.failOpen(kCom3, 0);
    EXPECT_NE(openOk(kCom3), platform::kInvalidPort);
    EXPECT_EQ(ports.openCount(), 5);
    EXPECT_EQ(ports.closeCount(), 2);
    EXPECT_EQ(ports.openedPaths(), std::vector<std::string>(5, kCom3));
}

TEST_F(FakePortTest, AnUnpluggedDeviceFailsReadsWritesAndOpens) {
    device.faults().unplugAfter = 1;
    ports.attach(kCom3, &device);
    platform::PortHandle h = openOk(kCom3);
    uint32_t written = 0, got = 0;
    const Bytes write = writeFrame(0, 1);
    ASSERT_TRUE(ports.write(h, write.data(), 4, &written));
    // The last reply is still there to be read in full.
    uint8_t byte = 0;
    EXPECT_TRUE(ports.read(h, &byte, 1, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_FALSE(ports.read(h, &byte, 2, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x07);
    EXPECT_FALSE(ports.write(h, write.data(), 4, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(ports.close(h));
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrFileNotFound);
}

}  // namespace
