// The POSIX backend's own services and advice.
#include <gtest/gtest.h>

#include <string>

#include "platform/hints.h"
#include "platform/platform.h"

namespace platform {
namespace {

TEST(PosixNative, ServesEveryServiceAndAdvisesTheDialoutGroup) {
    const Services services = native();
    EXPECT_NE(services.registry, nullptr);
    EXPECT_NE(services.serial, nullptr);
    EXPECT_NE(services.terminal, nullptr);
    EXPECT_EQ(std::string(accessDeniedHint()), "is the user in group dialout?");
}

}  // namespace
}  // namespace platform
