// The Touch Memory source over the simulated tmdrv32 library, loaded by the
// real loader, in each calling convention built: what the source asks the
// driver, page by page, and what it makes of the answers.
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

    void configure(const std::string& settings) { sim.entry<void (*)(const char*)>("TmSimConfigure")(settings.c_str()); }
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
    struct Case { const char* id; CeResult result; bool checked; };
    const Case cases[] = {
        {nullptr, CE_OK, true},         {"unchecked-read", CE_OK, false},   {"UnChecked-READ", CE_OK, false},
        {"checked", CE_BAD_PARAM, false}, {"", CE_BAD_PARAM, false}, {"unchecked-read ", CE_BAD_PARAM, false},
    };
    for (const Case& c : cases) {
        tmDriverUnload();
        const int loadsBefore = libraries.loads;
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "accord", c.id), c.result) << (c.id ? c.id : "(null)");
        if (c.result != CE_OK) {
            EXPECT_EQ(source, nullptr);
            EXPECT_EQ(libraries.loads, loadsBefore) << "the driver is not loaded for a bad option";
            continue;
        }
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(static_cast<HwAccord*>(source)->checkedRead, c.checked);
        EXPECT_EQ(source->id, nullptr) << "the option is not kept";
        EXPECT_STREQ(source->type, "ACCORD");
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
    // A null option finds the most recent source; an option never finds one.
    EXPECT_EQ(open(), unchecked);
    EXPECT_NE(open("unchecked-read"), unchecked);
    EXPECT_EQ(log(), "TmDriverPresent TmDriverPresent TmDriverPresent");
    EXPECT_EQ(libraries.loads, 1);
    EXPECT_EQ(libraries.frees, 0) << "a loaded driver stays loaded";
}

