// Waits for the adapter driver's data to change without polling: inotify for
// a regedit file, the kernel's uevents for the sysfs view.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/fd_guard.h"

namespace platform {

class ChangeWatch {
public:
    virtual ~ChangeWatch() = default;
    // As Registry::waitForChange.
    virtual ChangeWait wait(uint32_t timeoutMs) = 0;
};

// A file that writers replace by rename or write in place: its directory is
// watched, since a rename puts another file where the watched one was.
class FileWatch : public ChangeWatch {
public:
    explicit FileWatch(const std::string& path);
    ChangeWait wait(uint32_t timeoutMs) override;

private:
    // Whether the pending events concern the file; false with *lost when the
    // directory's watch went.
    bool drain(bool* lost);

    std::string dir_;
    std::string name_;
    FdGuard fd_;
};

// Opens a descriptor that delivers uevent messages, one a datagram, or -1.
using UeventOpener = std::function<int()>;

// The kernel's uevent broadcast (NETLINK_KOBJECT_UEVENT), or -1.
int openKernelUevents();

// Whether a uevent message ("ACTION@DEVPATH", then "KEY=value" fields, each
// ended by a zero) may change what the sysfs view shows: a tty or a USB
// serial port came, went or changed driver, or the FTDI module came or went.
bool ueventConcernsFtdi(std::string_view message);

// The uevents of an opener, started at the first wait; Unsupported without one.
class UeventWatch : public ChangeWatch {
public:
    explicit UeventWatch(UeventOpener open) : open_(std::move(open)) {}
    ChangeWait wait(uint32_t timeoutMs) override;

private:
    // Whether a pending message concerns the view; false with *broken when
    // the descriptor fails.
    bool drain(bool* broken);

    UeventOpener open_;
    FdGuard fd_;
};

}  // namespace platform
