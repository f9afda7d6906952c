// Serial ports as tty device nodes, opened by their Windows COM names.
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

// The low-latency flag of a USB serial driver (ASYNC_LOW_LATENCY through
// TIOCGSERIAL and TIOCSSERIAL). Replaceable, since ptys have no such flag.
class LowLatencyFlag {
public:
    virtual ~LowLatencyFlag() = default;
    // False when the tty has no such flag.
    virtual bool get(int fd, bool* on) = 0;
    // Changes this flag alone.
    virtual bool set(int fd, bool on) = 0;
};

// The kernel's; the same object for every caller.
LowLatencyFlag& kernelLowLatencyFlag();

class PosixSerialPorts : public SerialPorts {
public:
    // Maps a COM name ("COM5") to the device node that serves it.
    using ComResolver = std::function<bool(std::string_view comName, std::string* nodePath)>;

    // Without a flag, the kernel's.
    explicit PosixSerialPorts(ComResolver resolver, LowLatencyFlag* lowLatency = nullptr);

    // Accepts "\\.\COMn" or a bare "COMn". The node is held exclusively
    // (flock and TIOCEXCL) until close.
    uint32_t open(const char* path, PortHandle* port) override;
    bool getSettings(PortHandle port, LineSettings* settings) override;
    bool setSettings(PortHandle port, const LineSettings& settings) override;
    bool purge(PortHandle port, uint32_t flags) override;
    bool write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) override;
    bool read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) override;
    bool readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) override;
    // Frees the handle whatever the outcome; false when close(2) fails.
    // The low-latency flag is as it was before the open.
    bool close(PortHandle port) override;
    std::string deviceNode(const char* path) override;

private:
    ComResolver resolver_;
    LowLatencyFlag& lowLatency_;
};

// The line's termios for `settings` from its current one: raw, binary-transparent, the rest of
// `current` kept. Nothing when this system cannot set the line so.
std::optional<termios> termiosFor(const termios& current, const LineSettings& settings);

// The line settings that a termios holds.
LineSettings lineSettingsOf(const termios& tio);

// Whether the line read back after tcsetattr has what the protocol needs of
// `wanted`: its rate and framing, no echo, no canonical input, no output processing.
bool termiosTook(const termios& wanted, const termios& now);

// The Win32 error that CreateFileA would report for an open(2) errno.
uint32_t win32ErrorForOpenErrno(int err);

}  // namespace platform
