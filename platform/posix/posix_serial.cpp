#include "platform/posix/posix_serial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "platform/posix/fd_guard.h"
#include "platform/posix/files.h"

namespace platform {

namespace {

// A reply is short; one read(2) of this size takes it whole, and what lies
// beyond the requested count serves the next read without a system call.
constexpr size_t kReadAhead = 256;

struct Port {
    int fd = -1;
    bool exclusive = false;   // TIOCEXCL is ours to clear
    bool lowLatency = false;  // so is the low-latency flag
    bool known = false;       // tio holds the line's settings as last read or set
    termios tio{};
    size_t pos = 0;
    size_t len = 0;
    uint8_t ahead[kReadAhead];
};

Port* portOf(PortHandle h) {
    if (h == kInvalidPort || h == PortHandle{}) return nullptr;
    return objectOf<Port>(h);
}

template <typename F>
auto retryOnEintr(F call) {
    decltype(call()) rc;
    do {
        rc = call();
    } while (rc == -1 && errno == EINTR);
    return rc;
}

Deadline deadlineFromNow(uint32_t ms = kSerialReadTimeoutMs) { return deadlineIn(std::chrono::milliseconds(ms)); }

// 1 with *revents set, 0 on time-out, -1 on error.
int waitFor(int fd, short events, Deadline deadline, short* revents) {
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = ::poll(&p, 1, msLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc > 0) *revents = p.revents;
        return rc < 0 ? -1 : rc;
    }
}

uint32_t takeAhead(Port* p, uint8_t* data, uint32_t length) {
    size_t n = std::min<size_t>(p->len - p->pos, length);
    if (n == 0) return 0;
    std::memcpy(data, p->ahead + p->pos, n);
    p->pos += n;
    return static_cast<uint32_t>(n);
}

class KernelLowLatencyFlag : public LowLatencyFlag {
public:
    bool get(int fd, bool* on) override {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        serial_struct info{};
        if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
        *on = (info.flags & ASYNC_LOW_LATENCY) != 0;
        return true;
#else
        (void)fd;
        (void)on;
        return false;
#endif
    }
    bool set(int fd, bool on) override {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
        serial_struct info{};
        if (::ioctl(fd, TIOCGSERIAL, &info) != 0) return false;
        info.flags = on ? (info.flags | ASYNC_LOW_LATENCY) : (info.flags & ~ASYNC_LOW_LATENCY);
        return ::ioctl(fd, TIOCSSERIAL, &info) == 0;
#else
        (void)fd;
        (void)on;
        return false;
#endif
    }
};

struct Speed {
    uint32_t rate;
    speed_t code;
};

constexpr Speed kSpeeds[] = {
    {0, B0},
    {50, B50},
    {75, B75},
    {110, B110},
    {134, B134},
    {150, B150},
    {200, B200},
    {300, B300},
    {600, B600},
    {1200, B1200},
    {1800, B1800},
    {2400, B2400},
    {4800, B4800},
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// tcsetattr succeeds when any one change took; make sure all of them did.
bool applyTermios(int fd, const termios& wanted, termios* now) {
    if (retryOnEintr([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) != 0) return false;
    return ::tcgetattr(fd, now) == 0 && termiosTook(wanted, *now);
}

}  // namespace

bool termiosTook(const termios& wanted, const termios& now) {
    constexpr tcflag_t kLine = CSIZE | PARENB | PARODD | CSTOPB;
    constexpr tcflag_t kLocal = ECHO | ICANON | ISIG | IEXTEN;
    return ::cfgetospeed(&now) == ::cfgetospeed(&wanted) && (now.c_cflag & kLine) == (wanted.c_cflag & kLine) &&
           (now.c_lflag & kLocal) == 0 && (now.c_oflag & OPOST) == 0;
}

std::optional<termios> termiosFor(const termios& current, const LineSettings& settings) {
    const Speed* speed = nullptr;
    for (const Speed& sp : kSpeeds) {
        if (sp.rate == settings.baudRate && sp.rate != 0) speed = &sp;
    }
    if (speed == nullptr) return std::nullopt;

    tcflag_t size = 0;
    switch (settings.byteSize) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return std::nullopt;
    }
    tcflag_t parity = 0;
    switch (settings.parity) {
        case 0: break;
        case 1: parity = PARENB | PARODD; break;
        case 2: parity = PARENB; break;
#ifdef CMSPAR
        case 3: parity = PARENB | PARODD | CMSPAR; break;
        case 4: parity = PARENB | CMSPAR; break;
#endif
        default: return std::nullopt;
    }
    tcflag_t stop = 0;
    switch (settings.stopBits) {
        case 0: break;
        case 2: stop = CSTOPB; break;
        default: return std::nullopt;  // one and a half
    }

    termios tio = current;
    // The protocol carries every byte value: nothing may be translated,
    // stripped, marked, echoed or taken as a control character.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY);
#ifdef IUCLC
    tio.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    tio.c_cflag |= CLOCAL | CREAD | size | parity | stop;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed->code) != 0 || ::cfsetospeed(&tio, speed->code) != 0) {
        return std::nullopt;
    }
    return tio;
}

