#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <numeric>
#include <vector>

#include "hwds/tuvak/hwtuvak.h"
#include "platform/regtree.h"
#include "sim/model/tuvak_device.h"
#include "sim/model/inprocess_ports.h"
#include "tests/fakes/ftdi_registry.h"

namespace {

using Bytes = std::vector<uint8_t>;
const char kPort[] = "\\\\.\\COM3";

class ProtocolTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    platform::ScopedServices services{{&registry, &serial, nullptr, nullptr, nullptr, nullptr}};
    sim::TuvakDevice device{42};
    HwTuvak source{"ID1"};

    ProtocolTest() {
        fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("ID1"), "COM3"}});
        serial.attach(kPort, &device);
    }
    void TearDown() override { EXPECT_EQ(serial.openPorts(), 0); }

    // The blocks a device seeded alike hands out, in order.
    static std::vector<Bytes> blocks(uint64_t seed, int n) {
        sim::TuvakDevice twin(seed);
        std::vector<Bytes> out;
        for (int i = 0; i < n; ++i) {
            Bytes reply;
            const uint8_t request = TUVAK_CMD_RANDOM;
            twin.receive(&request, 1, &reply);
            out.emplace_back(reply.begin() + 1, reply.begin() + 129);
        }
        return out;
    }
};

TEST(TuvakCheck, ComplementOfTheByteSum) {
    const uint8_t write[] = {0x10, 0xAA};
    EXPECT_EQ(tuvakCheck(write, 2), 0x45);
    const uint8_t read[] = {0x10};
    EXPECT_EQ(tuvakCheck(read, 1), 0xEF);
    const uint8_t wraps[] = {0xFF, 0xFF, 0x03};  // 0x201: only the low byte counts
    EXPECT_EQ(tuvakCheck(wraps, 3), 0xFE);
}

TEST_F(ProtocolTest, FramesOnTheWire) {
    const uint8_t value = 0xAA;
    ASSERT_EQ(source.write(&value, 1, 0x10), HWDS_OK);
    uint8_t back = 0;
    ASSERT_EQ(source.read(&back, 1, 0x10), HWDS_OK);
    EXPECT_EQ(back, 0xAA);
    const auto writes = serial.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], (Bytes{0x07, 0x10, 0xAA, 0x45}));
    EXPECT_EQ(writes[1], (Bytes{0x08, 0x10, 0xEF}));
    // Write reply as two single bytes; read reply as the echo, then data and check together.
    EXPECT_EQ(serial.readSizes(), (std::vector<uint32_t>{1, 1, 1, 2}));
}

TEST_F(ProtocolTest, WholeMemoryInOneOpeningThenReadBack) {
    Bytes pattern(128);
    std::iota(pattern.begin(), pattern.end(), 0x80);
    ASSERT_EQ(source.write(pattern.data(), 128, 0), HWDS_OK);
    EXPECT_EQ(serial.openCount(), 1);
    EXPECT_EQ(Bytes(device.memory().begin(), device.memory().end()), pattern);
    EXPECT_EQ(device.frameLog().size(), 128u);

    Bytes back(128, 0);
    ASSERT_EQ(source.read(back.data(), 128, 0), HWDS_OK);
    EXPECT_EQ(back, pattern);
    EXPECT_EQ(serial.openCount(), 2);

    Bytes middle(5, 0);
    ASSERT_EQ(source.read(middle.data(), 5, 100), HWDS_OK);
    EXPECT_EQ(middle, Bytes(pattern.begin() + 100, pattern.begin() + 105));
}

