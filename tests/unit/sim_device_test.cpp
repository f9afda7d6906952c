// The simulated device and the in-process serial ports that carry it.
#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <thread>

#include "sim/model/tuvak_device.h"
#include "tests/fakes/fake_serial.h"

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

bool randomReplyPasses(const Bytes& reply) {
    return reply.size() == 130 && reply[0] == sim::kCmdRandom &&
           reply[129] == sim::checkByte(&reply[1], 128);
}

TEST(SimCheckByte, IsTheComplementOfTheByteSum) {
    const uint8_t write[2] = {0x10, 0xAA};
    EXPECT_EQ(sim::checkByte(write, 2), 0x45);
    const uint8_t read[1] = {0x10};
    EXPECT_EQ(sim::checkByte(read, 1), 0xEF);
    EXPECT_EQ(sim::checkByte(nullptr, 0), 0xFF);

    // 127 × 0x24 + 0x58 = 0x1234, whose low byte 0x34 needs 0xCB.
    std::array<uint8_t, 128> block;
    block.fill(0x24);
    block[127] = 0x58;
    ASSERT_EQ(std::accumulate(block.begin(), block.end(), 0u), 0x1234u);
    EXPECT_EQ(sim::checkByte(block.data(), block.size()), 0xCB);
}

TEST(SimDevice, FramesSplitAcrossCallsAreAnsweredWhenComplete) {
    sim::TuvakDevice device;
    const Bytes write = writeFrame(0x10, 0xAA);
    for (std::size_t i = 0; i + 1 < write.size(); ++i) {
        EXPECT_TRUE(send(device, {write[i]}).empty()) << "answered after byte " << i;
    }
    EXPECT_EQ(send(device, {write.back()}), (Bytes{0x07, 0x07}));
    EXPECT_EQ(device.memory()[0x10], 0xAA);

    EXPECT_TRUE(send(device, {0x08, 0x10}).empty());
    EXPECT_EQ(send(device, {0xEF}), (Bytes{0x08, 0xAA, 0x55}));

    EXPECT_EQ(device.framesAnswered(), 2u);
    ASSERT_EQ(device.frameLog().size(), 2u);
    EXPECT_EQ(device.frameLog()[0], write);
    EXPECT_EQ(device.frameLog()[1], readFrame(0x10));
}

TEST(SimDevice, SeveralFramesInOneCallGetTheirRepliesInOrder) {
    sim::TuvakDevice device;
    device.memory()[5] = 0x3C;
    Bytes stream = writeFrame(0, 0x11);
    const Bytes read = readFrame(5);
    stream.insert(stream.end(), read.begin(), read.end());
    stream.push_back(sim::kCmdRandom);

    const Bytes reply = send(device, stream);
    ASSERT_EQ(reply.size(), 2u + 3u + 130u);
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{0x07, 0x07, 0x08, 0x3C, 0xC3}));
    EXPECT_TRUE(randomReplyPasses(Bytes(reply.begin() + 5, reply.end())));
    EXPECT_EQ(device.memory()[0], 0x11);
}

TEST(SimDevice, RandomBlocksCarryAValidCheckAndFollowTheSeed) {
    sim::TuvakDevice a(42), b(42), c(43);
    const Bytes first = send(a, {sim::kCmdRandom});
    ASSERT_TRUE(randomReplyPasses(first));
    EXPECT_TRUE(std::equal(a.lastRandomBlock().begin(), a.lastRandomBlock().end(), first.begin() + 1));

    const Bytes second = send(a, {sim::kCmdRandom});
    ASSERT_TRUE(randomReplyPasses(second));
    EXPECT_NE(first, second);

    EXPECT_EQ(send(b, {sim::kCmdRandom}), first);
    EXPECT_NE(send(c, {sim::kCmdRandom}), first);

    // Not a constant or a short cycle: most byte values show up in a few blocks.
    std::array<bool, 256> seen{};
    for (int i = 0; i < 8; ++i) {
        for (uint8_t byte : a.lastRandomBlock()) seen[byte] = true;
        send(a, {sim::kCmdRandom});
    }
    EXPECT_GT(std::count(seen.begin(), seen.end(), true), 200);
}

