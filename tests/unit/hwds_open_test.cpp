#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/tuvak/hwtuvak.h"
#include "tests/fakes/fake_mutexes.h"
#include "tests/fakes/test_framework.h"

namespace {

class OpenTest : public ::testing::Test {
protected:
    fakes::FakeMutexes mutexes;
    fakes::TestFramework framework{{nullptr, nullptr, &mutexes, nullptr, nullptr, nullptr}};

    size_t listLength() const {
        size_t n = 0;
        for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++n;
        return n;
    }
};

TEST(ResultCodes, NamesAreTheExternalVocabulary) {
    EXPECT_STREQ(ceResultName(CE_OK), "CE_OK");
    EXPECT_STREQ(ceResultName(19), "CE_CANCELED");
    EXPECT_STREQ(ceResultName(24), "CE_HW_NEED_INTERACTION");
    EXPECT_STREQ(ceResultName(28), "CE_MAC_BAD");
    EXPECT_EQ(ceResultName(29), nullptr);
    EXPECT_EQ(ceResultName(-1), nullptr);
    for (int i = 0; i < CE_RESULT_COUNT; ++i) {
        ASSERT_NE(CE_RESULT_NAMES[i], nullptr);
        EXPECT_EQ(std::strncmp(CE_RESULT_NAMES[i], "CE_", 3), 0) << i;
    }
}

TEST_F(OpenTest, TypeNameIgnoresCaseAndFindsTheSameSource) {
    HwDataSource* first = nullptr;
    HwDataSource* second = nullptr;
    ASSERT_EQ(hwdsOpen(&first, "tuvak", "AB12CD34E"), CE_OK);
    ASSERT_EQ(hwdsOpen(&second, "TuVaK", "AB12CD34E"), CE_OK);
    EXPECT_EQ(first, second);
    EXPECT_EQ(listLength(), 1u);
    EXPECT_STREQ(first->type, "TUVAK");
    EXPECT_STREQ(first->typeName(), "TUVAK");
    EXPECT_TRUE(first->providesRandom());
    EXPECT_TRUE(first->providesStorage());
}

TEST_F(OpenTest, IdentifiersCompareByteForByte) {
    HwDataSource* upper = nullptr;
    HwDataSource* lower = nullptr;
    ASSERT_EQ(hwdsOpen(&upper, "TUVAK", "ABC"), CE_OK);
    ASSERT_EQ(hwdsOpen(&lower, "TUVAK", "abc"), CE_OK);
    EXPECT_NE(upper, lower);
    EXPECT_EQ(listLength(), 2u);
}

TEST_F(OpenTest, SourceKeepsItsOwnCopyOfTheIdentifier) {
    char id[] = "XYZ";
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", id), CE_OK);
    id[0] = 'Q';
    EXPECT_STREQ(source->id, "XYZ");
    EXPECT_NE(source->id, id);
    HwDataSource* again = nullptr;
    ASSERT_EQ(hwdsOpen(&again, "TUVAK", "XYZ"), CE_OK);
    EXPECT_EQ(again, source);
}

TEST_F(OpenTest, NullIdentifierMatchesOnlyNullAndEmptyIsNotNull) {
    HwDataSource* none = nullptr;
    HwDataSource* none2 = nullptr;
    HwDataSource* empty = nullptr;
    ASSERT_EQ(hwdsOpen(&none, "TUVAK", nullptr), CE_OK);
    ASSERT_EQ(hwdsOpen(&none2, "TUVAK", nullptr), CE_OK);
    ASSERT_EQ(hwdsOpen(&empty, "TUVAK", ""), CE_OK);
    EXPECT_EQ(none, none2);
    EXPECT_EQ(none->id, nullptr);
    EXPECT_NE(empty, none);
    ASSERT_NE(empty->id, nullptr);
    EXPECT_STREQ(empty->id, "");
}

TEST_F(OpenTest, NewSourceIsIdleWithEmptyCache) {
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "NOSUCHDEV"), CE_OK);  // nothing is touched yet
    auto* tuvak = static_cast<HwTuvak*>(source);
    EXPECT_EQ(tuvak->randomPos, TUVAK_RANDOM_EMPTY);
    EXPECT_EQ(tuvak->portHandle, platform::kInvalidPort);
    EXPECT_NE(tuvak->lock, platform::kNoMutex);
}

TEST_F(OpenTest, BadArgumentsAndUnknownTypes) {
    HwDataSource* sentinel = reinterpret_cast<HwDataSource*>(0x1234);
    HwDataSource* out = sentinel;
    EXPECT_EQ(hwdsOpen(&out, nullptr, "X"), CE_BAD_PARAM);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(hwdsOpen(nullptr, "TUVAK", "X"), CE_BAD_PARAM);

    for (const char* type : {"TUVAK2", "TUVA", "ACCORDS", "SOBO", ""}) {
        out = sentinel;
        EXPECT_EQ(hwdsOpen(&out, type, nullptr), CE_HW_NOT_SUPPORTED) << type;
        EXPECT_EQ(out, nullptr) << type;
    }
    EXPECT_EQ(listLength(), 0u);
}

TEST_F(OpenTest, TeardownDestroysNewestFirstAndEmptiesTheList) {
    std::vector<platform::MutexHandle> locks;
    for (const char* id : {"A", "B", "C"}) {
        HwDataSource* source = nullptr;
        ASSERT_EQ(hwdsOpen(&source, "TUVAK", id), CE_OK);
        locks.push_back(source->lock);
    }
    const int openBefore = mutexes.open();  // the registry lock and three sources
    hwdsTeardown();
    EXPECT_EQ(hwdsOpenSources(), nullptr);
    EXPECT_EQ(mutexes.open(), openBefore - 4);
    const std::vector<platform::MutexHandle> closed = mutexes.closedOrder();
    ASSERT_EQ(closed.size(), 4u);
    // Registry lock first, then C, B, A.
    EXPECT_EQ(std::vector<platform::MutexHandle>(closed.begin() + 1, closed.end()),
              (std::vector<platform::MutexHandle>{locks[2], locks[1], locks[0]}));
    hwdsStartup();
}

TEST_F(OpenTest, RegistryLockThatCannotBeTakenFailsTheOpen) {
    mutexes.waitOutcome = platform::WaitResult::Abandoned;
    HwDataSource* sentinel = reinterpret_cast<HwDataSource*>(0x1234);
    HwDataSource* out = sentinel;
    EXPECT_EQ(hwdsOpen(&out, "TUVAK", "A"), CE_HW_FAIL_LOCK);
    EXPECT_EQ(out, sentinel);
    EXPECT_EQ(listLength(), 0u);
    mutexes.waitOutcome = platform::WaitResult::Acquired;

    // A registry lock the system refused at start-up fails every open.
    mutexes.refuseCreate = true;
    hwdsTeardown();
    hwdsStartup();
    EXPECT_EQ(hwdsOpen(&out, "TUVAK", "A"), CE_HW_FAIL_LOCK);
}

TEST_F(OpenTest, SourceWhoseLockWasRefusedIsStillCreated) {
    HwDataSource* source = nullptr;
    mutexes.refuseCreate = true;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "A"), CE_OK);
    EXPECT_EQ(source->lock, platform::kNoMutex);
    uint8_t byte = 0;
    EXPECT_EQ(hwdsWrite(source, nullptr, &byte, 1, 0), CE_HW_FAIL_LOCK);
}

}  // namespace
