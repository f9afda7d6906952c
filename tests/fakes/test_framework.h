// Gives a test a framework of its own under the given services: the open
// sources and the locks are made anew under them, and made anew under the
// previous services when the test ends.
#pragma once

#include <optional>

#include "hwds/hwds.h"
#include "hwds/lifetime.h"
#include "platform/platform.h"

namespace fakes {

class TestFramework {
public:
    explicit TestFramework(const platform::Services& replacements) {
        hwds::processExit();
        services_.emplace(replacements);
        hwds::processStartup();
    }
    ~TestFramework() {
        hwds::processExit();
        services_.reset();
        hwds::processStartup();
    }
    TestFramework(const TestFramework&) = delete;
    TestFramework& operator=(const TestFramework&) = delete;

private:
    std::optional<platform::ScopedServices> services_;
};

}  // namespace fakes
