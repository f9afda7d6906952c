// The random card source over the simulated snellock library, loaded by the
// real loader for every use.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "hwds/sobol/hwsobol.h"
#include "sim/drivers/sim_driver.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The process heap, with a record of what was asked of it.
class RecordingHeap : public platform::Heap {
public:
    bool refuse = false;
    std::vector<size_t> sizes;
    int outstanding = 0;

    void* allocate(std::size_t bytes) override {
        sizes.push_back(bytes);
        if (refuse) return nullptr;
        ++outstanding;
        return std::calloc(bytes, 1);
    }
    void release(void* block) override {
        --outstanding;
        std::free(block);
    }
};

class SobolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.loaded()); }

    void configure(const std::string& settings) { sim.entry<void (*)(const char*)>("SbSimConfigure")(settings.c_str()); }
    std::string log() { return sim.entry<const char* (*)()>("SbSimLog")(); }
    HwDataSource* open(const char* id = nullptr) {
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "SOBOL", id), CE_OK);
        return source;
    }

    fakes::DriverFolder libraries{SIM_DRIVERS_DIR};
    RecordingHeap heap;
    fakes::TestFramework framework{{.libraries = &libraries, .heap = &heap}};
    fakes::SimLibrary sim{SIM_DRIVERS_DIR, "snellock.dll"};
};

TEST_F(SobolTest, IdentifierIsCheckedForFormOnly) {
    struct Case {
        const char* id;
        CeResult result;
    };
    const Case cases[] = {
        {nullptr, CE_OK}, {"1F", CE_OK},         {"0x1f", CE_OK},        {"", CE_OK},
        {" 1f", CE_OK},   {"1G", CE_BAD_PARAM}, {"12 ", CE_BAD_PARAM}, {" ", CE_BAD_PARAM},
        {"0x", CE_BAD_PARAM},
    };
    for (const Case& c : cases) {
        configure("");
        const int loadsBefore = libraries.loads;
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "sobol", c.id), c.result) << (c.id ? c.id : "(null)");
        if (c.result == CE_OK) {
            ASSERT_NE(source, nullptr);
            EXPECT_EQ(source->id, nullptr) << "the identifier is not kept";
            EXPECT_EQ(log(), "sbisCard sbGetRand(32)");
            EXPECT_EQ(libraries.loads, loadsBefore + 1);
        } else {
            EXPECT_EQ(source, nullptr);
            EXPECT_EQ(libraries.loads, loadsBefore) << "the driver is not touched";
        }
        EXPECT_EQ(libraries.frees, libraries.loads.load());
    }
}

TEST_F(SobolTest, CardMustAnswerAndDeliverTheTestRequest) {
    struct Case {
        const char* settings;
        const char* calls;
    };
    const Case cases[] = {
        {"card=0", "sbisCard"},
        {"fail", "sbisCard sbGetRand(32)"},
    };
    for (const Case& c : cases) {
        configure(c.settings);
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "SOBOL", nullptr), CE_HW_NOT_FOUND) << c.settings;
        EXPECT_EQ(source, nullptr);
        EXPECT_EQ(log(), c.calls);
    }
    EXPECT_EQ(libraries.frees, libraries.loads.load());
    EXPECT_EQ(hwdsOpenSources(), nullptr);

    fakes::DriverFolder empty(SIM_DRIVERS_DIR "/no-such-folder");
    fakes::TestFramework without({.libraries = &empty, .heap = &heap});
    HwDataSource* source = nullptr;
    EXPECT_EQ(hwdsOpen(&source, "SOBOL", nullptr), CE_HW_NOT_FOUND);
}

TEST_F(SobolTest, RequestAsksTheDriverForOneByteMoreIntoAZeroedScratchBuffer) {
    configure("seed=99");
    HwDataSource* source = open();
    configure("seed=99");  // the request's bytes are the sim's first block again
    heap.sizes.clear();
    const int loadsBefore = libraries.loads;

    Bytes data(17, 0);
    ASSERT_EQ(hwdsRandom(source, nullptr, data.data(), 16), CE_OK);
    EXPECT_EQ(log(), "sbGetRand(17)");
    EXPECT_EQ(heap.sizes, std::vector<size_t>{18});
    EXPECT_EQ(heap.outstanding, 0);
    EXPECT_EQ(libraries.loads, loadsBefore + 1);
    EXPECT_EQ(libraries.frees, libraries.loads.load());
    simdrv::Xorshift expected(99);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(data[i], expected.next()) << i;
    EXPECT_EQ(data[16], 0) << "written past the request";
}

TEST_F(SobolTest, RequestOutcomes) {
    struct Case {
        const char* settings;
        uint32_t length;
        int32_t status;
    };
    const Case cases[] = {
        {"", 0, HWDS_OK},           {"fail", 0, HWDS_FAILED},   {"zero", 16, HWDS_FAILED},
        {"zero", 0, HWDS_OK},       {"fail", 16, HWDS_FAILED}, {"", 1000, HWDS_OK},
    };
    configure("");
    HwDataSource* source = open();
    for (const Case& c : cases) {
        configure(c.settings);
        Bytes data(c.length + 1, 0xA5);
        EXPECT_EQ(source->getRandom(data.data(), c.length), c.status) << c.settings << " " << c.length;
        EXPECT_EQ(log(), "sbGetRand(" + std::to_string(c.length + 1) + ")");
        if (c.status != HWDS_OK) {  // the zeroed scratch buffer is what the caller gets
            for (uint32_t i = 0; i < c.length; ++i) ASSERT_EQ(data[i], 0) << c.settings;
        }
        EXPECT_EQ(data.back(), 0xA5) << "written past the request";
    }
    EXPECT_EQ(heap.outstanding, 0);
    EXPECT_EQ(libraries.frees, libraries.loads.load());
}

TEST_F(SobolTest, WhatFailsBeforeTheDriverIsAsked) {
    configure("");
    HwDataSource* source = open();
    configure("");
    const int loadsBefore = libraries.loads;
    uint8_t byte = 0;
    EXPECT_EQ(source->read(&byte, 1, 0), HWDS_NOT_SUPPORTED);
    EXPECT_EQ(source->write(&byte, 1, 0), HWDS_NOT_SUPPORTED);
    EXPECT_EQ(hwdsWrite(source, nullptr, &byte, 1, 0), CE_HW_OP_NOT_SUPPORTED);
    // Counts whose scratch size or bit count 32 bits cannot hold.
    for (uint32_t length : {0x1FFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu})
        EXPECT_EQ(source->getRandom(&byte, length), HWDS_FAILED) << length;
    EXPECT_EQ(source->getRandom(nullptr, 4), HWDS_BAD_RANGE);
    heap.refuse = true;
    EXPECT_EQ(source->getRandom(&byte, 1), HWDS_FAILED);
    EXPECT_EQ(libraries.loads, loadsBefore);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(heap.sizes, std::vector<size_t>{3}) << "only the refused scratch buffer was asked for";
}

TEST_F(SobolTest, AnOpenSourceOutlivesItsCard) {
    configure("");
    HwDataSource* first = open();
    HwDataSource* second = open("1f");  // an identifier never finds a source
    EXPECT_NE(first, second);
    EXPECT_EQ(open(), second);
    configure("card=0");
    HwDataSource* again = nullptr;
    EXPECT_EQ(hwdsOpen(&again, "SOBOL", nullptr), CE_OK) << "found, not probed";
    EXPECT_EQ(log(), "");
    uint8_t data[8] = {};
    EXPECT_EQ(hwdsRandom(again, nullptr, data, sizeof data), CE_HW_FAIL);
}

}  // namespace
