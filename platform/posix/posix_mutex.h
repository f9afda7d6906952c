// Process-local mutexes over pthreads.
#pragma once

#include "platform/platform.h"

namespace platform {

// Recursive and robust: a thread that ends while holding one leaves it
// abandoned, and the next waiter owns it (WaitResult::Abandoned).
class PosixMutexes : public Mutexes {
public:
    MutexHandle create() override;
    WaitResult wait(MutexHandle mutex) override;
    bool release(MutexHandle mutex) override;
    // Refused (false, handle still valid) while another thread holds it:
    // freeing a robust mutex would leave that thread's robust list
    // pointing at freed memory.
    bool close(MutexHandle mutex) override;
};

}  // namespace platform
