#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
#include <tuple>
#include <vector>

#include "hwds/tuvak/hwtuvak.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/ftdi_registry.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kPort[] = "\\\\.\\COM3";

// Replies `delayMs` late; remembers how long the look for a late byte waits.
struct SlowPorts : sim::InProcessPorts {
    int delayMs = 0;
    uint32_t lateByteWaitMs = 0;
    bool read(platform::PortHandle p, uint8_t* data, uint32_t length, uint32_t* got) override {
        return std::this_thread::sleep_for(std::chrono::milliseconds(delayMs)),
               InProcessPorts::read(p, data, length, got);
    }
    bool readFor(platform::PortHandle p, uint8_t* data, uint32_t length, uint32_t ms, uint32_t* got) override {
        return lateByteWaitMs = ms, InProcessPorts::readFor(p, data, length, ms, got);
    }
};

class ProtocolTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    SlowPorts serial;
    platform::ScopedServices services{{.registry = &registry, .serial = &serial}};
    sim::TuvakDevice device{42};
    HwTuvak source{"ID1"};

    ProtocolTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("ID1"), "COM3"}}), serial.attach(kPort, &device);
    }
    void TearDown() override { EXPECT_EQ(serial.openPorts(), 0); }
    void replaceDevice(sim::TuvakDevice* other) { serial.detach(kPort), serial.attach(kPort, other); }
    int32_t op(int kind, uint8_t* data, uint32_t length) {
        return kind == 0   ? source.write(data, length, 0)
               : kind == 1 ? source.read(data, length, 0)
                           : source.getRandom(data, length);
    }
};

TEST_F(ProtocolTest, FramesOnTheWireAndWholeMemoryInOneOpening) {
    const uint8_t value = 0xAA;
    uint8_t back = 0;
    ASSERT_EQ(source.write(&value, 1, 0x10), HWDS_OK);
    ASSERT_EQ(source.read(&back, 1, 0x10), HWDS_OK);
    EXPECT_EQ(back, 0xAA);
    EXPECT_EQ(serial.writes(), (std::vector<Bytes>{{0x07, 0x10, 0xAA, 0x45}, {0x08, 0x10, 0xEF}}));
    // Write reply as two single bytes; read reply as the echo, then data and check together.
    EXPECT_EQ(serial.readSizes(), (std::vector<uint32_t>{1, 1, 1, 2}));

    Bytes pattern(128), middle(5);
    std::iota(pattern.begin(), pattern.end(), 0x80);
    ASSERT_EQ(source.write(pattern.data(), 128, 0), HWDS_OK);
    EXPECT_EQ(Bytes(device.memory().begin(), device.memory().end()), pattern);
    ASSERT_EQ(source.read(middle.data(), 5, 100), HWDS_OK);
    EXPECT_EQ(middle, (Bytes{0xE4, 0xE5, 0xE6, 0xE7, 0xE8}));
    EXPECT_EQ(serial.openCount(), 4);
}

TEST_F(ProtocolTest, RangeIsCheckedBeforeThePortIsTouched) {
    uint8_t buffer[2] = {};
    const std::tuple<uint8_t*, uint32_t, uint32_t> cases[] = {
        {buffer, 1, 128}, {buffer, 2, 127}, {buffer, 2, 0xFFFFFFFFu}, {buffer, 0xFFFFFFFFu, 1}, {nullptr, 1, 0}};
    for (const auto& [data, length, offset] : cases) {  // no wrap-around either
        EXPECT_EQ(std::pair(source.write(data, length, offset), source.read(data, length, offset)),
                  std::pair(HWDS_BAD_RANGE, HWDS_BAD_RANGE));
    }
    EXPECT_EQ(serial.openCount(), 0);
    // Nothing to transfer at the very end: only connects and disconnects.
    EXPECT_EQ(source.write(buffer, 0, 128), HWDS_OK);
    EXPECT_EQ(serial.openCount(), 1);
    EXPECT_TRUE(serial.writes().empty());
}

