// The simulated device and the in-process serial ports that carry it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(SimCheckByte, IsTheComplementOfTheByteSum) {
    const uint8_t write[2] = {0x10, 0xAA};  // a read's check byte is pinned by the frames below
    EXPECT_EQ(sim::checkByte(write, 2), 0x45);
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

TEST(SimDevice, BadRequestsAreRefusedAndForgottenAddressesKeepTheirBytes) {
    sim::TuvakDevice device;
    device.memory().fill(0x5A);
    Bytes badCheck = writeFrame(3, 0x00);
    badCheck[3] ^= 0x01;
    for (const Bytes& frame : {badCheck, writeFrame(0x80, 0x00)}) {  // refused in a way the host rejects
        const Bytes reply = send(device, frame);
        EXPECT_TRUE(reply.size() == 2 && reply[0] == 0x07 && reply[1] != 0x07) << testing::PrintToString(reply);
    }
    for (uint8_t address : {0x00, 0x7F, 0xFF}) {
        Bytes read = readFrame(address);
        if (address < 0x80) read[2] ^= 0x80;
        const Bytes reply = send(device, read);
        EXPECT_TRUE(reply.size() == 3 && !(reply[0] == sim::kCmdRead && (reply[1] & reply[2]) == 0))
            << "the host accepts " << int(address);
    }
    for (uint8_t b : device.memory()) ASSERT_EQ(b, 0x5A);
    EXPECT_EQ(device.frameLog().size(), 5u);
    // Forgotten addresses acknowledge writes but keep their old bytes.
    device.faults().forget.set(3);
    device.faults().forget.set(0x7F);
    for (uint8_t address = 0; address < sim::kMemorySize; ++address) {
        const uint8_t kept = address == 3 || address == 0x7F ? 0x5A : 0x00;
        ASSERT_EQ(send(device, writeFrame(address, 0x00)), (Bytes{0x07, 0x07})) << int(address);
        EXPECT_EQ(send(device, readFrame(address)), (Bytes{0x08, kept, static_cast<uint8_t>(~kept)})) << int(address);
    }
}

TEST(SimPorts, OpenOnlyAttachedPathsOnlyOnceAndLoseAnUnpluggedDevice) {
    const std::string com3 = "\\\\.\\COM3";
    sim::InProcessPorts ports;
    sim::TuvakDevice device;
    platform::PortHandle h{}, first{};
    EXPECT_EQ(std::pair(ports.open(com3.c_str(), &h), h),
              std::pair(platform::kErrFileNotFound, platform::kInvalidPort));
    ports.attach(com3, &device);
    ASSERT_EQ(ports.open(com3.c_str(), &first), platform::kErrSuccess);
    EXPECT_EQ(std::pair(ports.open(com3.c_str(), &h), h),
              std::pair(platform::kErrSharingViolation, platform::kInvalidPort));
    EXPECT_EQ(ports.openPorts(), 1);
    EXPECT_TRUE(ports.close(first) && !ports.close(first));
    EXPECT_EQ(ports.openPorts(), 0);

    device.faults().unplugAfter = 1;
    ASSERT_EQ(ports.open(com3.c_str(), &h), platform::kErrSuccess);
    uint32_t written = 0, got = 0;
    uint8_t byte = 0;
    const Bytes write = writeFrame(0, 1);
    ASSERT_TRUE(ports.write(h, write.data(), 4, &written));  // the last reply is still there to be read in full
    EXPECT_EQ(std::pair(ports.read(h, &byte, 1, &got), got), std::pair(true, 1u));
    EXPECT_EQ(std::pair(ports.read(h, &byte, 2, &got), got), std::pair(false, 1u));
    EXPECT_EQ(byte, 0x07);
    EXPECT_EQ(std::pair(ports.write(h, write.data(), 4, &written), written), std::pair(false, 0u));
    EXPECT_TRUE(ports.close(h));
    EXPECT_EQ(ports.open(com3.c_str(), &h), platform::kErrFileNotFound);
}

}  // namespace
