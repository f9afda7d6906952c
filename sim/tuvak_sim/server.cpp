#include "sim/tuvak_sim/server.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "sim/control/memory_dump.h"
#include "sim/tuvak_sim/registry_file.h"

namespace tuvaksim {

namespace {

constexpr int64_t kLineBitsPerSec = 115200;
constexpr int64_t kBitsPerByte = 10;  // 8N1: start, 8 data, stop
// Sleeping gets us this close to a paced reply's deadline; spinning does the rest.
constexpr int64_t kSpinNs = 150000;
// An unplug waits for the host to take the last reply, but not for ever.
constexpr int64_t kUnplugSettleNs = 2 * kNsPerMs;
constexpr int64_t kUnplugMaxWaitNs = kNsPerSec;
// How often an idle simulator checks for exclusive flags left by dead hosts.
constexpr int64_t kIdleCheckNs = 500 * kNsPerMs;
// Output a host leaves unread beyond this is dropped rather than hoarded.
constexpr std::size_t kMaxBacklog = 1 << 16;

int signalPipe = -1;

std::string dumpText(const std::vector<std::unique_ptr<Device>>& devices) {
    std::string text;
    for (const auto& device : devices) text += sim::dumpText(device->id, device->model.memory());
    return text;
}

extern "C" void onSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe, &byte, 1);
    errno = savedErrno;
}

}  // namespace

bool installSignals(int pipeFd, std::string* error) {
    signalPipe = pipeFd;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGINT, SIGTERM, SIGUSR1}) {
        if (sigaction(signo, &action, nullptr) != 0) {
            *error = "cannot handle signals: " + errnoText();
            return false;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

Server::~Server() {
    if (controlMade_) ::unlink(config_.control.c_str());
}

std::string Server::comFor(const std::string& id) {
    const auto known = comOfId_.find(id);
    if (known != comOfId_.end()) {
        const std::string com = "COM" + std::to_string(known->second);
        const bool taken = std::any_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d->com == com; });
        if (!taken) return com;
    }
    const uint64_t number = config_.firstCom + comsGiven_++;
    comOfId_.emplace(id, number);
    return "COM" + std::to_string(number);
}

bool Server::writeRegistry(std::string* error) { return replaceFile(config_.registry, registryText(devices_), error); }