TEST_F(ProtocolTest, StrayBytesAfterThePurgeFailTheOperationWithoutExtraTraffic) {
    Bytes fakeBlock(130, 0x11), data(128, 0x3C);  // a whole random block the device never sent
    fakeBlock[0] = TUVAK_CMD_RANDOM, fakeBlock[129] = sim::checkByte(fakeBlock.data() + 1, 128);
    struct Case {
        const char* what;
        Bytes stray;
        int kind;
        int32_t status;
        std::size_t frames;
    };
    const Case cases[] = {{"write", {0x07, 0x07}, 0, HWDS_WRITE_ERROR, 128},
                          {"read", {0x08, 0x00, 0xFF}, 1, HWDS_IO_ERROR, 128},
                          {"random", fakeBlock, 2, HWDS_IO_ERROR, 1},
                          {"quiet write", {}, 0, HWDS_OK, 128},
                          {"quiet read", {}, 1, HWDS_OK, 128}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serial.strayAfterPurge(kPort, c.stray);
        device.clearFrameLog();
        const std::size_t writesBefore = serial.writes().size(), looksBefore = serial.readForSizes().size();
        EXPECT_EQ(op(c.kind, data.data(), c.kind == 2 ? 1 : 128), c.status);
        EXPECT_EQ(device.frameLog().size(), c.frames);
        EXPECT_EQ(serial.writes().size() - writesBefore, c.frames) << "nothing more went on the wire";
        EXPECT_EQ(serial.readForSizes().size() - looksBefore, 1u) << "one look after the last reply";
    }
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY) << "the block that was not the device's is not cached";
}

TEST_F(ProtocolTest, BrokenExchangesStopWithEarlierBytesKept) {
    const uint8_t data[4] = {1, 2, 3, 4};
    device.faults().badAckAfter = 2;
    EXPECT_EQ(source.write(data, 4, 0), HWDS_WRITE_ERROR);
    EXPECT_EQ(std::pair(device.memory()[1], device.memory()[3]), (std::pair<uint8_t, uint8_t>(2, 0)));
    EXPECT_EQ(serial.writes().size(), 3u);  // nothing after the failed byte

    const std::pair<int64_t sim::Faults::*, int64_t> faults[] = {
        {&sim::Faults::badEchoAfter, 1}, {&sim::Faults::silentAfter, 0}, {&sim::Faults::unplugAfter, 1}};
    for (const auto& [fault, after] : faults) {
        sim::TuvakDevice other;
        other.faults().*fault = after;
        replaceDevice(&other);
        EXPECT_EQ(source.write(data, 3, 0), HWDS_WRITE_ERROR);
        if (other.unplugged()) {
            EXPECT_EQ(source.write(data, 3, 0), HWDS_NOT_PRESENT) << "an unplugged device is gone for good";
        }
        replaceDevice(&device);
    }

    // A broken read keeps what was read and no more.
    std::iota(device.memory().begin(), device.memory().end(), 1);
    device.faults().badAckAfter = -1, device.faults().badCheckAfter = device.framesAnswered() + 2;
    uint8_t got[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(source.read(got, 5, 0), HWDS_IO_ERROR);
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{1, 2, 0xEE, 0xEE, 0xEE}));
    device.faults().badCheckAfter = -1, device.faults().badEchoAfter = device.framesAnswered();
    EXPECT_EQ(source.read(got, 1, 0), HWDS_IO_ERROR);
}

TEST_F(ProtocolTest, FailedConnectIsReturnedAndThePortNotLeft) {
    serial.failOpen(kPort, platform::kErrAccessDenied);
    uint8_t byte = 0;
    for (int kind : {0, 1, 2}) EXPECT_EQ(op(kind, &byte, 1), HWDS_ACCESS_DENIED) << kind;
    serial.failOpen(kPort, 0);
    serial.failClose = true;
    EXPECT_EQ(op(0, &byte, 1), HWDS_FAILED);  // all went well but the close
}