TEST(SimDevice, RequestsWithABadCheckOrAddressAreRefusedInAWayTheHostRejects) {
    sim::TuvakDevice device;
    device.memory().fill(0x5A);

    Bytes badCheck = writeFrame(3, 0x00);
    badCheck[3] ^= 0x01;
    Bytes reply = send(device, badCheck);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0], 0x07);
    EXPECT_NE(reply[1], 0x07);

    const uint8_t high[2] = {0x80, 0x00};
    reply = send(device, {0x07, 0x80, 0x00, sim::checkByte(high, 2)});
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_NE(reply[1], 0x07);

    for (uint8_t address : {uint8_t{0x00}, uint8_t{0x7F}, uint8_t{0xFF}}) {
        Bytes read = readFrame(address);
        if (address < 0x80) read[2] ^= 0x80;
        reply = send(device, read);
        EXPECT_EQ(reply.size(), 3u);
        EXPECT_EQ(reply[0], 0x08);
        EXPECT_FALSE(readReplyPasses(reply)) << "address " << int(address);
    }

    std::array<uint8_t, sim::kMemorySize> untouched;
    untouched.fill(0x5A);
    EXPECT_EQ(device.memory(), untouched);
    EXPECT_EQ(device.frameLog().size(), 5u);
}

TEST(SimDevice, BytesThatStartNoFrameAreDropped) {
    sim::TuvakDevice device;
    Bytes stream = {0x00, 0xFF, 0x42, 0x06, 0x09};
    const Bytes read = readFrame(0);
    stream.insert(stream.end(), read.begin(), read.end());
    EXPECT_EQ(send(device, stream), (Bytes{0x08, 0x00, 0xFF}));
    ASSERT_EQ(device.frameLog().size(), 1u);
    EXPECT_EQ(device.frameLog()[0], read);
}

TEST(SimDevice, AnyByteStreamIsSurvivedAndParsedIntoWholeFrames) {
    std::mt19937 rng(7);
    sim::TuvakDevice device;
    std::size_t replied = 0;
    for (int round = 0; round < 2000; ++round) {
        Bytes chunk(rng() % 64);
        for (auto& byte : chunk) byte = static_cast<uint8_t>(rng());
        replied += send(device, chunk).size();
    }
    std::size_t expected = 0;
    for (const Bytes& frame : device.frameLog()) {
        switch (frame[0]) {
            case 0x05: EXPECT_EQ(frame.size(), 1u); expected += 130; break;
            case 0x07: EXPECT_EQ(frame.size(), 4u); expected += 2; break;
            case 0x08: EXPECT_EQ(frame.size(), 3u); expected += 3; break;
            default: ADD_FAILURE() << "frame begins with " << int(frame[0]);
        }
    }
    EXPECT_GT(device.frameLog().size(), 500u);
    EXPECT_EQ(device.framesAnswered(), device.frameLog().size());
    EXPECT_EQ(replied, expected);
}

// ---- Faults ---------------------------------------------------------------

TEST(SimFaults, UnplugEndsAllAnswersAfterNFrames) {
    sim::TuvakDevice device;
    device.faults().unplugAfter = 2;
    EXPECT_EQ(send(device, writeFrame(0, 1)).size(), 2u);
    EXPECT_FALSE(device.unplugged());
    EXPECT_EQ(send(device, writeFrame(1, 1)).size(), 2u);
    EXPECT_TRUE(device.unplugged());
    EXPECT_TRUE(send(device, writeFrame(2, 1)).empty());
    EXPECT_TRUE(send(device, {sim::kCmdRandom}).empty());
    EXPECT_EQ(device.memory()[2], 0);
    EXPECT_EQ(device.framesAnswered(), 2u);
    EXPECT_EQ(device.frameLog().size(), 2u);

    sim::TuvakDevice absent;
    absent.faults().unplugAfter = 0;
    EXPECT_TRUE(absent.unplugged());
    EXPECT_TRUE(send(absent, readFrame(0)).empty());
}