TEST_F(ProtocolTest, RangeIsCheckedBeforeThePortIsTouched) {
    uint8_t buffer[2] = {};
    EXPECT_EQ(source.write(buffer, 1, 128), HWDS_BAD_RANGE);
    EXPECT_EQ(source.read(buffer, 2, 127), HWDS_BAD_RANGE);
    EXPECT_EQ(source.write(buffer, 2, 0xFFFFFFFFu), HWDS_BAD_RANGE);  // no wrap-around
    EXPECT_EQ(source.read(buffer, 0xFFFFFFFFu, 1), HWDS_BAD_RANGE);
    EXPECT_EQ(source.write(nullptr, 1, 0), HWDS_BAD_RANGE);
    EXPECT_EQ(source.read(nullptr, 1, 0), HWDS_BAD_RANGE);
    EXPECT_EQ(serial.openCount(), 0);

    // Nothing to transfer at the very end: only connects and disconnects.
    EXPECT_EQ(source.write(buffer, 0, 128), HWDS_OK);
    EXPECT_EQ(serial.openCount(), 1);
    EXPECT_TRUE(serial.writes().empty());
}

TEST_F(ProtocolTest, StrayBytesAfterThePurgeFailTheOperationWithoutExtraTraffic) {
    // A whole random block that the device never sent, check byte and all.
    Bytes fakeBlock{TUVAK_CMD_RANDOM};
    fakeBlock.insert(fakeBlock.end(), 128, 0x11);
    fakeBlock.push_back(tuvakCheck(fakeBlock.data() + 1, 128));
    Bytes data(128, 0x3C);
    struct Case {
        const char* what;
        Bytes stray;
        std::function<int32_t()> run;
        int32_t status;
        std::size_t frames;
    };
    const Case cases[] = {
        {"write", {0x07, 0x07}, [&] { return source.write(data.data(), 128, 0); }, HWDS_WRITE_ERROR, 128},
        {"read", {0x08, 0x00, 0xFF}, [&] { return source.read(data.data(), 128, 0); }, HWDS_IO_ERROR, 128},
        {"random", fakeBlock, [&] { return source.getRandom(data.data(), 1); }, HWDS_IO_ERROR, 1},
        {"quiet write", {}, [&] { return source.write(data.data(), 128, 0); }, HWDS_OK, 128},
        {"quiet read", {}, [&] { return source.read(data.data(), 128, 0); }, HWDS_OK, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serial.strayAfterPurge(kPort, c.stray);
        device.clearFrameLog();
        const std::size_t writesBefore = serial.writes().size();
        const std::size_t looksBefore = serial.readForSizes().size();
        EXPECT_EQ(c.run(), c.status);
        EXPECT_EQ(device.frameLog().size(), c.frames);
        EXPECT_EQ(serial.writes().size() - writesBefore, c.frames) << "nothing more went on the wire";
        EXPECT_EQ(serial.readForSizes().size() - looksBefore, 1u) << "one look after the last reply";
    }
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY) << "the block that was not the device's is not cached";
}

TEST_F(ProtocolTest, UnacknowledgedWriteStopsWithEarlierBytesKept) {
    device.faults().badAckAfter = 2;
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(source.write(data, 4, 0), HWDS_WRITE_ERROR);
    EXPECT_EQ(device.memory()[0], 1);
    EXPECT_EQ(device.memory()[1], 2);
    EXPECT_EQ(serial.writes().size(), 3u);  // nothing after the failed byte
}

TEST_F(ProtocolTest, EveryBrokenWriteExchangeIsAWriteError) {
    const uint8_t data[3] = {9, 9, 9};
    device.faults().badEchoAfter = 1;
    EXPECT_EQ(source.write(data, 3, 0), HWDS_WRITE_ERROR);

    sim::TuvakDevice silent;
    silent.faults().silentAfter = 0;
    serial.detach(kPort);
    serial.attach(kPort, &silent);
    EXPECT_EQ(source.write(data, 3, 0), HWDS_WRITE_ERROR);

    sim::TuvakDevice unplugged;
    unplugged.faults().unplugAfter = 1;
    serial.detach(kPort);
    serial.attach(kPort, &unplugged);
    EXPECT_EQ(source.write(data, 3, 0), HWDS_WRITE_ERROR);
    EXPECT_EQ(unplugged.memory()[0], 9);
    EXPECT_EQ(unplugged.memory()[1], 0);
    // Gone for good: the next operation finds no port.
    EXPECT_EQ(source.write(data, 3, 0), HWDS_NOT_PRESENT);
}

