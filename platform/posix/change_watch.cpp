#include "platform/posix/change_watch.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/posix/files.h"

namespace platform {

namespace {

// Polls `fd` until `drain` finds a change or the time runs out. `drain`
// returns Changed, Failed, or TimedOut for nothing that matters.
template <class Drain>
ChangeWait pollFor(int fd, uint32_t timeoutMs, Drain drain) {
    const Deadline deadline = deadlineIn(std::chrono::milliseconds(timeoutMs));
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, msLeft(deadline));
        if (ready < 0) return errno == EINTR ? ChangeWait::TimedOut : ChangeWait::Failed;
        if (ready > 0) {
            const ChangeWait outcome = drain();
            if (outcome != ChangeWait::TimedOut) return outcome;
        }
        // Also for a descriptor that stays readable with nothing that matters.
        if (msLeft(deadline) == 0) return ChangeWait::TimedOut;
    }
}

// The value of the field KEY= in a uevent message, or empty.
std::string_view field(std::string_view message, std::string_view key) {
    while (!message.empty()) {
        const std::size_t end = message.find('\0');
        const std::string_view entry = message.substr(0, end);
        if (entry.size() > key.size() && entry.substr(0, key.size()) == key && entry[key.size()] == '=')
            return entry.substr(key.size() + 1);
        if (end == std::string_view::npos) break;
        message.remove_prefix(end + 1);
    }
    return {};
}

}  // namespace

FileWatch::FileWatch(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    // "/x" lives in "/", not in "".
    dir_ = slash == std::string::npos ? std::string(".") : path.substr(0, std::max<std::size_t>(slash, 1));
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
}

ChangeWait FileWatch::wait(uint32_t timeoutMs) {
    if (!fd_.valid()) {
        FdGuard fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        // A rename into the directory is how a whole new file arrives.
        const uint32_t mask =
            IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        if (!fd.valid() || ::inotify_add_watch(fd.get(), dir_.c_str(), mask) < 0) return ChangeWait::Failed;
        fd_ = std::move(fd);
        return ChangeWait::Changed;
    }
    return pollFor(fd_.get(), timeoutMs, [this] {
        bool lost = false;
        const bool changed = drain(&lost);
        // The next wait watches the directory afresh.
        if (lost) fd_.reset();
        return changed || lost ? ChangeWait::Changed : ChangeWait::TimedOut;
    });
}

bool FileWatch::drain(bool* lost) {
    bool changed = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) *lost = true;
            return changed;
        }
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) *lost = true;
            if (event->len > 0 && name_ == event->name) changed = true;
        }
    }
}

int openKernelUevents() {
    FdGuard fd(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT));
    if (!fd.valid()) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = 1;  // the kernel's own broadcast, with or without udev
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
    return fd.release();
}

bool ueventConcernsFtdi(std::string_view message) {
    const std::string_view subsystem = field(message, "SUBSYSTEM");
    if (subsystem == "tty" || subsystem == "usb-serial") return true;
    return subsystem == "module" && field(message, "DEVPATH") == "/module/ftdi_sio";
}

ChangeWait UeventWatch::wait(uint32_t timeoutMs) {
    if (!fd_.valid()) {
        if (!open_) return ChangeWait::Unsupported;
        fd_ = FdGuard(open_());
        return fd_.valid() ? ChangeWait::Changed : ChangeWait::Failed;
    }
    return pollFor(fd_.get(), timeoutMs, [this] {
        bool broken = false;
        const bool changed = drain(&broken);
        if (broken) fd_.reset();
        if (changed) return ChangeWait::Changed;
        return broken ? ChangeWait::Failed : ChangeWait::TimedOut;
    });
}

bool UeventWatch::drain(bool* broken) {
    bool changed = false;
    char buffer[8192];
    for (;;) {
        sockaddr_nl sender{};
        iovec part{buffer, sizeof buffer};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(fd_.get(), &header, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        // Messages were dropped for want of room: any of them may have mattered.
        if (n < 0 && errno == ENOBUFS) {
            changed = true;
            continue;
        }
        // The kernel never sends an empty message: this is the end of a stream.
        if (n <= 0) {
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) *broken = true;
            return changed;
        }
        // Only the kernel speaks on its broadcast; anyone else is ignored.
        const bool fromNetlink = header.msg_namelen >= sizeof sender && sender.nl_family == AF_NETLINK;
        if (fromNetlink && sender.nl_pid != 0) continue;
        if (ueventConcernsFtdi(std::string_view(buffer, static_cast<std::size_t>(n)))) changed = true;
    }
}

}  // namespace platform