TEST(SimFaults, SilentDeviceTakesFramesButNeverAnswers) {
    sim::TuvakDevice device;
    device.faults().silentAfter = 1;
    EXPECT_EQ(send(device, readFrame(0)).size(), 3u);
    EXPECT_TRUE(send(device, readFrame(0)).empty());
    EXPECT_TRUE(send(device, {sim::kCmdRandom}).empty());
    EXPECT_FALSE(device.unplugged());
    EXPECT_TRUE(device.silent());
    EXPECT_EQ(device.framesAnswered(), 1u);
    EXPECT_EQ(device.frameLog().size(), 3u);
}

TEST(SimFaults, BadEchoSpoilsTheFirstByteOfEveryReplyFromFrameNPlusOne) {
    sim::TuvakDevice device;
    device.faults().badEchoAfter = 1;
    EXPECT_EQ(send(device, writeFrame(0, 9))[0], 0x07);
    const Bytes write = send(device, writeFrame(1, 9));
    const Bytes read = send(device, readFrame(1));
    const Bytes random = send(device, {sim::kCmdRandom});
    ASSERT_EQ(write.size(), 2u);
    ASSERT_EQ(read.size(), 3u);
    ASSERT_EQ(random.size(), 130u);
    EXPECT_NE(write[0], 0x07);
    EXPECT_NE(read[0], 0x08);
    EXPECT_NE(random[0], 0x05);
    // Only the echo is wrong.
    EXPECT_EQ(write[1], 0x07);
    EXPECT_EQ((read[1] & read[2]), 0);
    EXPECT_EQ(random[129], sim::checkByte(&random[1], 128));
}

TEST(SimFaults, BadAckSpoilsOnlyTheWriteAcknowledgement) {
    sim::TuvakDevice device;
    device.faults().badAckAfter = 2;
    EXPECT_EQ(send(device, writeFrame(0, 1)), (Bytes{0x07, 0x07}));
    EXPECT_EQ(send(device, writeFrame(1, 2)), (Bytes{0x07, 0x07}));
    const Bytes third = send(device, writeFrame(2, 3));
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0], 0x07);
    EXPECT_NE(third[1], 0x07);
    // The byte is stored all the same: the host cannot know.
    EXPECT_EQ(device.memory()[2], 3);
    EXPECT_TRUE(readReplyPasses(send(device, readFrame(2))));
}

TEST(SimFaults, BadCheckFailsReadRepliesOfAnyValueAndRandomBlocks) {
    sim::TuvakDevice device;
    device.memory()[0] = 0x00;
    device.memory()[1] = 0x3C;
    device.memory()[2] = 0xFF;
    device.faults().badCheckAfter = 1;
    EXPECT_TRUE(readReplyPasses(send(device, readFrame(0))));
    for (uint8_t address = 0; address < 3; ++address) {
        const Bytes reply = send(device, readFrame(address));
        EXPECT_EQ(reply[0], 0x08);
        EXPECT_FALSE(readReplyPasses(reply)) << "address " << int(address);
    }
    const Bytes random = send(device, {sim::kCmdRandom});
    ASSERT_EQ(random.size(), 130u);
    EXPECT_EQ(random[0], 0x05);
    EXPECT_NE(random[129], sim::checkByte(&random[1], 128));
    EXPECT_EQ(send(device, writeFrame(0, 0)), (Bytes{0x07, 0x07}));
}

// ---- The in-process serial ports --------------------------------------------

const std::string kCom3 = "\\\\.\\COM3";