TEST_F(ProtocolTest, BrokenReadKeepsWhatWasReadAndNoMore) {
    std::iota(device.memory().begin(), device.memory().end(), 1);
    device.faults().badCheckAfter = 2;
    uint8_t data[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(source.read(data, 5, 0), HWDS_IO_ERROR);
    EXPECT_EQ(Bytes(data, data + 5), (Bytes{1, 2, 0xEE, 0xEE, 0xEE}));

    device.faults().badCheckAfter = -1;
    device.faults().badEchoAfter = device.framesAnswered();
    EXPECT_EQ(source.read(data, 1, 0), HWDS_IO_ERROR);
}

TEST_F(ProtocolTest, FailedConnectIsReturnedAndThePortNotLeft) {
    serial.failOpen(kPort, platform::kErrAccessDenied);
    uint8_t byte = 0;
    EXPECT_EQ(source.write(&byte, 1, 0), HWDS_ACCESS_DENIED);
    EXPECT_EQ(source.read(&byte, 1, 0), HWDS_ACCESS_DENIED);
    EXPECT_EQ(source.getRandom(&byte, 1), HWDS_ACCESS_DENIED);
    serial.failOpen(kPort, 0);
    serial.failClose = true;
    EXPECT_EQ(source.write(&byte, 1, 0), HWDS_FAILED);  // all went well but the close
}

TEST_F(ProtocolTest, RandomBytesComeThroughTheCache) {
    const auto expected = blocks(42, 3);
    Bytes first(10);
    ASSERT_EQ(source.getRandom(first.data(), 10), HWDS_OK);
    EXPECT_EQ(first, Bytes(expected[0].begin(), expected[0].begin() + 10));
    EXPECT_EQ(source.randomPos, 11u);
    EXPECT_EQ(serial.openCount(), 1);
    EXPECT_EQ(serial.readSizes(), (std::vector<uint32_t>{1, 129}));

    Bytes second(200);
    ASSERT_EQ(source.getRandom(second.data(), 200), HWDS_OK);
    Bytes want(expected[0].begin() + 10, expected[0].end());
    want.insert(want.end(), expected[1].begin(), expected[1].begin() + 82);
    EXPECT_EQ(second, want);
    EXPECT_EQ(source.randomPos, 83u);
    EXPECT_EQ(serial.openCount(), 2);

    // The rest of the block is served with the device gone.
    serial.detach(kPort);
    Bytes rest(46);
    ASSERT_EQ(source.getRandom(rest.data(), 46), HWDS_OK);
    EXPECT_EQ(rest, Bytes(expected[1].begin() + 82, expected[1].end()));
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY);
    EXPECT_EQ(serial.openCount(), 2);
    uint8_t more = 0;
    EXPECT_EQ(source.getRandom(&more, 1), HWDS_NOT_PRESENT);
}

TEST_F(ProtocolTest, WholeBlocksLeaveTheCacheEmpty) {
    Bytes data(256);
    ASSERT_EQ(source.getRandom(data.data(), 256), HWDS_OK);
    EXPECT_EQ(serial.openCount(), 2);
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY);
    const auto expected = blocks(42, 2);
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 128), expected[0]);
    EXPECT_EQ(Bytes(data.begin() + 128, data.end()), expected[1]);
}

TEST_F(ProtocolTest, ZeroLengthRandomIsAPresenceTest) {
    Bytes some(10);
    ASSERT_EQ(source.getRandom(some.data(), 10), HWDS_OK);
    const size_t frames = device.frameLog().size();
    EXPECT_EQ(source.getRandom(nullptr, 0), HWDS_OK);
    EXPECT_EQ(device.frameLog().size(), frames);
    EXPECT_EQ(source.randomPos, 11u);
    EXPECT_EQ(serial.openCount(), 2);

    serial.detach(kPort);
    EXPECT_EQ(source.getRandom(nullptr, 0), HWDS_NOT_PRESENT);
}