TEST_F(ProtocolTest, RandomBytesComeThroughTheCacheButNeverFromAGarbledBlock) {
    sim::TuvakDevice twin(42);  // seeded alike
    Bytes expected, reply;
    for (int i = 0; i < 5; ++i)
        twin.receive(&TUVAK_CMD_RANDOM, 1, &reply), expected.insert(expected.end(), reply.end() - 129, reply.end() - 1);
    Bytes got(612), more(60);
    ASSERT_EQ(source.getRandom(got.data(), 10), HWDS_OK);
    EXPECT_EQ(source.randomPos, 11u);
    EXPECT_EQ(serial.readSizes(), (std::vector<uint32_t>{1, 129}));
    ASSERT_EQ(source.getRandom(nullptr, 0), HWDS_OK);  // a presence test that takes nothing
    ASSERT_EQ(source.getRandom(got.data() + 10, 200), HWDS_OK);
    EXPECT_EQ(source.randomPos, 83u);
    EXPECT_EQ(serial.openCount(), 3);
    // The rest of the block is served with the device gone.
    serial.detach(kPort);
    EXPECT_EQ(source.getRandom(nullptr, 0), HWDS_NOT_PRESENT);
    ASSERT_EQ(source.getRandom(got.data() + 210, 46), HWDS_OK);
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY);
    EXPECT_EQ(source.getRandom(got.data() + 256, 1), HWDS_NOT_PRESENT);
    serial.attach(kPort, &device);
    ASSERT_EQ(source.getRandom(got.data() + 256, 256), HWDS_OK);
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY) << "whole blocks leave the cache empty";
    // A garbled block: the 28 bytes still cached are served, none of the new ones.
    ASSERT_EQ(source.getRandom(got.data() + 512, 100), HWDS_OK);
    EXPECT_EQ(got, Bytes(expected.begin(), expected.begin() + 612));
    device.faults().badCheckAfter = device.framesAnswered();
    EXPECT_EQ(source.getRandom(more.data(), 60), HWDS_IO_ERROR);
    EXPECT_EQ(Bytes(more.begin(), more.begin() + 28), Bytes(expected.begin() + 612, expected.end()));
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY);
    device.faults().badCheckAfter = -1;  // the next request starts with a fresh fetch
    ASSERT_EQ(source.getRandom(more.data(), 1), HWDS_OK);
    EXPECT_EQ(more[0], device.lastRandomBlock()[0]);
}

TEST_F(ProtocolTest, ReplyChecks) {
    // Only scripted replies come. A read reply is good when data and check byte share no bit;
    // a random block's check covers all its bytes: 128 bytes summing to 0x1234 check 0xFF - 0x34 = 0xCB.
    device.faults().silentAfter = 0;
    Bytes block(130, 0x24), badBlock;
    block[0] = 0x05, block[1] = 0x58, block[129] = 0xCB;
    (badBlock = block).back() = 0xCA;
    const std::tuple<int, Bytes, int32_t> cases[] = {
        {1, {0x08, 0x3C, 0xC3}, HWDS_OK},       {1, {0x08, 0x3C, 0x00}, HWDS_OK},
        {1, {0x08, 0x3C, 0xC7}, HWDS_IO_ERROR}, {2, block, HWDS_OK},
        {2, badBlock, HWDS_IO_ERROR},           {2, {0x05, 0x01}, HWDS_IO_ERROR}};  // the last one short
    for (const auto& [kind, reply, status] : cases) {
        serial.strayAfterPurge(kPort, reply);
        Bytes out(kind == 2 ? 128 : 1);
        EXPECT_EQ(op(kind, out.data(), out.size()), status) << int(reply.back());
        if (status == HWDS_OK) {
            EXPECT_EQ(out, Bytes(reply.begin() + 1, reply.end() - 1));
        }
    }
}

TEST_F(ProtocolTest, LateByteWaitFollowsTheLinksPace) {
    const uint8_t data[2] = {1, 2};
    ASSERT_EQ(source.write(data, 2, 0), HWDS_OK);
    EXPECT_GE(serial.lateByteWaitMs, 1u);
    serial.delayMs = 20;  // replies 20 ms late, 40 ms an exchange: a stray one could take as long
    ASSERT_EQ(source.write(data, 2, 0), HWDS_OK);
    EXPECT_GE(serial.lateByteWaitMs, 40u);
}

}  // namespace
