// The simulated generators: their faults, and a place that outlives a library load and, in a file, the process.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/drivers/sim_driver.h"
#include "sim/model/random_faults.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

void counting(uint64_t* state, uint8_t* out, std::size_t n) {  // counts up from its state: every fault shows
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((*state)++);
}

TEST(SimRandom, FaultsShapeTheRequests) {
    const struct {
        const char* name;
        sim::RandomFaults faults;
        uint64_t seed;
        std::vector<Bytes> requests;
    } cases[] = {
        {"running on", {}, 10, {{10, 11, 12}, {13, 14, 15}, {16, 17, 18}}},
        {"restart every 2", {.restartEvery = 2}, 10, {{10, 11, 12}, {13, 14, 15}, {10, 11, 12}}},
        {"stuck on 4 bytes", {.stuckBytes = 4}, 10, {{10, 11, 12}, {13, 10, 11}, {12, 13, 10}}},
        {"all ones", {.onesPercent = 100}, 0, {{0xFF, 0xFF, 0xFF}}},
        {"no ones", {.onesPercent = 0}, 0, {{0, 0, 0}}},
        {"half ones", {.onesPercent = 50}, 124, {{0xF0, 0x00, 0x00}}},  // one when a draw is below 128: 124..131, 132..
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::GeneratorProgress place{c.seed};
        for (const Bytes& expected : c.requests) {
            Bytes got(expected.size());
            sim::drawRandom(c.faults, c.seed, &place, got.data(), got.size(), counting);
            EXPECT_EQ(got, expected);
        }
    }
}

// Each library loaded and freed around every request, as the sources do.
TEST(SimRandom, DriversRunOnAcrossLoadsAndStateFiles) {
    fakes::TempDir dir;
    sim::GeneratorProgress place{0};  // the whole 64-bit place survives its file
    EXPECT_FALSE(sim::loadPlace(dir.path + "/place", &place));
    sim::savePlace(dir.path + "/place", {18446744073709551615ull, 3, 7});
    ASSERT_TRUE(sim::loadPlace(dir.path + "/place", &place));
    EXPECT_EQ(sim::placeText(place), "18446744073709551615 3 7");
    const struct {
        const char* library;
        const char* get;
        const char* configure;
        uint32_t seed;
    } drivers[] = {{"snellock.dll", "sbGetRand", "SbSimConfigure", 7},
                   {"tmdrv32.dll", "TmGetRandomBytes", "TmSimConfigure", 1}};
    for (const auto& d : drivers) {
        SCOPED_TRACE(d.library);
        fakes::DriverFolder folder{SIM_DRIVERS_DIR};
        auto request = [&](const char* settings) {  // non-null settings go through the control call first
            Bytes out(16);
            const platform::LibraryHandle h = folder.load(d.library);
            if (h == platform::kNoLibrary) {
                ADD_FAILURE() << d.library << " not loaded";
                return out;
            }
            if (settings != nullptr) platform::resolve<void (*)(const char*)>(folder, h, d.configure)(settings);
            EXPECT_EQ((platform::resolve<int (*)(unsigned char*, uint32_t)>(folder, h, d.get)(out.data(), 16)), 0);
            folder.free(h);
            return out;
        };
        const Bytes first = request("");
        Bytes expected(16);
        simdrv::Xorshift rng(d.seed);
        for (auto& b : expected) b = rng.next();
        EXPECT_EQ(first, expected);
        const Bytes second = request(nullptr);
        EXPECT_NE(second, first);
        EXPECT_NE(request(nullptr), second);
        EXPECT_EQ(request(""), first);
        // With a state file, configuring afresh goes on from the file.
        const std::string state = "state=" + dir.path + "/" + d.library;
        EXPECT_EQ(request(state.c_str()), first);
        EXPECT_EQ(request(state.c_str()), second);
    }
}

}  // namespace
