// Threads opening and using the driver-library sources at once, in each
// calling convention built: the first opens race for the driver's load, and
// requests run side by side.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hwds/accord/tm_driver.h"
#include "hwds/hwds.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kThreads = 4;
constexpr int kRounds = 20;

class DriverSourcesThreads : public ::testing::TestWithParam<fakes::DriverBuild> {};
SIM_DRIVER_SUITE(DriverSourcesThreads);

TEST_P(DriverSourcesThreads, OpensShareOneLoadAndRequestsKeepTheirOwnPages) {
    fakes::DriverFolder libraries(GetParam().folder);
    fakes::TestFramework framework({.libraries = &libraries});
    fakes::SimLibrary tm(GetParam().folder, "tmdrv32.dll");
    ASSERT_TRUE(tm.loaded());
    tm.entry<void (*)(const char*)>("TmSimConfigure")("family=0x0A");

    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds && failures[t].empty(); ++round) {
                HwDataSource* accord = nullptr;
                HwDataSource* sobol = nullptr;
                // Each thread owns 45 bytes that straddle two pages.
                Bytes mine(45, static_cast<uint8_t>(t * 32 + round + 1)), back(45, 0), random(24, 0);
                if (hwdsOpen(&accord, "ACCORD", nullptr) != CE_OK || hwdsOpen(&sobol, "SOBOL", nullptr) != CE_OK)
                    failures[t] = "open failed";
                else if (hwdsWrite(accord, nullptr, mine.data(), 45, 100 + t * 60) != CE_OK ||
                         hwdsRead(accord, nullptr, back.data(), 45, 100 + t * 60) != CE_OK ||
                         hwdsRandom(sobol, nullptr, random.data(), 24) != CE_OK)
                    failures[t] = "request failed";
                else if (back != mine)
                    failures[t] = "read back another thread's bytes";
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;

    // The Touch Memory driver was loaded once; the card's library once per use.
    size_t listed = 0;
    for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++listed;
    EXPECT_EQ(listed, 2u);
    EXPECT_EQ(libraries.loads, 1 + 1 + kThreads * kRounds);
    tmDriverUnload();
}

}  // namespace