uint32_t win32ErrorForOpenErrno(int err) {
    switch (err) {
        case ENOENT: return kErrFileNotFound;
        case EACCES:
        case EPERM: return kErrAccessDenied;
        case ENXIO:
        case EIO: return kErrNotReady;
        case ENODEV: return kErrDevNotExist;
        case EBUSY:  // TIOCEXCL held by another opener
            return kErrSharingViolation;
        default: return kErrGenFailure;
    }
}

LowLatencyFlag& kernelLowLatencyFlag() {
    static KernelLowLatencyFlag flag;
    return flag;
}

PosixSerialPorts::PosixSerialPorts(ComResolver resolver, LowLatencyFlag* lowLatency)
    : resolver_(std::move(resolver)), lowLatency_(lowLatency != nullptr ? *lowLatency : kernelLowLatencyFlag()) {}

std::string PosixSerialPorts::deviceNode(const char* path) {
    if (path == nullptr) return {};
    std::string_view name(path);
    if (name.starts_with(kPortPathPrefix)) name.remove_prefix(std::string_view(kPortPathPrefix).size());
    std::string node;
    if (name.empty() || !resolver_ || !resolver_(name, &node)) return {};
    return node;
}

uint32_t PosixSerialPorts::open(const char* path, PortHandle* port) {
    if (port == nullptr) return kErrInvalidParameter;
    *port = kInvalidPort;
    if (path == nullptr) return kErrInvalidParameter;

    const std::string node = deviceNode(path);
    if (node.empty()) return kErrFileNotFound;

    FdGuard fd(retryOnEintr([&] { return ::open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK); }));
    if (fd.get() < 0) return win32ErrorForOpenErrno(errno);

    // flock keeps out a second opener even where TIOCEXCL does not (root,
    // or a node that is no tty).
    if (retryOnEintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
        return errno == EWOULDBLOCK ? kErrSharingViolation : kErrLockViolation;
    }

#ifdef TIOCGEXCL
    // Someone else holds the tty exclusively. Root would be let in all the
    // same, and clearing the flag at our close would undo their lock.
    int taken = 0;
    if (::ioctl(fd.get(), TIOCGEXCL, &taken) == 0 && taken != 0) return kErrSharingViolation;
#endif

    std::unique_ptr<Port> p(new (std::nothrow) Port);
    if (!p) return kErrGenFailure;
    p->exclusive = ::ioctl(fd.get(), TIOCEXCL) == 0;
    // An FTDI adapter holds a reply back up to 16 ms unless asked not to:
    // ten times the wipe's time. The flag outlives us, so it is put back at close.
    bool lowLatency = false;
    if (lowLatency_.get(fd.get(), &lowLatency) && !lowLatency) p->lowLatency = lowLatency_.set(fd.get(), true);
    p->fd = fd.release();
    *port = handleFor<PortHandle>(p.release());
    return kErrSuccess;
}

LineSettings lineSettingsOf(const termios& tio) {
    LineSettings s;
    speed_t code = ::cfgetospeed(&tio);
    for (const Speed& sp : kSpeeds) {
        if (sp.code == code) s.baudRate = sp.rate;
    }
    switch (tio.c_cflag & CSIZE) {
        case CS5: s.byteSize = 5; break;
        case CS6: s.byteSize = 6; break;
        case CS7: s.byteSize = 7; break;
        default: s.byteSize = 8; break;
    }
    if (tio.c_cflag & PARENB) {
        bool odd = (tio.c_cflag & PARODD) != 0;
#ifdef CMSPAR
        if (tio.c_cflag & CMSPAR) {
            s.parity = odd ? 3 : 4;  // mark, space
        } else
#endif
        {
            s.parity = odd ? 1 : 2;
        }
    }
    s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    return s;
}

bool PosixSerialPorts::getSettings(PortHandle port, LineSettings* settings) {
    Port* p = portOf(port);
    if (p == nullptr || settings == nullptr) return false;
    if (!p->known && ::tcgetattr(p->fd, &p->tio) != 0) return false;
    p->known = true;
    *settings = lineSettingsOf(p->tio);
    return true;
}

