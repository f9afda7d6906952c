// The random card source over the simulated snellock library, loaded by the real loader for every use.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "hwds/sobol/hwsobol.h"
#include "sim/drivers/sim_driver.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The process heap, recording what was asked of it.
struct RecordingHeap : platform::Heap {
    bool refuse = false;
    std::vector<size_t> sizes;
    int outstanding = 0;
    void* allocate(std::size_t n) override {
        sizes.push_back(n);
        if (refuse) return nullptr;
        ++outstanding;
        return std::calloc(n, 1);
    }
    void release(void* block) override {
        --outstanding;
        std::free(block);
    }
};

class SobolTest : public ::testing::TestWithParam<fakes::DriverBuild> {
protected:
    void SetUp() override { ASSERT_TRUE(sim.loaded()); }
    // Every use released what it loaded, library and scratch buffer.
    void TearDown() override {
        EXPECT_EQ(libraries.frees, libraries.loads.load());
        EXPECT_EQ(heap.outstanding, 0);
    }

    void configure(const std::string& settings) {
        sim.entry<void (*)(const char*)>("SbSimConfigure")(settings.c_str());
    }
    std::string log() { return sim.entry<const char* (*)()>("SbSimLog")(); }
    HwDataSource* open(const char* id = nullptr) {
        HwDataSource* s = nullptr;
        EXPECT_EQ(hwdsOpen(&s, "SOBOL", id), CE_OK);
        return s;
    }

    fakes::DriverFolder libraries{GetParam().folder};
    RecordingHeap heap;
    fakes::TestFramework framework{{.libraries = &libraries, .heap = &heap}};
    fakes::SimLibrary sim{GetParam().folder, "snellock.dll"};
};
SIM_DRIVER_SUITE(SobolTest);

TEST_P(SobolTest, OpenChecksTheIdentifierForFormThenTheCard) {
    struct Case {
        const char* id;
        const char* settings;
        CeResult result;
        const char* calls;
    };
    const char* probe = "sbisCard sbGetRand(32)";
    const Case cases[] = {
        {nullptr, "card=0", CE_HW_NOT_FOUND, "sbisCard"},
        {nullptr, "fail", CE_HW_NOT_FOUND, probe},
        {nullptr, "", CE_OK, probe},
        {"1F", "", CE_OK, probe},
        {"0x1f", "", CE_OK, probe},
        {"", "", CE_OK, probe},
        {" 1f", "", CE_OK, probe},
        {"1G", "", CE_BAD_PARAM, ""},
        {"12 ", "", CE_BAD_PARAM, ""},
        {" ", "", CE_BAD_PARAM, ""},
        {"0x", "", CE_BAD_PARAM, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.id ? c.id : "(null)") + " " + c.settings);
        configure(c.settings);
        const int loadsBefore = libraries.loads;
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "sobol", c.id), c.result);
        EXPECT_EQ(source != nullptr, c.result == CE_OK);
        if (source != nullptr) {
            EXPECT_EQ(source->id, nullptr) << "the identifier is not kept";
        }
        EXPECT_EQ(log(), c.calls);
        EXPECT_EQ(libraries.loads, loadsBefore + (*c.calls ? 1 : 0));
    }
    fakes::DriverFolder empty(std::string(GetParam().folder) + "/no-such-folder");
    fakes::TestFramework without({.libraries = &empty, .heap = &heap});
    HwDataSource* source = nullptr;
    EXPECT_EQ(hwdsOpen(&source, "SOBOL", nullptr), CE_HW_NOT_FOUND);
}

TEST_P(SobolTest, RequestAsksTheDriverForOneByteMoreIntoAZeroedScratchBuffer) {
    struct Case {
        const char* settings;
        uint32_t length;
        int32_t status;
    };
    const Case cases[] = {
        {"", 16, HWDS_OK},    {"", 0, HWDS_OK},          {"fail", 0, HWDS_FAILED}, {"zero", 16, HWDS_FAILED},
        {"zero", 0, HWDS_OK}, {"fail", 16, HWDS_FAILED}, {"", 1000, HWDS_OK},
    };
    configure("");
    HwDataSource* source = open();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.settings) + " " + std::to_string(c.length));
        configure(std::string("seed=99 ") + c.settings);
        heap.sizes.clear();
        const int loadsBefore = libraries.loads;
        Bytes data(c.length + 1, 0xA5);
        EXPECT_EQ(source->getRandom(data.data(), c.length), c.status);
        EXPECT_EQ(log(), "sbGetRand(" + std::to_string(c.length + 1) + ")");
        EXPECT_EQ(heap.sizes, std::vector<size_t>{c.length + 2});
        EXPECT_EQ(libraries.loads, loadsBefore + 1) << "loaded for every use";
        EXPECT_EQ(data.back(), 0xA5) << "written past the request";
        Bytes expected(c.length);  // the driver's first bytes, or on failure the zeroed scratch buffer
        simdrv::Xorshift rng(99);
        if (c.status == HWDS_OK) std::ranges::generate(expected, [&] { return rng.next(); });
        EXPECT_EQ(Bytes(data.begin(), data.end() - 1), expected);
    }
}

TEST_P(SobolTest, AnOpenSourceOutlivesItsCardAndWhatFailsBeforeTheDriverIsAsked) {
    configure("");
    HwDataSource* source = open();
    HwDataSource* second = open("1f");  // an identifier never finds a source
    EXPECT_NE(source, second);
    EXPECT_EQ(open(), second);
    configure("card=0");
    EXPECT_EQ(open(), second) << "found, not probed";
    EXPECT_EQ(log(), "");
    uint8_t data[8] = {};
    EXPECT_EQ(hwdsRandom(second, nullptr, data, sizeof data), CE_HW_FAIL);
    configure("");  // clears the log
    const int loadsBefore = libraries.loads;
    EXPECT_EQ(source->read(data, 1, 0), HWDS_NOT_SUPPORTED);
    EXPECT_EQ(source->write(data, 1, 0), HWDS_NOT_SUPPORTED);
    // Counts whose scratch size or bit count 32 bits cannot hold.
    for (uint32_t length : {0x1FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu})
        EXPECT_EQ(source->getRandom(data, length), HWDS_FAILED) << length;
    EXPECT_EQ(source->getRandom(nullptr, 4), HWDS_BAD_RANGE);
    heap.sizes.clear();
    heap.refuse = true;
    EXPECT_EQ(source->getRandom(data, 1), HWDS_FAILED);
    EXPECT_EQ(libraries.loads, loadsBefore);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(heap.sizes, std::vector<size_t>{3}) << "only the refused scratch buffer was asked for";
}

}  // namespace
