#include <gtest/gtest.h>

#include <vector>

#include "hwds/hwds.h"
#include "hwds/tuvak/hwtuvak.h"
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
    size_t listLength() const {
        size_t n = 0;
        for (HwDataSource* s = hwdsOpenSources(); s; s = s->next) ++n;
        return n;
    }
};

TEST(ResultCodes, NamesAndSourceTypesAreTheExternalVocabulary) {
    const std::pair<CeResult, const char*> names[] = {
        {0, "CE_OK"}, {19, "CE_CANCELED"}, {24, "CE_HW_NEED_INTERACTION"}, {28, "CE_MAC_BAD"},
        {29, nullptr}, {-1, nullptr},
    };
    for (auto [code, name] : names) EXPECT_STREQ(ceResultName(code), name) << code;
    for (auto [index, type] : std::vector<std::pair<uint32_t, const char*>>{
             {0, "ACCORD"}, {1, "SOBOL"}, {2, "TUVAK"}, {3, nullptr}})
        EXPECT_STREQ(hwdsSourceType(index), type) << index;
}

TEST_F(OpenTest, TypeIgnoresCaseIdentifierComparesByteForByte) {
    HwDataSource* first = open("tuvak", "AB12CD34E");
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
    EXPECT_STREQ(empty->id, "");
    EXPECT_EQ(listLength(), 4u);
}

TEST_F(OpenTest, SourceKeepsItsOwnCopyOfTheIdentifierAndStartsIdle) {
    char id[] = "XYZ";
    HwDataSource* source = open("TUVAK", id);
    id[0] = 'Q';
    EXPECT_STREQ(source->id, "XYZ");
    EXPECT_EQ(open("TUVAK", "XYZ"), source);

    auto* tuvak = static_cast<HwTuvak*>(source);  // nothing is touched yet
    EXPECT_EQ(tuvak->randomPos, TUVAK_RANDOM_EMPTY);
    EXPECT_EQ(tuvak->portHandle, platform::kInvalidPort);
    EXPECT_NE(tuvak->lock, platform::kNoMutex);
}

TEST_F(OpenTest, BadArgumentsAndUnknownTypes) {
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
    for (const char* id : {"A", "B", "C"}) locks.push_back(open("TUVAK", id)->lock);
    const int openBefore = mutexes.open();  // the registry lock and three sources
    hwdsTeardown();
    EXPECT_EQ(hwdsOpenSources(), nullptr);
    EXPECT_EQ(mutexes.open(), openBefore - 4);
    // Registry lock first, then C, B, A.
    const std::vector<platform::MutexHandle> closed = mutexes.closedOrder();
    ASSERT_EQ(closed.size(), 4u);
    EXPECT_EQ(std::vector<platform::MutexHandle>(closed.begin() + 1, closed.end()),
              (std::vector<platform::MutexHandle>{locks[2], locks[1], locks[0]}));
    hwdsStartup();
}

TEST_F(OpenTest, RegistryLockThatCannotBeTakenFailsTheOpen) {
    mutexes.waitOutcome = platform::WaitResult::Abandoned;
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

TEST_F(OpenTest, SourceWhoseLockWasRefusedIsCreatedButCannotRun) {
    mutexes.refuseCreate = true;
    HwDataSource* source = open("TUVAK", "A");
    EXPECT_EQ(source->lock, platform::kNoMutex);
    uint8_t byte = 0;
    EXPECT_EQ(hwdsWrite(source, nullptr, &byte, 1, 0), CE_HW_FAIL_LOCK);
}

}  // namespace
