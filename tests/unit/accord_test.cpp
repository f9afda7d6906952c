// The Touch Memory source over the simulated tmdrv32 library, loaded by the
// real loader, in each calling convention built: the driver calls page by page.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "hwds/accord/hwaccord.h"
#include "hwds/accord/tm_driver.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;

class AccordTest : public ::testing::TestWithParam<fakes::DriverBuild> {
protected:
    void SetUp() override { ASSERT_TRUE(sim.loaded()); }
    void TearDown() override { tmDriverUnload(); }

    void configure(const std::string& settings) {
        sim.entry<void (*)(const char*)>("TmSimConfigure")(settings.c_str());
    }
    std::string log() { return sim.entry<const char* (*)()>("TmSimLog")(); }
    void clearLog() { sim.entry<void (*)()>("TmSimClearLog")(); }
    Bytes page(uint32_t number) {
        Bytes buf(TM_PAGE_BUFFER);
        sim.entry<void (*)(uint32_t, unsigned char*)>("TmSimPeek")(number, buf.data());
        return buf;
    }
    HwDataSource* open(const char* option = nullptr) {
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "ACCORD", option), CE_OK);
        return source;
    }

    fakes::DriverFolder libraries{GetParam().folder};
    fakes::TestFramework framework{{.libraries = &libraries}};
    fakes::SimLibrary sim{GetParam().folder, "tmdrv32.dll"};
};
SIM_DRIVER_SUITE(AccordTest);

TEST_P(AccordTest, OptionIsUncheckedReadInAnyCaseOrNothing) {
    configure("");
    struct Case {
        const char* id;
        CeResult result;
        bool checked;
    };
    const Case cases[] = {
        {nullptr, CE_OK, true},           {"unchecked-read", CE_OK, false}, {"UnChecked-READ", CE_OK, false},
        {"checked", CE_BAD_PARAM, false}, {"", CE_BAD_PARAM, false},        {"unchecked-read ", CE_BAD_PARAM, false},
    };
    for (const Case& c : cases) {
        tmDriverUnload();
        const int loadsBefore = libraries.loads;
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "accord", c.id), c.result) << (c.id ? c.id : "(null)");
        EXPECT_EQ(libraries.loads, loadsBefore + (c.result == CE_OK)) << "the driver is loaded for a good option only";
        if (c.result != CE_OK) {
            EXPECT_EQ(source, nullptr);
            continue;
        }
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(static_cast<HwAccord*>(source)->checkedRead, c.checked);
        EXPECT_EQ(source->id, nullptr) << "the option is not kept";
    }
}

TEST_P(AccordTest, DriverIsLoadedOnceAndAskedAtEveryOpen) {
    configure("driver=0");
    HwDataSource* source = nullptr;
    EXPECT_EQ(hwdsOpen(&source, "ACCORD", nullptr), CE_HW_NOT_FOUND);
    EXPECT_EQ(hwdsOpen(&source, "ACCORD", nullptr), CE_HW_NOT_FOUND);
    EXPECT_EQ(source, nullptr);
    EXPECT_EQ(log(), "TmDriverPresent TmDriverPresent");
    configure("");
    HwDataSource* checked = open();
    HwDataSource* unchecked = open("unchecked-read");
    EXPECT_NE(checked, unchecked);
    EXPECT_EQ(open(), unchecked);  // a null option finds the most recent source; an option never finds one
    EXPECT_NE(open("unchecked-read"), unchecked);
    EXPECT_EQ(log(), "TmDriverPresent TmDriverPresent TmDriverPresent");
    EXPECT_EQ(libraries.loads, 1);
    EXPECT_EQ(libraries.frees, 0) << "a loaded driver stays loaded";
}

TEST_P(AccordTest, MissingOrIncompleteLibraryFailsTheOpen) {
    // An incomplete library (no TmCheckWritePage) is released each time; a missing one was never held.
    struct Case {
        std::string folder;
        CeResult result;
        int frees;
    };
    const Case cases[] = {{std::string(GetParam().folder) + "/no-such-folder", CE_HW_NOT_FOUND, 0},
                          {GetParam().broken, CE_CODE_CORRUPTED, 2}};
    for (const Case& c : cases) {
        fakes::DriverFolder folder(c.folder);
        fakes::TestFramework own({.libraries = &folder});
        for (int attempt = 1; attempt <= 2; ++attempt) {
            HwDataSource* source = nullptr;
            EXPECT_EQ(hwdsOpen(&source, "ACCORD", nullptr), c.result) << c.folder;
            EXPECT_EQ(source, nullptr);
            EXPECT_EQ(folder.loads, attempt) << "every open tries the load again";
        }
        EXPECT_EQ(hwdsOpenSources(), nullptr);
        EXPECT_EQ(folder.frees, c.frees) << c.folder;
        tmDriverUnload();
    }
}

