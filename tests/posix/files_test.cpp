// The POSIX code's file stamps and deadlines.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/posix/files.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(Deadline, MsLeftNeverEndsAWaitBeforeTheDeadlineNorLongAfter) {
    for (const microseconds span :
         {microseconds(1), microseconds(500), microseconds(999), microseconds(1500), microseconds(20000)}) {
        SCOPED_TRACE(span.count());
        const Deadline deadline = Clock::now() + span;
        const int left = msLeft(deadline);
        const auto after = Clock::now();
        // Rounded up: the wait covers all that remained when it was asked.
        if (after < deadline) {
            EXPECT_GE(milliseconds(left), deadline - after);
        }
        EXPECT_LE(milliseconds(left), std::chrono::ceil<milliseconds>(span));
    }
}

TEST(Deadline, MsLeftIsZeroOncePassedAndDeadlineInLiesAhead) {
    EXPECT_EQ(msLeft(Clock::now()), 0);
    EXPECT_EQ(msLeft(Clock::now() - milliseconds(5)), 0);
    const auto before = Clock::now();
    const Deadline deadline = deadlineIn(milliseconds(250));
    EXPECT_GE(deadline, before + milliseconds(250));
    EXPECT_LE(deadline, Clock::now() + milliseconds(250));
    const int left = msLeft(deadline);
    EXPECT_GT(left, 200);
    EXPECT_LE(left, 250);
}

TEST(FileStamp, TellsStatesOfAFileApartAndAMissingFileIsADash) {
    const fakes::TempDir dir;
    const std::string path = dir.path + "/file";
    EXPECT_EQ(stampOf(path), "-");
    std::ofstream(path) << "one";
    const std::string first = stampOf(path);
    EXPECT_NE(first, "-");
    EXPECT_EQ(stampOf(path), first);
    std::ofstream(path, std::ios::app) << "two";
    EXPECT_NE(stampOf(path), first);
}

}  // namespace
}  // namespace platform
