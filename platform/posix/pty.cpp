#include "platform/posix/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

bool failed(std::string* error, const std::string& what) {
    *error = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool openPty(const PtyOptions& options, Pty* pty, std::string* error) {
    const int nonBlocking = options.nonBlocking ? O_NONBLOCK : 0;
    FdGuard master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | nonBlocking));
    if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        return failed(error, "cannot create a pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master.get(), name, sizeof name) != 0) return failed(error, "cannot name the pseudo-terminal");
    const std::string node = name;
    if (options.raw) {
        termios tio{};
        if (::tcgetattr(master.get(), &tio) != 0) return failed(error, "cannot read the settings of " + node);
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        if (::tcsetattr(master.get(), TCSANOW, &tio) != 0) return failed(error, "cannot set " + node + " raw");
    }
    FdGuard slave;
    if (options.openSlave) {
        slave = FdGuard(::open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | nonBlocking));
        if (!slave.valid()) return failed(error, "cannot open " + node);
    }
    pty->master = std::move(master);
    pty->slave = std::move(slave);
    pty->node = node;
    return true;
}

}  // namespace platform