bool Server::setUp(std::string* error) {
    for (const DeviceSetup& setup : config_.devices) {
        auto device = std::make_unique<Device>(setup);
        device->com = comFor(setup.id);
        if (!openPty(device.get(), error)) return false;
        devices_.push_back(std::move(device));
    }
    if (!openControl(error) || !writeRegistry(error)) return false;
    for (const auto& device : devices_) {
        std::printf("%s %s %s\n", device->id.c_str(), device->pty.c_str(), device->com.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    // Every pty existed while the registry was written, so none shares a node
    // name; a device unplugged from the start loses its node only now.
    for (const auto& device : devices_) {
        if (device->model.unplugged()) unplug(device.get());
    }
    return true;
}

void Server::logFrame(const Device& device, const std::vector<uint8_t>& frame) {
    if (!log_) return;
    std::fputs(device.id.c_str(), log_.get());
    for (uint8_t byte : frame) std::fprintf(log_.get(), " %02x", byte);
    std::fputc('\n', log_.get());
}

void Server::feed(Device* device, const uint8_t* data, std::size_t n, int64_t now) {
    sim::TuvakDevice& model = device->model;
    for (std::size_t i = 0; i < n; ++i) {
        if (model.pendingBytes() == 0) device->frameStart = now;
        std::vector<uint8_t> reply;
        model.receive(&data[i], 1, &reply);
        if (model.frameLog().empty()) continue;
        logFrame(*device, model.frameLog().back());
        const std::size_t frameBytes = model.frameLog().back().size();
        model.clearFrameLog();
        if (!reply.empty()) schedule(device, frameBytes, std::move(reply), now);
    }
    if (model.unplugged() && !device->unplugging) {
        device->unplugging = true;
        device->unplugSince = now;
    }
}

void Server::schedule(Device* device, std::size_t frameBytes, std::vector<uint8_t> reply, int64_t now) {
    const sim::Faults& faults = device->model.faults();
    // The wire carries the request and then the reply; the clock starts with
    // the request's first byte.
    auto dueAfter = [&](std::size_t bytes) {
        int64_t due = now;
        if (faults.pace) {
            const auto bits = static_cast<int64_t>(frameBytes + bytes) * kBitsPerByte;
            due = device->frameStart + bits * kNsPerSec / kLineBitsPerSec;
        }
        due += static_cast<int64_t>(faults.replyDelayMs) * kNsPerMs;
        return std::max(due, device->lastDue);
    };
    // A paced reply's first byte comes when the line has carried it, as a
    // device's does, not with its last.
    const std::size_t replyBytes = reply.size();
    if (faults.pace && replyBytes > 1) {
        const int64_t first = dueAfter(1);
        device->replies.push_back({first, std::vector<uint8_t>(reply.begin(), reply.begin() + 1)});
        device->lastDue = first;
        reply.erase(reply.begin());
    }
    const int64_t due = dueAfter(replyBytes);
    device->lastDue = due;
    device->replies.push_back({due, std::move(reply)});
}

void Server::deliver(Device* device, int64_t now) {
    while (!device->replies.empty() && device->replies.front().due <= now) {
        auto& bytes = device->replies.front().bytes;
        device->out.insert(device->out.end(), bytes.begin(), bytes.end());
        device->replies.pop_front();
    }
    if (device->out.empty() || !device->master.valid()) return;
    const ssize_t n = ::write(device->master.get(), device->out.data(), device->out.size());
    if (n > 0) {
        device->out.erase(device->out.begin(), device->out.begin() + n);
        device->lastWrite = now;
    }
    if (device->out.size() > kMaxBacklog) device->out.clear();
}

// Closing the master discards what the host has not read yet, so the reply
// to the last frame must be taken before the device disappears.
void Server::settleUnplug(Device* device, int64_t now) {
    if (!device->unplugging) return;
    if (!device->replies.empty() || !device->out.empty()) {
        device->unplugSince = now;
        return;
    }
    if (now - device->lastWrite < kUnplugSettleNs) return;
    int unread = 0;
    if (ioctl(device->slave.get(), FIONREAD, &unread) != 0) unread = 0;
    if (unread == 0 || now - device->unplugSince >= kUnplugMaxWaitNs) unplug(device);
}

bool Server::saveDump(std::string* error) {
    if (log_) std::fflush(log_.get());
    if (config_.dump.empty()) return true;
    return replaceFile(config_.dump, dumpText(devices_), error);
}

bool Server::finish(std::string* error) {
    const bool saved = saveDump(error);
    if (config_.showAtExit) {
        std::fputs(dumpText(devices_).c_str(), stdout);
        std::fflush(stdout);
    }
    return saved;
}

int64_t Server::serveDue(int64_t now) {
    int64_t wake = INT64_MAX;
    for (const auto& device : devices_) {
        deliver(device.get(), now);
        settleUnplug(device.get(), now);
        if (!device->replies.empty()) wake = std::min(wake, device->replies.front().due);
        if (device->unplugging) wake = std::min(wake, now + kNsPerMs);
    }
    return wake;
}

void Server::pollSet(int signalFd) {
    fds_.assign(1, pollfd{signalFd, POLLIN, 0});
    polled_.assign(1, nullptr);
    if (control_.valid()) {
        fds_.push_back(pollfd{control_.get(), POLLIN, 0});
        polled_.push_back(nullptr);
    }
    for (const auto& device : devices_) {
        if (!device->master.valid()) continue;
        const short events = device->out.empty() ? POLLIN : (POLLIN | POLLOUT);
        fds_.push_back(pollfd{device->master.get(), events, 0});
        polled_.push_back(device.get());
    }
}

bool Server::takeSignals(int signalFd, bool* saved, std::string* error) {
    unsigned char signals[16];
    const ssize_t n = ::read(signalFd, signals, sizeof signals);
    for (ssize_t i = 0; i < n; ++i) {
        if (signals[i] != SIGUSR1) {
            *saved = finish(error);
            return false;
        }
        if (!saveDump(error)) std::fprintf(stderr, "tuvak-sim: %s\n", error->c_str());
    }
    return true;
}

void Server::takeInput(Device* device, short revents, int64_t now) {
    if (revents & POLLIN) {
        uint8_t buffer[512];
        const ssize_t n = ::read(device->master.get(), buffer, sizeof buffer);
        if (n > 0) {
            // The host sends only after taking the whole reply, so an
            // unplugging device may go now.
            if (device->unplugging) {
                unplug(device);
                return;
            }
            feed(device, buffer, static_cast<std::size_t>(n), now);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            std::fprintf(stderr, "tuvak-sim: %s: read failed: %s\n", device->id.c_str(), errnoText().c_str());
            unplug(device);
        }
    } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Our own slave fd prevents hang-ups; should one come anyway, drop
        // the device rather than spin on it.
        std::fprintf(stderr, "tuvak-sim: %s: line hung up\n", device->id.c_str());
        unplug(device);
    }
}

bool Server::run(int signalFd, std::string* error) {
    for (;;) {
        int64_t now = monotonicNs();
        const int64_t wake = serveDue(now);
        if (wake != INT64_MAX && wake - now <= kSpinNs) {
            while (monotonicNs() < wake) {
            }
            continue;
        }
        pollSet(signalFd);
        // Idle, the loop still looks in now and then for a host that died holding a port.
        const bool idle = wake == INT64_MAX;
        const int64_t sleepNs = idle ? kIdleCheckNs : wake - now - kSpinNs;
        timespec timeout{};
        timeout.tv_sec = static_cast<time_t>(sleepNs / kNsPerSec);
        timeout.tv_nsec = static_cast<long>(sleepNs % kNsPerSec);
        const int ready = ppoll(fds_.data(), fds_.size(), &timeout, nullptr);
        if (ready == 0 && idle) {
            for (const auto& device : devices_) releaseStaleExclusivity(device.get());
        }
        if (ready < 0 && errno != EINTR) {
            *error = "poll failed: " + errnoText();
            return false;
        }
        if (ready <= 0) continue;
        now = monotonicNs();

        bool saved = true;
        if ((fds_[0].revents & POLLIN) && !takeSignals(signalFd, &saved, error)) return saved;
        for (std::size_t i = 1; i < fds_.size(); ++i) {
            if (polled_[i] != nullptr) takeInput(polled_[i], fds_[i].revents, now);
        }
        // Last: a command may remove a device that polled_ points to.
        if (control_.valid() && (fds_[1].revents & POLLIN)) takeCommands();
    }
}

}  // namespace tuvaksim
