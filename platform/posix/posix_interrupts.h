// SIGINT and SIGTERM counted by a handler installed without SA_RESTART, so
// that a wait in progress on the thread that takes the signal ends early.
#pragma once

#include "platform/platform.h"

namespace platform {

class PosixInterrupts : public Interrupts {
public:
    bool catchInterrupts() override;
    uint32_t count() override;
};

}  // namespace platform
