#include "sim/tuvak_sim/pty.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/posix/pty.h"
#include "sim/tuvak_sim/common.h"

namespace tuvaksim {

namespace {

// Whether any process holds a flock on the file behind `fd`: every host of
// ours does for as long as it has the port open.
bool flockHeld(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return true;
    char id[64];
    std::snprintf(id, sizeof id, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    if (!locks) return true;  // cannot tell: leave the flag alone
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find(" FLOCK ") != std::string::npos && line.find(std::string(" ") + id + " ") != std::string::npos)
            return true;
    }
    return false;
}

}  // namespace

// Our own slave fd keeps the tty from ever closing for the last time, which
// is what clears its exclusive flag on a real port. A host killed while it
// held the port would so lock out every later unprivileged open; clear a
// flag that no live host stands behind.
void releaseStaleExclusivity(Device* device) {
    int exclusive = 0;
    if (!device->master.valid() || ioctl(device->slave.get(), TIOCGEXCL, &exclusive) != 0 || exclusive == 0) return;
    if (!flockHeld(device->slave.get())) ioctl(device->slave.get(), TIOCNXCL);
}

bool openPty(Device* device, std::string* error) {
    platform::Pty pty;
    if (!platform::openPty({.nonBlocking = true, .raw = true, .openSlave = true}, &pty, error)) return false;
    device->pty = pty.node;
    device->master = std::move(pty.master);
    device->slave = std::move(pty.slave);
    return true;
}

// The line hangs up and the node can no longer be opened. Our slave fd stays
// open, so the pty's number is not handed to another pty while we run: a
// host must never reach a different device through the old name.
void unplug(Device* device) {
    device->master.reset();
    device->replies.clear();
    device->out.clear();
    device->unplugging = false;
}

}  // namespace tuvaksim