TEST_P(AccordTest, MissingOrIncompleteLibraryFailsTheOpen) {
    struct Case { std::string folder; CeResult result; int frees; };
    // An incomplete library (no TmCheckWritePage) is released each time; a
    // missing one was never held.
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

// Every read and write asks for the key and its family first, then for the
// key again before each page.
constexpr const char* kPrologue = "TmPresent TmGetId";

TEST_P(AccordTest, PagesAndDriverCallsForEachFamily) {
    struct Case { int family; bool write; uint32_t offset, length; bool unchecked; int32_t status; std::string calls; };
    const Case cases[] = {
        // 0x08: four pages from page 0.
        {0x08, false, 0, 120, false, HWDS_OK,
         " TmPresent TmCheckReadPage(0) TmPresent TmCheckReadPage(1) TmPresent TmCheckReadPage(2)"
         " TmPresent TmCheckReadPage(3)"},
        {0x08, false, 120, 1, false, HWDS_BAD_RANGE, ""}, {0x08, false, 120, 0, false, HWDS_OK, ""},
        {0x08, false, 121, 0, false, HWDS_BAD_RANGE, ""},
        {0x08, false, 0xFFFFFFFF, 2, false, HWDS_BAD_RANGE, ""},  // no wrap-around of the sum
        // 0x06: sixteen pages from page 4; partly replaced pages are read first.
        {0x06, true, 25, 10, false, HWDS_OK,
         " TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckReadPage(5) TmCheckWritePage(5)"},
        {0x06, true, 30, 30, false, HWDS_OK, " TmPresent TmCheckWritePage(5)"},
        {0x06, true, 30, 29, false, HWDS_OK, " TmPresent TmCheckReadPage(5) TmCheckWritePage(5)"},
        {0x06, true, 25, 10, true, HWDS_OK,
         " TmPresent TmRawReadPage(4) TmCheckWritePage(4) TmPresent TmRawReadPage(5) TmCheckWritePage(5)"},
        {0x06, false, 479, 1, true, HWDS_OK, " TmPresent TmRawReadPage(19)"},
        {0x06, false, 479, 2, false, HWDS_BAD_RANGE, ""},
        // 0x0A: sixty-four pages from page 4.
        {0x0A, false, 1919, 1, false, HWDS_OK, " TmPresent TmCheckReadPage(67)"},
        {0x0A, true, 1890, 31, false, HWDS_BAD_RANGE, ""},
        // 0x0C: page numbers are 8-bit; a span past page 255 is refused before any page.
        {0x0C, false, 7530, 30, false, HWDS_OK, " TmPresent TmCheckReadPage(255)"},
        {0x0C, false, 7559, 2, false, HWDS_BAD_RANGE, ""}, {0x0C, true, 7560, 1, false, HWDS_BAD_RANGE, ""},
        {0x0C, true, 7560, 0, false, HWDS_OK, ""},
        // A family that is not known.
        {0x09, false, 0, 1, false, HWDS_NOT_SUPPORTED, ""}, {0x09, true, 0, 1, false, HWDS_NOT_SUPPORTED, ""},
    };
    configure("");
    HwDataSource* checked = open();
    HwDataSource* unchecked = open("unchecked-read");
    ASSERT_TRUE(checked && unchecked);
    for (const Case& c : cases) {
        configure("family=" + std::to_string(c.family));
        HwDataSource* source = c.unchecked ? unchecked : checked;
        Bytes buffer(c.length, 0x5A);
        const int32_t status = c.write ? source->write(buffer.data(), c.length, c.offset)
                                       : source->read(buffer.data(), c.length, c.offset);
        SCOPED_TRACE("case " + std::to_string(&c - cases));
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(log(), kPrologue + c.calls);
    }
}

TEST_P(AccordTest, PartialWritesKeepTheRestOfEveryPage) {
    configure("family=0x06 fill=0xEE");
    HwDataSource* source = open();
    Bytes data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    // Bytes 25..64: the end of page 4, all of page 5, the start of page 6.
    ASSERT_EQ(source->write(data.data(), 40, 25), HWDS_OK);
    Bytes expect[3] = {Bytes(TM_PAGE_BUFFER, 0xEE), Bytes(TM_PAGE_BUFFER, 0xEE), Bytes(TM_PAGE_BUFFER, 0xEE)};
    std::memcpy(expect[0].data() + 25, data.data(), 5);
    std::memcpy(expect[1].data(), data.data() + 5, 30);
    std::memcpy(expect[2].data(), data.data() + 35, 5);
    for (uint32_t p = 0; p < 3; ++p) EXPECT_EQ(page(4 + p), expect[p]) << "page " << 4 + p;

    Bytes back(42);
    ASSERT_EQ(source->read(back.data(), 42, 24), HWDS_OK);
    EXPECT_EQ(back.front(), 0xEE);
    EXPECT_EQ(Bytes(back.begin() + 1, back.end() - 1), data);
    EXPECT_EQ(back.back(), 0xEE);
}

TEST_P(AccordTest, KeyAndDriverFailures) {
    struct Case { const char* settings; bool write; int32_t status; const char* calls; };
    const Case cases[] = {
        {"present=0", false, HWDS_NOT_PRESENT, "TmPresent"},
        {"present=0", true, HWDS_NOT_PRESENT, "TmPresent"},
        {"fail-id", false, HWDS_IO_ERROR, "TmPresent TmGetId"},
        // Taken away after the first page of a three-page read.
        {"remove-after=1", false, HWDS_IO_ERROR, "TmPresent TmGetId TmPresent TmCheckReadPage(4) TmPresent"},
        {"fail-read=5", false, HWDS_IO_ERROR,
         "TmPresent TmGetId TmPresent TmCheckReadPage(4) TmPresent TmCheckReadPage(5)"},
        {"fail-write=5", true, HWDS_IO_ERROR,
         "TmPresent TmGetId TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckWritePage(5)"},
        // Only the low 16 bits of a status tell failure.
        {"ok-status=0x70000", true, HWDS_OK,
         "TmPresent TmGetId TmPresent TmCheckReadPage(4) TmCheckWritePage(4) TmPresent TmCheckWritePage(5)"
         " TmPresent TmCheckReadPage(6) TmCheckWritePage(6)"},
    };
    for (const Case& c : cases) {
        configure(std::string("family=6 fill=0xEE ") + c.settings);
        HwDataSource* source = open();
        clearLog();
        Bytes data(40, 0x11);
        const int32_t status = c.write ? source->write(data.data(), 40, 25) : source->read(data.data(), 40, 25);
        EXPECT_EQ(status, c.status) << c.settings;
        EXPECT_EQ(log(), c.calls) << c.settings;
    }
    // The failed write of page 5 (the last case but one) left page 4 written
    // and page 6 untouched.
    configure("family=6 fill=0xEE fail-write=5");
    Bytes data(40, 0x11);
    ASSERT_EQ(open()->write(data.data(), 40, 25), HWDS_IO_ERROR);
    EXPECT_EQ(page(4)[29], 0x11);
    EXPECT_EQ(page(5)[0], 0xEE);
    EXPECT_EQ(page(6)[0], 0xEE);
}

TEST_P(AccordTest, BufferCheckComesFirstButAnEmptyRequestStillAsksForTheKey) {
    configure("family=6");
    HwDataSource* source = open();
    clearLog();
    EXPECT_EQ(source->read(nullptr, 1, 0), HWDS_BAD_RANGE);
    EXPECT_EQ(source->write(nullptr, 1, 0), HWDS_BAD_RANGE);
    EXPECT_EQ(log(), "");
    EXPECT_EQ(source->read(nullptr, 0, 0), HWDS_OK);
    EXPECT_EQ(log(), kPrologue);
    configure("family=9");
    EXPECT_EQ(source->write(nullptr, 0, 0), HWDS_NOT_SUPPORTED);
}

TEST_P(AccordTest, RandomBytesAndTheAllZeroRule) {
    struct Case { const char* settings; uint32_t length; int32_t status; };
    const Case cases[] = {
        {"", 64, HWDS_OK},           {"family=9 present=0", 16, HWDS_OK},  // neither the key nor its family matter
        {"", 0, HWDS_OK},            {"zero-random", 16, HWDS_FAILED},      {"zero-random", 0, HWDS_OK},
        {"fail-random", 16, HWDS_FAILED}, {"fail-random", 0, HWDS_FAILED},
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

TEST_P(AccordTest, RunnerAsksForTheKeyWithTheSourcesTypeAndNoIdentifier) {
    configure("present=0");
    HwDataSource* source = open();
    std::vector<std::string> seen;  // type, identifier and prompt of every question
    HWDSInteraction cancel{nullptr,
                           [](void* user, const char* type, const char* id, int32_t, int32_t code) {
                               static_cast<std::vector<std::string>*>(user)->push_back(
                                   std::string(type) + " " + (id ? id : "(null)") + " " + std::to_string(code));
                               return HWDS_ANSWER_CANCEL;
                           },
                           nullptr, &seen};
    uint8_t byte = 0;
    EXPECT_EQ(hwdsRead(source, &cancel, &byte, 1, 0), CE_CANCELED);
    EXPECT_EQ(seen, (std::vector<std::string>{"ACCORD (null) " + std::to_string(HWDS_PROMPT_NOT_PRESENT),
                                              "ACCORD (null) " + std::to_string(HWDS_PROMPT_END)}));
}

TEST_P(AccordTest, SizeIsWhatEightBitPageNumbersReachOfTheFamilysPages) {
    const std::pair<const char*, std::pair<CeResult, uint32_t>> cases[] = {
        {"family=8", {CE_OK, 120}},     {"family=6", {CE_OK, 480}},
        {"family=10", {CE_OK, 1920}},   {"family=12", {CE_OK, 7560}},
        {"family=9", {CE_HW_OP_NOT_SUPPORTED, 7}}, {"present=0", {CE_HW_NEED_INTERACTION, 7}},
    };
    HwDataSource* source = open();
    for (const auto& [settings, expected] : cases) {
        configure(settings);
        uint32_t size = 7;
        EXPECT_EQ(std::pair(hwdsMemorySize(source, nullptr, &size), size), expected) << settings;
        EXPECT_EQ(log(), std::string(settings) == "present=0" ? "TmPresent" : kPrologue) << settings;
    }
}

}  // namespace
