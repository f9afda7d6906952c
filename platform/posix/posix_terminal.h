// The standard streams as ttys.
#pragma once

#include "platform/platform.h"

namespace platform {

class PosixTerminal : public Terminal {
public:
    // A tty with TERM unset or "dumb" is no place for cursor movement.
    bool interactive(Stream stream) override;
    bool inputInteractive() override;
    // Reads a byte at a time, so that what follows the line stays unread.
    LineRead readLine(uint32_t timeoutMs, std::string* line) override;
    bool binaryOutput() override { return true; }
};

}  // namespace platform
