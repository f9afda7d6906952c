#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <thread>
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
// Can also report a write or read of one byte fewer than asked as a success.
struct SlowPorts : sim::InProcessPorts {
    int delayMs = 0;
    uint32_t lateByteWaitMs = 0;
    bool shortWrite = false;
    bool shortRead = false;
    bool write(platform::PortHandle p, const uint8_t* data, uint32_t length, uint32_t* written) override {
        const bool ok = InProcessPorts::write(p, data, length, written);
        if (shortWrite) *written = length - 1;
        return ok;
    }
    bool read(platform::PortHandle p, uint8_t* data, uint32_t length, uint32_t* got) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        const bool ok = InProcessPorts::read(p, data, length, got);
        if (shortRead && *got > 0) *got -= 1;
        return ok;
    }
    bool readFor(platform::PortHandle p, uint8_t* data, uint32_t length, uint32_t ms, uint32_t* got) override {
        lateByteWaitMs = ms;
        return InProcessPorts::readFor(p, data, length, ms, got);
    }
};

class ProtocolTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    SlowPorts serial;
    platform::ScopedServices services{{.registry = &registry, .serial = &serial}};
    sim::TuvakDevice device{42};
    HwTuvak source{"ID1"};

    enum class Op { Write, Read, Random };

    ProtocolTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("ID1"), "COM3"}});
        serial.attach(kPort, &device);
    }
    void TearDown() override { EXPECT_EQ(serial.openPorts(), 0); }
    void replaceDevice(sim::TuvakDevice* other) {
        serial.detach(kPort);
        serial.attach(kPort, other);
    }
    int32_t run(Op op, uint8_t* data, uint32_t length) {
        switch (op) {
            case Op::Write: return source.write(data, length, 0);
            case Op::Read: return source.read(data, length, 0);
            case Op::Random: return source.getRandom(data, length);
        }
        return HWDS_FAILED;
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

    Bytes pattern(128);
    Bytes middle(5);
    std::iota(pattern.begin(), pattern.end(), 0x80);
    ASSERT_EQ(source.write(pattern.data(), 128, 0), HWDS_OK);
    EXPECT_EQ(Bytes(device.memory().begin(), device.memory().end()), pattern);
    ASSERT_EQ(source.read(middle.data(), 5, 100), HWDS_OK);
    EXPECT_EQ(middle, (Bytes{0xE4, 0xE5, 0xE6, 0xE7, 0xE8}));
    EXPECT_EQ(serial.openCount(), 4);
}

TEST_F(ProtocolTest, RangeIsCheckedBeforeThePortIsTouched) {
    uint8_t buffer[2] = {};
    struct Case {
        uint8_t* data;
        uint32_t length;
        uint32_t offset;
    };
    const Case cases[] = {
        {buffer, 1, 128},         {buffer, 2, 127}, {buffer, 2, 0xFFFFFFFFu},  // no wrap-around either
        {buffer, 0xFFFFFFFFu, 1}, {nullptr, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.length << " at " << c.offset);
        EXPECT_EQ(source.write(c.data, c.length, c.offset), HWDS_BAD_RANGE);
        EXPECT_EQ(source.read(c.data, c.length, c.offset), HWDS_BAD_RANGE);
    }
    EXPECT_EQ(serial.openCount(), 0);
    // Nothing to transfer at the very end: only connects and disconnects.
    EXPECT_EQ(source.write(buffer, 0, 128), HWDS_OK);
    EXPECT_EQ(serial.openCount(), 1);
    EXPECT_TRUE(serial.writes().empty());
}