struct FakePortTest : ::testing::Test {
    platform::Handle openOk(const std::string& path) {
        platform::Handle h = platform::kInvalidHandle;
        EXPECT_EQ(ports.open(path.c_str(), &h), platform::kErrSuccess);
        return h;
    }
    // Sends a request and reads `want` bytes back in one call.
    bool exchange(platform::Handle h, const Bytes& request, std::size_t want, Bytes* reply) {
        uint32_t written = 0;
        if (!ports.write(h, request.data(), static_cast<uint32_t>(request.size()), &written) ||
            written != request.size()) {
            return false;
        }
        reply->assign(want, 0);
        uint32_t got = 0;
        const bool ok = ports.read(h, reply->data(), static_cast<uint32_t>(want), &got);
        reply->resize(got);
        return ok;
    }

    fakes::FakeSerialPorts ports;
    sim::TuvakDevice device;
};

TEST_F(FakePortTest, OpensOnlyAttachedPathsAndOnlyOnce) {
    platform::Handle h = 0;
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrFileNotFound);
    EXPECT_EQ(h, platform::kInvalidHandle);

    ports.attach(kCom3, &device);
    const platform::Handle first = openOk(kCom3);
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrSharingViolation);
    EXPECT_EQ(h, platform::kInvalidHandle);
    EXPECT_EQ(ports.openPorts(), 1);
    EXPECT_TRUE(ports.close(first));
    EXPECT_FALSE(ports.close(first));
    EXPECT_EQ(ports.openPorts(), 0);

    ports.failOpen(kCom3, platform::kErrAccessDenied);
    EXPECT_EQ(ports.open(kCom3.c_str(), &h), platform::kErrAccessDenied);
    ports.failOpen(kCom3, 0);
    const platform::Handle again = openOk(kCom3);
    EXPECT_NE(again, platform::kInvalidHandle);

    EXPECT_EQ(ports.openCount(), 5);
    EXPECT_EQ(ports.closeCount(), 2);
    EXPECT_EQ(ports.openedPaths(), std::vector<std::string>(5, kCom3));
}

TEST_F(FakePortTest, CarriesExchangesAndRecordsEveryCall) {
    ports.attach(kCom3, &device);
    const platform::Handle h = openOk(kCom3);
    Bytes reply;
    ASSERT_TRUE(exchange(h, writeFrame(0x10, 0xAA), 2, &reply));
    EXPECT_EQ(reply, (Bytes{0x07, 0x07}));
    ASSERT_TRUE(exchange(h, readFrame(0x10), 3, &reply));
    EXPECT_EQ(reply, (Bytes{0x08, 0xAA, 0x55}));
    EXPECT_EQ(device.memory()[0x10], 0xAA);
    EXPECT_EQ(ports.writes(), (std::vector<Bytes>{writeFrame(0x10, 0xAA), readFrame(0x10)}));
    EXPECT_EQ(ports.readSizes(), (std::vector<uint32_t>{2, 3}));
}

TEST_F(FakePortTest, SettingsPurgeAndCloseFailuresAreInjectable) {
    ports.attach(kCom3, &device);
    const platform::Handle h = openOk(kCom3);
    platform::LineSettings settings;
    ASSERT_TRUE(ports.getSettings(h, &settings));
    EXPECT_EQ(settings.baudRate, 9600u);
    EXPECT_EQ(settings.byteSize, 8);
    settings.baudRate = 115200;
    ASSERT_TRUE(ports.setSettings(h, settings));
    platform::LineSettings readBack;
    ASSERT_TRUE(ports.getSettings(h, &readBack));
    EXPECT_EQ(readBack.baudRate, 115200u);
    EXPECT_EQ(ports.lastSettings().baudRate, 115200u);

    // Unread replies are what a purge is for.
    uint32_t written = 0;
    const Bytes read = readFrame(0);
    ASSERT_TRUE(ports.write(h, read.data(), 3, &written));
    EXPECT_EQ(ports.undelivered(kCom3), 3u);
    ASSERT_TRUE(ports.purge(h, 0x0F));
    EXPECT_EQ(ports.lastPurgeFlags(), 0x0Fu);
    EXPECT_EQ(ports.undelivered(kCom3), 0u);

    ports.failGetSettings = true;
    ports.failSetSettings = true;
    ports.failPurge = true;
    EXPECT_FALSE(ports.getSettings(h, &settings));
    EXPECT_FALSE(ports.setSettings(h, settings));
    EXPECT_FALSE(ports.purge(h, 0x0F));

    ports.failClose = true;
    EXPECT_FALSE(ports.close(h));
    EXPECT_EQ(ports.openPorts(), 0);
    EXPECT_FALSE(ports.getSettings(h, &settings));
}

