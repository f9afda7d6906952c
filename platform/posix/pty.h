// A pseudo-terminal pair, for the simulator, the tests and the benchmarks
// that play a device on the master side.
#pragma once

#include <string>

#include "platform/posix/fd_guard.h"

namespace platform {

struct Pty {
    FdGuard master;
    FdGuard slave;     // open only when asked for
    std::string node;  // the slave's device node
};

struct PtyOptions {
    bool nonBlocking = false;  // both sides
    bool raw = false;          // raw at 115200, as a device's line is
    bool openSlave = false;
};

// Opens a pair with close-on-exec descriptors that are no controlling
// terminal; false with *error set, and nothing left open.
bool openPty(const PtyOptions& options, Pty* pty, std::string* error);

}  // namespace platform
