// Several threads opening the same and different sources and running
// requests at once; meant to run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "hwds/hwds.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kDevices = 3;

// Retries whatever the device reports, so that only a real fault can fail.
int32_t retry(void*, const char*, const char*, int32_t, int32_t) { return HWDS_ANSWER_RETRY; }
const HWDSInteraction kRetry{nullptr, &retry, nullptr, nullptr};

// Runs body(t) on n threads at once and waits for them all.
template <class F>
void onThreads(int n, F body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (auto& thread : threads) thread.join();
}

class ThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::vector<fakes::Adapter> adapters;
        for (int d = 0; d < kDevices; ++d) {
            const std::string com = "COM" + std::to_string(d + 3);
            adapters.push_back({fakes::instancePath("DEV" + std::to_string(d)), com});
            devices.push_back(std::make_unique<sim::TuvakDevice>(100 + d));
            serial.attach("\\\\.\\" + com, devices.back().get());
        }
        fakes::addFtdiDriver(registry.tree(), adapters);
        framework.emplace(platform::Services{.registry = &registry, .serial = &serial});
    }

    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    std::vector<std::unique_ptr<sim::TuvakDevice>> devices;
    std::optional<fakes::TestFramework> framework;  // goes first
};

TEST_F(ThreadsTest, OpensAgreeAndRequestsOnOneSourceNeverInterleave) {
    constexpr int kThreads = kDevices * 4;
    std::vector<HwDataSource*> opened(kThreads, nullptr);
    std::vector<std::string> failures(kThreads);
    onThreads(kThreads, [&](int t) {
        const std::string id = "DEV" + std::to_string(t % kDevices);
        const uint32_t offset = t / kDevices * 32;  // each thread owns 32 bytes of its device
        for (int round = 0; round < 20 && failures[t].empty(); ++round) {
            HwDataSource* source = nullptr;
            if (hwdsOpen(&source, "tuvak", id.c_str()) != CE_OK) failures[t] = "open failed";
            if (opened[t] != nullptr && opened[t] != source) failures[t] = "open changed";
            opened[t] = source;
            Bytes mine(32, static_cast<uint8_t>(t * 16 + round)), back(32, 0);
            if (source == nullptr || hwdsWrite(source, &kRetry, mine.data(), 32, offset) != CE_OK ||
                hwdsRead(source, &kRetry, back.data(), 32, offset) != CE_OK)
                failures[t] = "request failed";
            else if (back != mine)
                failures[t] = "read back another thread's bytes";
        }
    });
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], "") << "thread " << t;
        EXPECT_EQ(opened[t], opened[t % kDevices]);
    }
    int listed = 0;
    for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++listed;
    EXPECT_EQ(listed, kDevices) << "one source per device";
}

TEST_F(ThreadsTest, EachRandomByteIsHandedOutOnce) {
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "DEV0"), CE_OK);
    constexpr int kThreads = 4;
    std::vector<Bytes> got(kThreads);
    std::vector<int> failures(kThreads, 0);
    onThreads(kThreads, [&](int t) {
        for (int i = 0; i < 40; ++i) {
            Bytes chunk(static_cast<size_t>(1 + (t * 7 + i * 13) % 61));
            failures[t] += hwdsRandom(source, &kRetry, chunk.data(), static_cast<uint32_t>(chunk.size())) != CE_OK;
            got[t].insert(got[t].end(), chunk.begin(), chunk.end());
        }
    });
    EXPECT_EQ(failures, std::vector<int>(kThreads, 0));

    // Together the threads received a prefix of the device's block stream.
    Bytes all;
    Bytes stream;
    for (const Bytes& g : got) all.insert(all.end(), g.begin(), g.end());
    sim::TuvakDevice twin(100);
    for (const uint8_t request = 0x05; stream.size() < all.size();) {
        Bytes reply;
        twin.receive(&request, 1, &reply);
        stream.insert(stream.end(), reply.begin() + 1, reply.begin() + 129);
    }
    stream.resize(all.size());
    std::ranges::sort(all);
    std::ranges::sort(stream);
    EXPECT_EQ(all, stream);
}

}  // namespace