TEST_F(ProtocolTest, StrayBytesAfterThePurgeFailTheOperationWithoutExtraTraffic) {
    Bytes fakeBlock(130, 0x11);  // a whole random block the device never sent
    fakeBlock[0] = TUVAK_CMD_RANDOM;
    fakeBlock[129] = sim::checkByte(fakeBlock.data() + 1, 128);
    Bytes data(128, 0x3C);
    struct Case {
        const char* what;
        Bytes stray;
        Op op;
        int32_t status;
        std::size_t frames;
    };
    const Case cases[] = {
        {.what = "write", .stray = {0x07, 0x07}, .op = Op::Write, .status = HWDS_WRITE_ERROR, .frames = 128},
        {.what = "read", .stray = {0x08, 0x00, 0xFF}, .op = Op::Read, .status = HWDS_IO_ERROR, .frames = 128},
        {.what = "random", .stray = fakeBlock, .op = Op::Random, .status = HWDS_IO_ERROR, .frames = 1},
        {.what = "quiet write", .stray = {}, .op = Op::Write, .status = HWDS_OK, .frames = 128},
        {.what = "quiet read", .stray = {}, .op = Op::Read, .status = HWDS_OK, .frames = 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serial.strayAfterPurge(kPort, c.stray);
        device.clearFrameLog();
        const std::size_t writesBefore = serial.writes().size();
        const std::size_t looksBefore = serial.readForSizes().size();
        EXPECT_EQ(run(c.op, data.data(), c.op == Op::Random ? 1 : 128), c.status);
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
        {&sim::Faults::badEchoAfter, 1},
        {&sim::Faults::silentAfter, 0},
        {&sim::Faults::unplugAfter, 1},
    };
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
    device.faults().badAckAfter = -1;
    device.faults().badCheckAfter = device.framesAnswered() + 2;
    uint8_t got[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(source.read(got, 5, 0), HWDS_IO_ERROR);
    EXPECT_EQ(Bytes(got, got + 5), (Bytes{1, 2, 0xEE, 0xEE, 0xEE}));
    device.faults().badCheckAfter = -1;
    device.faults().badEchoAfter = device.framesAnswered();
    EXPECT_EQ(source.read(got, 1, 0), HWDS_IO_ERROR);
}

TEST_F(ProtocolTest, FailedConnectIsReturnedAndThePortNotLeft) {
    serial.failOpen(kPort, platform::kErrAccessDenied);
    uint8_t byte = 0;
    for (Op op : {Op::Write, Op::Read, Op::Random}) EXPECT_EQ(run(op, &byte, 1), HWDS_ACCESS_DENIED);
    serial.failOpen(kPort, 0);
    serial.failClose = true;
    EXPECT_EQ(run(Op::Write, &byte, 1), HWDS_FAILED);  // all went well but the close
}

TEST_F(ProtocolTest, RandomBytesComeThroughTheCacheButNeverFromAGarbledBlock) {
    sim::TuvakDevice twin(42);  // seeded alike
    Bytes expected;
    for (int i = 0; i < 5; ++i) {
        Bytes reply;
        twin.receive(&TUVAK_CMD_RANDOM, 1, &reply);
        expected.insert(expected.end(), reply.end() - 129, reply.end() - 1);
    }
    Bytes got(612);
    Bytes more(126);
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
    // The last byte of a block is served from the cache too.
    ASSERT_EQ(source.getRandom(more.data(), 126), HWDS_OK);
    EXPECT_EQ(source.randomPos, 128u);
    serial.detach(kPort);
    ASSERT_EQ(source.getRandom(more.data(), 1), HWDS_OK);
    EXPECT_EQ(more[0], device.lastRandomBlock()[127]);
    EXPECT_EQ(source.getRandom(nullptr, 5), HWDS_BAD_RANGE);
}

TEST_F(ProtocolTest, ReplyChecks) {
    // Only scripted replies come. A read reply is good when data and check byte share no bit;
    // a random block's check covers all its bytes: 128 bytes summing to 0x1234 check 0xFF - 0x34 = 0xCB.
    device.faults().silentAfter = 0;
    Bytes block(130, 0x24);
    block[0] = 0x05;
    block[1] = 0x58;
    block[129] = 0xCB;
    Bytes badBlock = block;
    badBlock.back() = 0xCA;
    Bytes badEcho = block;
    badEcho[0] = TUVAK_CMD_WRITE;
    struct Case {
        Op op;
        Bytes reply;
        int32_t status;
    };
    const Case cases[] = {
        {Op::Read, {0x08, 0x3C, 0xC3}, HWDS_OK},        // no bit shared
        {Op::Read, {0x08, 0x3C, 0x00}, HWDS_OK},        // a zero check byte
        {Op::Read, {0x08, 0x3C, 0xC7}, HWDS_IO_ERROR},  // bits shared
        {Op::Random, block, HWDS_OK},                   // the check of all 128 bytes
        {Op::Random, badBlock, HWDS_IO_ERROR},          // a wrong check
        {Op::Random, badEcho, HWDS_IO_ERROR},           // a wrong echo
        {Op::Random, {0x05, 0x01}, HWDS_IO_ERROR},      // short
    };
    for (const Case& c : cases) {
        serial.strayAfterPurge(kPort, c.reply);
        Bytes out(c.op == Op::Random ? 128 : 1);
        EXPECT_EQ(run(c.op, out.data(), out.size()), c.status) << int(c.reply.back());
        if (c.status == HWDS_OK) {
            EXPECT_EQ(out, Bytes(c.reply.begin() + 1, c.reply.end() - 1));
        }
    }
}

TEST_F(ProtocolTest, ShortTransfersReportedAsSuccessFail) {
    const uint8_t data[2] = {1, 2};
    uint8_t back[2] = {};
    serial.shortWrite = true;
    EXPECT_EQ(source.write(data, 2, 0), HWDS_WRITE_ERROR);
    EXPECT_EQ(source.read(back, 2, 0), HWDS_IO_ERROR);
    serial.shortWrite = false;
    serial.shortRead = true;
    EXPECT_EQ(source.write(data, 2, 0), HWDS_WRITE_ERROR);
    EXPECT_EQ(source.read(back, 2, 0), HWDS_IO_ERROR);
}

TEST_F(ProtocolTest, LateByteWaitFollowsTheLinksPace) {
    const uint8_t data[2] = {1, 2};
    // Each read 20 ms late, two reads an exchange: half as long again as 40 ms.
    serial.delayMs = 20;
    ASSERT_EQ(source.write(data, 2, 0), HWDS_OK);
    EXPECT_GE(serial.lateByteWaitMs, 60u);
    // An exchange of 700 ms would make 1050: the look is capped at a second.
    serial.delayMs = 350;
    ASSERT_EQ(source.write(data, 1, 0), HWDS_OK);
    EXPECT_EQ(serial.lateByteWaitMs, 1000u);
}

}  // namespace
