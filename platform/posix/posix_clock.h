// The millisecond tick and sleep over CLOCK_MONOTONIC.
#pragma once

#include "platform/platform.h"

namespace platform {

class PosixClock : public Clock {
public:
    uint32_t tickCount() override;
    // Sleeps the full time even when signals interrupt it.
    void sleep(uint32_t ms) override;
};

}  // namespace platform