bool PosixSerialPorts::setSettings(PortHandle port, const LineSettings& settings) {
    Port* p = portOf(port);
    if (p == nullptr) return false;
    termios current{};
    if (p->known) {
        current = p->tio;
    } else if (::tcgetattr(p->fd, &current) != 0) {
        return false;
    }
    const std::optional<termios> tio = termiosFor(current, settings);
    if (!tio) return false;
    // A line already set so (a port opened again, as every operation does)
    // costs no system call.
    if (p->known && std::memcmp(&*tio, &p->tio, sizeof(termios)) == 0) return true;
    p->known = applyTermios(p->fd, *tio, &p->tio);
    return p->known;
}

bool PosixSerialPorts::purge(PortHandle port, uint32_t flags) {
    Port* p = portOf(port);
    constexpr uint32_t kAll = kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear;
    if (p == nullptr || (flags & ~kAll) != 0) return false;
    if (flags & (kPurgeRxClear | kPurgeRxAbort)) p->pos = p->len = 0;
    bool rx = (flags & kPurgeRxClear) != 0;
    bool tx = (flags & kPurgeTxClear) != 0;
    if (!rx && !tx) return true;  // synchronous I/O leaves nothing to abort
    return ::tcflush(p->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) == 0;
}

bool PosixSerialPorts::write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) {
    if (written != nullptr) *written = 0;
    Port* p = portOf(port);
    if (p == nullptr || written == nullptr || (data == nullptr && length != 0)) return false;

    Deadline deadline = deadlineFromNow();
    uint32_t done = 0;
    bool ok = true;
    while (done < length) {
        ssize_t n = ::write(p->fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short revents = 0;
            int rc = waitFor(p->fd, POLLOUT, deadline, &revents);
            if (rc == 0) break;  // time-out: the caller sees the short count
            if (rc > 0 && (revents & POLLOUT)) continue;
        }
        ok = false;
        break;
    }
    *written = done;
    return ok;
}

bool PosixSerialPorts::read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) {
    return readFor(port, data, length, kSerialReadTimeoutMs, got);
}

bool PosixSerialPorts::readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) {
    if (got != nullptr) *got = 0;
    Port* p = portOf(port);
    if (p == nullptr || got == nullptr || (data == nullptr && length != 0)) return false;

    uint32_t done = takeAhead(p, data, length);
    if (done == length) {
        *got = done;
        return true;
    }

    Deadline deadline = deadlineFromNow(timeoutMs);
    bool ok = true;
    while (done < length) {
        short revents = 0;
        int rc = waitFor(p->fd, POLLIN, deadline, &revents);
        if (rc == 0) break;  // time-out: a short count, not an error
        if (rc < 0 || (revents & POLLNVAL)) {
            ok = false;
            break;
        }
        // Read even on POLLHUP/POLLERR: what arrived before a hang-up is
        // still delivered, and the read then reports the fault itself.
        uint32_t want = length - done;
        ssize_t n;
        if (want >= kReadAhead) {
            n = ::read(p->fd, data + done, want);
            if (n > 0) done += static_cast<uint32_t>(n);
        } else {
            n = ::read(p->fd, p->ahead, kReadAhead);
            if (n > 0) {
                p->pos = 0;
                p->len = static_cast<size_t>(n);
                done += takeAhead(p, data + done, want);
            }
        }
        if (n > 0) continue;
        bool fault = (revents & (POLLHUP | POLLERR)) != 0;
        // With VMIN 0 a tty reads 0 when nothing is queued: not a hang-up
        // unless poll said so.
        if (n == 0 && !fault) continue;
        if (n < 0 && !fault && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        // End of file after poll reported input: the line hung up.
        if (n == 0) errno = EIO;
        ok = false;
        break;
    }
    *got = done;
    return ok;
}

bool PosixSerialPorts::close(PortHandle port) {
    Port* p = portOf(port);
    if (p == nullptr) return false;
    std::unique_ptr<Port> owned(p);
    // On a pty the exclusive flag survives close while the master is open,
    // and would refuse every later open by an unprivileged user.
    if (p->exclusive) (void)::ioctl(p->fd, TIOCNXCL);
    if (p->lowLatency) (void)lowLatency_.set(p->fd, false);
    (void)::flock(p->fd, LOCK_UN);
    // Linux releases the descriptor even when close reports EINTR.
    return ::close(p->fd) == 0 || errno == EINTR;
}

}  // namespace platform
