// Several threads opening the same and different sources and running
// requests at once; meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "hwds/hwds.h"
#include "platform/regtree.h"
#include "sim/model/tuvak_device.h"
#include "sim/model/inprocess_ports.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kDevices = 3;
constexpr int kThreadsPerDevice = 4;
constexpr int kRounds = 20;

// Retries whatever the device reports, so that only a real fault can fail.
int32_t retry(void*, const char*, const char*, int32_t, int32_t) { return HWDS_ANSWER_RETRY; }

class ThreadsTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    std::vector<std::unique_ptr<sim::TuvakDevice>> devices;
    std::unique_ptr<fakes::TestFramework> framework;

    void SetUp() override {
        std::vector<fakes::Adapter> adapters;
        for (int d = 0; d < kDevices; ++d) {
            const std::string com = "COM" + std::to_string(d + 3);
            adapters.push_back({fakes::instancePath("DEV" + std::to_string(d)), com});
            devices.push_back(std::make_unique<sim::TuvakDevice>(100 + d));
            serial.attach("\\\\.\\" + com, devices.back().get());
        }
        fakes::addFtdiDriver(registry.tree(), adapters);
        framework = std::make_unique<fakes::TestFramework>(
            platform::Services{&registry, &serial, nullptr, nullptr, nullptr, nullptr});
    }
    void TearDown() override { framework.reset(); }
};

TEST_F(ThreadsTest, OpensAgreeAndRequestsOnOneSourceNeverInterleave) {
    std::vector<HwDataSource*> opened(kDevices * kThreadsPerDevice, nullptr);
    std::vector<std::string> failures(opened.size());
    std::vector<std::thread> threads;
    for (int t = 0; t < static_cast<int>(opened.size()); ++t) {
        threads.emplace_back([&, t] {
            const int device = t % kDevices;
            const int slot = t / kDevices;  // each thread owns 32 bytes of its device
            const std::string id = "DEV" + std::to_string(device);
            HWDSInteraction again{nullptr, &retry, nullptr, nullptr};
            for (int round = 0; round < kRounds; ++round) {
                HwDataSource* source = nullptr;
                if (hwdsOpen(&source, "tuvak", id.c_str()) != CE_OK) {
                    failures[t] = "open failed";
                    return;
                }
                if (opened[t] != nullptr && opened[t] != source) failures[t] = "open changed";
                opened[t] = source;
                Bytes mine(32, static_cast<uint8_t>(t * 16 + round));
                Bytes back(32, 0);
                if (hwdsWrite(source, &again, mine.data(), 32, slot * 32) != CE_OK ||
                    hwdsRead(source, &again, back.data(), 32, slot * 32) != CE_OK) {
                    failures[t] = "request failed";
                    return;
                }
                if (back != mine) failures[t] = "read back another thread's bytes";
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (size_t t = 0; t < failures.size(); ++t) EXPECT_EQ(failures[t], "") << "thread " << t;

    size_t listed = 0;
    for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++listed;
    EXPECT_EQ(listed, static_cast<size_t>(kDevices));
    for (size_t t = 0; t < opened.size(); ++t) EXPECT_EQ(opened[t], opened[t % kDevices]);
}

TEST_F(ThreadsTest, EachRandomByteIsHandedOutOnce) {
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "DEV0"), CE_OK);
    constexpr int kThreads = 4;
    constexpr int kRequests = 40;
    std::vector<Bytes> got(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            HWDSInteraction again{nullptr, &retry, nullptr, nullptr};
            for (int i = 0; i < kRequests; ++i) {
                Bytes chunk(static_cast<size_t>(1 + (t * 7 + i * 13) % 61));
                if (hwdsRandom(source, &again, chunk.data(), static_cast<uint32_t>(chunk.size())) != CE_OK)
                    ++failures;
                got[t].insert(got[t].end(), chunk.begin(), chunk.end());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);

    // Together the threads received a prefix of the device's block stream.
    Bytes all;
    for (const Bytes& g : got) all.insert(all.end(), g.begin(), g.end());
    sim::TuvakDevice twin(100);
    Bytes stream;
    while (stream.size() < all.size()) {
        Bytes reply;
        const uint8_t request = 0x05;
        twin.receive(&request, 1, &reply);
        stream.insert(stream.end(), reply.begin() + 1, reply.begin() + 129);
    }
    stream.resize(all.size());
    std::sort(all.begin(), all.end());
    std::sort(stream.begin(), stream.end());
    EXPECT_EQ(all, stream);
}

}  // namespace