// Every read and write asks for the key and its family, then for the key again before each page.
#define PROLOGUE "TmPresent TmGetId"

TEST_P(AccordTest, PagesAndDriverCallsForEachFamilyAndFailure) {
    struct Case {
        std::string settings;
        bool write;
        uint32_t offset;
        uint32_t length;
        bool unchecked;
        int32_t status;
        const char* calls;
    };
    const Case cases[] = {
        // Four pages from page 0.
        {.settings = "family=8",
         .write = false,
         .offset = 0,
         .length = 120,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE
         " TmPresent TmCheckReadPage(0) TmPresent TmCheckReadPage(1) TmPresent TmCheckReadPage(2) TmPresent "
         "TmCheckReadPage(3)"},
        {.settings = "family=8",
         .write = false,
         .offset = 120,
         .length = 1,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        {.settings = "family=8",
         .write = false,
         .offset = 120,
         .length = 0,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE},
        {.settings = "family=8",
         .write = false,
         .offset = 121,
         .length = 0,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        {.settings = "family=8",
         .write = false,
         .offset = 0xFFFFFFFF,
         .length = 2,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        // 0x06: sixteen pages from page 4; partly replaced pages are read first.
        {.settings = "family=6",
         .write = true,
         .offset = 25,
         .length = 10,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE
         " TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckReadPage(5) TmCheckWritePage(5)"},
        {.settings = "family=6",
         .write = true,
         .offset = 30,
         .length = 30,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmCheckWritePage(5)"},
        {.settings = "family=6",
         .write = true,
         .offset = 30,
         .length = 29,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(5) TmCheckWritePage(5)"},
        {.settings = "family=6",
         .write = true,
         .offset = 25,
         .length = 10,
         .unchecked = true,
         .status = HWDS_OK,
         .calls =
             PROLOGUE " TmPresent TmRawReadPage(4) TmCheckWritePage(4) TmPresent TmRawReadPage(5) TmCheckWritePage(5)"},
        {.settings = "family=6",
         .write = false,
         .offset = 479,
         .length = 1,
         .unchecked = true,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmRawReadPage(19)"},
        {.settings = "family=6",
         .write = false,
         .offset = 479,
         .length = 2,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        {.settings = "family=10",
         .write = false,
         .offset = 1919,
         .length = 1,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(67)"},
        {.settings = "family=10",
         .write = true,
         .offset = 1890,
         .length = 31,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        // 0x0C: page numbers are 8-bit; a span past page 255 is refused before any page.
        {.settings = "family=12",
         .write = false,
         .offset = 7530,
         .length = 30,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(255)"},
        {.settings = "family=12",
         .write = false,
         .offset = 7559,
         .length = 2,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        {.settings = "family=12",
         .write = true,
         .offset = 7560,
         .length = 1,
         .unchecked = false,
         .status = HWDS_BAD_RANGE,
         .calls = PROLOGUE},
        {.settings = "family=12",
         .write = true,
         .offset = 7560,
         .length = 0,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE},
        // Nothing to reach at the end of all 256 pages is no span past page 255.
        {.settings = "family=12",
         .write = false,
         .offset = 7680,
         .length = 0,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE},
        {.settings = "family=9",
         .write = false,
         .offset = 0,
         .length = 1,
         .unchecked = false,
         .status = HWDS_NOT_SUPPORTED,
         .calls = PROLOGUE},
        {.settings = "family=9",
         .write = true,
         .offset = 0,
         .length = 1,
         .unchecked = false,
         .status = HWDS_NOT_SUPPORTED,
         .calls = PROLOGUE},
        // The key and the driver failing, across pages 4 to 6.
        {.settings = "present=0",
         .write = false,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_NOT_PRESENT,
         .calls = "TmPresent"},
        {.settings = "present=0",
         .write = true,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_NOT_PRESENT,
         .calls = "TmPresent"},
        {.settings = "family=6 fail-id",
         .write = false,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_IO_ERROR,
         .calls = PROLOGUE},
        {.settings = "family=6 remove-after=1",
         .write = false,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_IO_ERROR,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(4) TmPresent"},
        {.settings = "family=6 fail-read=5",
         .write = false,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_IO_ERROR,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(4) TmPresent TmCheckReadPage(5)"},
        {.settings = "family=6 fail-write=5",
         .write = true,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_IO_ERROR,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckWritePage(5)"},
        // Only the low 16 bits of a status tell failure.
        {.settings = "family=6 ok-status=0x70000",
         .write = true,
         .offset = 25,
         .length = 40,
         .unchecked = false,
         .status = HWDS_OK,
         .calls = PROLOGUE " TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckWritePage(5)"
                           " TmPresent TmCheckReadPage(6) TmCheckWritePage(6)"},
    };
    configure("");
    HwDataSource* checked = open();
    HwDataSource* unchecked = open("unchecked-read");
    ASSERT_TRUE(checked && unchecked);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings + (c.write ? " write " : " read ") + std::to_string(c.offset) + "+" +
                     std::to_string(c.length));
        configure(c.settings);
        HwDataSource* source = c.unchecked ? unchecked : checked;
        Bytes buffer(c.length, 0x5A);
        EXPECT_EQ(c.write ? source->write(buffer.data(), c.length, c.offset)
                          : source->read(buffer.data(), c.length, c.offset),
                  c.status);
        EXPECT_EQ(log(), c.calls);
    }
    // The buffer check comes first, but an empty request still asks for the key.
    configure("family=6");
    EXPECT_EQ(std::pair(checked->read(nullptr, 1, 0), checked->write(nullptr, 1, 0)),
              std::pair(HWDS_BAD_RANGE, HWDS_BAD_RANGE));
    EXPECT_EQ(log(), "");
    EXPECT_EQ(checked->read(nullptr, 0, 0), HWDS_OK);
    EXPECT_EQ(log(), PROLOGUE);
    configure("family=9");
    EXPECT_EQ(checked->write(nullptr, 0, 0), HWDS_NOT_SUPPORTED);
}

TEST_P(AccordTest, RandomBytesAndTheAllZeroRule) {
    struct Case {
        const char* settings;
        uint32_t length;
        int32_t status;
    };
    const Case cases[] = {
        {"", 64, HWDS_OK},
        {"family=9 present=0", 16, HWDS_OK},  // neither the key nor its family matter
        {"", 0, HWDS_OK},
        {"zero-random", 16, HWDS_FAILED},
        {"zero-random", 0, HWDS_OK},
        {"fail-random", 16, HWDS_FAILED},
        {"fail-random", 0, HWDS_FAILED},
    };
    for (const Case& c : cases) {
        configure(c.settings);
        HwDataSource* source = open();
        clearLog();
        Bytes data(c.length + 1, 0);
        EXPECT_EQ(source->getRandom(data.data(), c.length), c.status) << c.settings << " " << c.length;
        EXPECT_EQ(log(), "TmGetRandomBytes(" + std::to_string(c.length) + ")");
        EXPECT_EQ(data.back(), 0) << "written past the request";
    }
}

TEST_P(AccordTest, SizeIsWhatEightBitPageNumbersReachOfTheFamilysPages) {
    const std::pair<const char*, std::pair<CeResult, uint32_t>> cases[] = {
        {"family=8", {CE_OK, 120}},
        {"family=6", {CE_OK, 480}},
        {"family=10", {CE_OK, 1920}},
        {"family=12", {CE_OK, 7560}},
        {"family=9", {CE_HW_OP_NOT_SUPPORTED, 7}},
        {"present=0", {CE_HW_NEED_INTERACTION, 7}},
    };
    HwDataSource* source = open();
    for (const auto& [settings, expected] : cases) {
        configure(settings);
        uint32_t size = 7;
        EXPECT_EQ(std::pair(hwdsMemorySize(source, nullptr, &size), size), expected) << settings;
        EXPECT_EQ(log(), std::string(settings) == "present=0" ? "TmPresent" : PROLOGUE) << settings;
    }
}

}  // namespace