TEST_F(FakePortTest, ASilentDeviceReadsShortWithoutError) {
    device.faults().silentAfter = 0;
    ports.attach(kCom3, &device);
    const platform::Handle h = openOk(kCom3);
    Bytes reply;
    EXPECT_TRUE(exchange(h, readFrame(0), 1, &reply));
    EXPECT_TRUE(reply.empty());
}

TEST_F(FakePortTest, AnUnpluggedDeviceFailsReadsWritesAndOpens) {
    device.faults().unplugAfter = 1;
    ports.attach(kCom3, &device);
    const platform::Handle h = openOk(kCom3);
    uint32_t written = 0;
    const Bytes write = writeFrame(0, 1);
    ASSERT_TRUE(ports.write(h, write.data(), 4, &written));
    // The last reply is still there to be read in full.
    uint8_t byte = 0;
    uint32_t got = 0;
    EXPECT_TRUE(ports.read(h, &byte, 1, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_FALSE(ports.read(h, &byte, 2, &got));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(byte, 0x07);

    EXPECT_FALSE(ports.write(h, write.data(), 4, &written));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(ports.close(h));
    platform::Handle again = 0;
    EXPECT_EQ(ports.open(kCom3.c_str(), &again), platform::kErrFileNotFound);
}

TEST_F(FakePortTest, DetachingFailsHandlesStillOpen) {
    ports.attach(kCom3, &device);
    const platform::Handle h = openOk(kCom3);
    ports.detach(kCom3);
    uint32_t written = 0;
    const Bytes read = readFrame(0);
    EXPECT_FALSE(ports.write(h, read.data(), 3, &written));
    platform::Handle other = 0;
    EXPECT_EQ(ports.open("\\\\.\\COM4", &other), platform::kErrFileNotFound);
}

TEST_F(FakePortTest, PortsServeSeveralThreadsAtOnce) {
    sim::TuvakDevice second;
    const std::string com4 = "\\\\.\\COM4";
    ports.attach(kCom3, &device);
    ports.attach(com4, &second);
    auto work = [this](const std::string& path, uint8_t value, int* failures) {
        const platform::Handle h = openOk(path);
        for (uint8_t address = 0; address < sim::kMemorySize; ++address) {
            Bytes reply;
            if (!exchange(h, writeFrame(address, value), 2, &reply) || reply != Bytes{7, 7}) ++*failures;
        }
        ports.close(h);
    };
    int failures3 = 0;
    int failures4 = 0;
    std::thread a(work, kCom3, uint8_t{0x33}, &failures3);
    std::thread b(work, com4, uint8_t{0x44}, &failures4);
    a.join();
    b.join();
    EXPECT_EQ(failures3, 0);
    EXPECT_EQ(failures4, 0);
    EXPECT_TRUE(std::all_of(device.memory().begin(), device.memory().end(), [](uint8_t v) { return v == 0x33; }));
    EXPECT_TRUE(std::all_of(second.memory().begin(), second.memory().end(), [](uint8_t v) { return v == 0x44; }));
    EXPECT_EQ(ports.writes().size(), 2 * sim::kMemorySize);
}

}  // namespace