TEST_F(ProtocolTest, GarbledBlockIsNeverServed) {
    Bytes data(100);
    ASSERT_EQ(source.getRandom(data.data(), 100), HWDS_OK);  // 28 bytes stay cached
    device.faults().badCheckAfter = device.framesAnswered();
    Bytes more(60, 0xEE);
    EXPECT_EQ(source.getRandom(more.data(), 60), HWDS_IO_ERROR);
    const auto expected = blocks(42, 1);
    EXPECT_EQ(Bytes(more.begin(), more.begin() + 28), Bytes(expected[0].begin() + 100, expected[0].end()));
    EXPECT_EQ(source.randomPos, TUVAK_RANDOM_EMPTY);

    // The next request starts with a fresh fetch.
    device.faults().badCheckAfter = -1;
    const int opens = serial.openCount();
    uint8_t one = 0;
    ASSERT_EQ(source.getRandom(&one, 1), HWDS_OK);
    EXPECT_EQ(serial.openCount(), opens + 1);
    EXPECT_EQ(one, device.lastRandomBlock()[0]);
}

// Replies exactly as scripted, for the check-byte rules the device model
// never breaks by itself.
class ScriptedPort : public platform::SerialPorts {
public:
    std::deque<uint8_t> replies;
    uint32_t open(const char*, platform::PortHandle* port) override {
        *port = platform::makeHandle<platform::PortHandle>(7);
        return platform::kErrSuccess;
    }
    bool getSettings(platform::PortHandle, platform::LineSettings*) override { return true; }
    bool setSettings(platform::PortHandle, const platform::LineSettings&) override { return true; }
    bool purge(platform::PortHandle, uint32_t) override { return true; }
    bool write(platform::PortHandle, const uint8_t*, uint32_t length, uint32_t* written) override {
        *written = length;
        return true;
    }
    bool read(platform::PortHandle, uint8_t* data, uint32_t length, uint32_t* got) override {
        *got = 0;
        while (*got < length && !replies.empty()) {
            data[(*got)++] = replies.front();
            replies.pop_front();
        }
        return true;
    }
    bool readFor(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t, uint32_t* got) override {
        return read(port, data, length, got);
    }
    bool close(platform::PortHandle) override { return true; }
};

TEST_F(ProtocolTest, ReadReplyCheckIsDataAndCheckBeingDisjoint) {
    ScriptedPort port;
    platform::ScopedServices scripted({nullptr, &port, nullptr, nullptr, nullptr, nullptr});
    uint8_t byte = 0;
    port.replies = {0x08, 0x3C, 0xC3};
    EXPECT_EQ(source.read(&byte, 1, 0), HWDS_OK);
    EXPECT_EQ(byte, 0x3C);
    port.replies = {0x08, 0x3C, 0x00};
    EXPECT_EQ(source.read(&byte, 1, 0), HWDS_OK);
    port.replies = {0x08, 0x3C, 0xC7};
    EXPECT_EQ(source.read(&byte, 1, 0), HWDS_IO_ERROR);
}

TEST_F(ProtocolTest, RandomBlockCheckCoversAllItsBytes) {
    ScriptedPort port;
    platform::ScopedServices scripted({nullptr, &port, nullptr, nullptr, nullptr, nullptr});
    // 128 bytes summing to 0x1234: check byte 0xFF - 0x34 = 0xCB.
    Bytes block(128, 0x24);
    block[0] = 0x58;
    ASSERT_EQ(std::accumulate(block.begin(), block.end(), 0u), 0x1234u);
    port.replies = {0x05};
    port.replies.insert(port.replies.end(), block.begin(), block.end());
    port.replies.push_back(0xCB);
    Bytes out(128);
    EXPECT_EQ(source.getRandom(out.data(), 128), HWDS_OK);
    EXPECT_EQ(out, block);

    port.replies = {0x05};
    port.replies.insert(port.replies.end(), block.begin(), block.end());
    port.replies.push_back(0xCA);
    EXPECT_EQ(source.getRandom(out.data(), 1), HWDS_IO_ERROR);
    port.replies = {0x05, 0x01};  // short block
    EXPECT_EQ(source.getRandom(out.data(), 1), HWDS_IO_ERROR);
}

}  // namespace
