#include <gtest/gtest.h>

#include <vector>

#include "hwds/hwds.h"
#include "hwds/lifetime.h"
#include "tests/fakes/fake_mutexes.h"
#include "tests/fakes/test_framework.h"

namespace {

class OpenTest : public ::testing::Test {
protected:
    fakes::FakeMutexes mutexes;
    fakes::TestFramework framework{platform::Services{.mutexes = &mutexes}};
    HwDataSource* const sentinel = reinterpret_cast<HwDataSource*>(0x1234);

    HwDataSource* open(const char* type, const char* id) {
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, type, id), CE_OK) << type;
        return source;
    }
    static size_t listLength() {
        size_t n = 0;
        for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++n;
        return n;
    }
};

TEST(ResultCodes, NamesAndSourceTypesAreTheExternalVocabulary) {
    const std::pair<CeResult, const char*> names[] = {
        {0, "CE_OK"},       {19, "CE_CANCELED"}, {24, "CE_HW_NEED_INTERACTION"},
        {28, "CE_MAC_BAD"}, {29, nullptr},       {-1, nullptr},
    };
    for (auto [code, name] : names) EXPECT_STREQ(ceResultName(code), name) << code;
    const char* types[] = {"ACCORD", "SOBOL", "TUVAK", nullptr};
    for (uint32_t i = 0; i < 4; ++i) EXPECT_STREQ(hwdsSourceType(i), types[i]) << i;
}

TEST_F(OpenTest, TypeIgnoresCaseIdentifierIsAnOwnCopyComparedByteForByte) {
    char id[] = "AB12CD34E";
    HwDataSource* first = open("tuvak", id);
    id[0] = 'Q';
    EXPECT_STREQ(first->id, "AB12CD34E");
    EXPECT_EQ(open("TuVaK", "AB12CD34E"), first);
    EXPECT_STREQ(first->type, "TUVAK");
    EXPECT_STREQ(first->typeName(), "TUVAK");
    EXPECT_TRUE(first->providesRandom());
    EXPECT_TRUE(first->providesStorage());
    EXPECT_NE(open("TUVAK", "ab12cd34e"), first);

    // Null matches only null; empty is an identifier of its own.
    HwDataSource* none = open("TUVAK", nullptr);
    EXPECT_EQ(open("TUVAK", nullptr), none);
    EXPECT_EQ(none->id, nullptr);
    HwDataSource* empty = open("TUVAK", "");
    EXPECT_NE(empty, none);
    ASSERT_NE(empty->id, nullptr);
    EXPECT_STREQ(empty->id, "");
    EXPECT_EQ(listLength(), 4u);
}

TEST_F(OpenTest, BadArgumentsUnknownTypesAndARegistryLockNotTakenOpenNothing) {
    EXPECT_EQ(hwdsOpen(nullptr, "TUVAK", "X"), CE_BAD_PARAM);
    struct Case {
        const char* type;
        CeResult result;
        HwDataSource* out;
    };
    const Case cases[] = {
        {nullptr, CE_BAD_PARAM, sentinel},
        {"TUVAK2", CE_HW_NOT_SUPPORTED, nullptr},
        {"TUVA", CE_HW_NOT_SUPPORTED, nullptr},
        {"ACCORDS", CE_HW_NOT_SUPPORTED, nullptr},
        {"SOBO", CE_HW_NOT_SUPPORTED, nullptr},
        {"", CE_HW_NOT_SUPPORTED, nullptr},
        // The registry lock abandoned.
        {"TUVAK", CE_HW_FAIL_LOCK, sentinel},
    };
    for (const Case& c : cases) {
        if (c.result == CE_HW_FAIL_LOCK) mutexes.waitOutcome = platform::WaitResult::Abandoned;
        HwDataSource* out = sentinel;
        EXPECT_EQ(hwdsOpen(&out, c.type, "X"), c.result) << c.type;
        EXPECT_EQ(out, c.out) << c.type;
    }
    EXPECT_EQ(listLength(), 0u);
}

TEST_F(OpenTest, TeardownDestroysNewestFirstAndEmptiesTheList) {
    // The framework's start-up made the registry lock first.
    ASSERT_FALSE(mutexes.createdOrder().empty());
    const platform::MutexHandle registryLock = mutexes.createdOrder().front();
    std::vector<platform::MutexHandle> locks;
    for (const char* id : {"A", "B", "C"}) locks.push_back(open("TUVAK", id)->lock);
    // The registry lock and three sources.
    const int openBefore = mutexes.open();
    hwdsTeardown();
    EXPECT_EQ(hwdsOpenSources(), nullptr);
    EXPECT_EQ(mutexes.open(), openBefore - 4);
    EXPECT_EQ(mutexes.closedOrder(), (std::vector<platform::MutexHandle>{registryLock, locks[2], locks[1], locks[0]}));
    hwdsStartup();
}

TEST_F(OpenTest, ProcessExitClosesEveryLockTheStartUpMade) {
    open("TUVAK", "A");
    hwds::processExit();
    EXPECT_EQ(mutexes.open(), 0) << "the framework's and the source units' locks";
    hwds::processStartup();
}

TEST_F(OpenTest, RefusedLocks) {
    mutexes.refuseCreate = true;
    // A source whose lock was refused is created but cannot run.
    HwDataSource* source = open("TUVAK", "A");
    EXPECT_EQ(source->lock, platform::kNoMutex);
    uint8_t byte = 0;
    EXPECT_EQ(hwdsWrite(source, nullptr, &byte, 1, 0), CE_HW_FAIL_LOCK);
    // A registry lock refused at start-up fails every open.
    hwdsTeardown();
    hwdsStartup();
    HwDataSource* out = sentinel;
    EXPECT_EQ(hwdsOpen(&out, "TUVAK", "B"), CE_HW_FAIL_LOCK);
}

}  // namespace
