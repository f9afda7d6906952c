// tuvak-sim: simulated Тувак devices served on pseudo-terminals, with a
// regedit file that makes the POSIX registry view point the host at them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/tuvak_device.h"
#include "sim/control/fd.h"

namespace {

constexpr const char* kUsage =
    "usage: tuvak-sim --registry FILE [--dump FILE] [--log FILE] [--show-at-exit]\n"
    "                 [--first-com N] [device options] ID [[device options] ID]...\n"
    "device options apply to every ID listed after them (until changed or --reset):\n"
    "  --fill BYTE            initial memory byte (0x.. hex or decimal; default 0x00)\n"
    "  --pattern ascending    memory[i] = i (overrides --fill)\n"
    "  --seed N               random-block seed\n"
    "  --pace                 answer at the line rate of 115200 8N1\n"
    "  --delay MS             wait MS before each reply\n"
    "  --unplug-after N | --silent-after N | --bad-echo-after N\n"
    "  --bad-ack-after N | --bad-check-after N\n"
    "  --forget ADDR[,ADDR...]  acknowledge writes to these addresses without keeping them\n"
    "  --reset                back to defaults\n";

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSec = 1000000000;
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

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

std::string errnoText() { return std::strerror(errno); }

using sim::Fd;

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// ---- Command line -------------------------------------------------------

struct DeviceOptions {
    uint8_t fill = 0;
    bool ascending = false;
    uint64_t seed = 1;
    sim::Faults faults;
};

struct DeviceSetup {
    std::string id;
    DeviceOptions options;
};

struct Config {
    std::string registry;
    std::string dump;
    std::string log;
    bool showAtExit = false;
    uint64_t firstCom = 3;
    std::vector<DeviceSetup> devices;
};

// Decimal, or hexadecimal after 0x; the whole text, at most `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t* value) {
    int base = 10;
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    if (digits.empty()) return false;
    for (char c : digits) {
        if (base == 10 ? !std::isdigit(static_cast<unsigned char>(c))
                       : !std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(digits.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > max) return false;
    *value = parsed;
    return true;
}

// Comma-separated memory addresses, each below 128.
bool parseAddresses(const std::string& text, std::bitset<sim::kMemorySize>* addresses) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        uint64_t address = 0;
        if (!parseNumber(text.substr(start, comma - start), sim::kMemorySize - 1, &address))
            return false;
        addresses->set(address);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The identifier goes into registry key names, quoted values and
// space-separated lines, so nothing that would break those.
bool validId(const std::string& id) {
    return std::none_of(id.begin(), id.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F || c == '\\' || c == '"' || c == '[' || c == ']';
    });
}

bool parseArgs(int argc, char** argv, Config* config, std::string* error, bool* help) {
    DeviceOptions current;
    bool optionsPending = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t* out) {
            std::string text;
            if (!value(&text)) return false;
            if (!parseNumber(text, max, out)) {
                *error = "bad value for " + arg + ": " + text;
                return false;
            }
            return true;
        };
        auto frameCount = [&](int64_t* out) {
            uint64_t n = 0;
            if (!number(static_cast<uint64_t>(INT64_MAX), &n)) return false;
            *out = static_cast<int64_t>(n);
            optionsPending = true;
            return true;
        };
        uint64_t n = 0;

        if (arg == "--help" || arg == "-h") {
            *help = true;
            return true;
        } else if (arg == "--registry") {
            if (!value(&config->registry)) return false;
        } else if (arg == "--dump") {
            if (!value(&config->dump)) return false;
        } else if (arg == "--log") {
            if (!value(&config->log)) return false;
        } else if (arg == "--show-at-exit") {
            config->showAtExit = true;
        } else if (arg == "--first-com") {
            if (!number(99999999, &config->firstCom)) return false;
        } else if (arg == "--fill") {
            if (!number(0xFF, &n)) return false;
            current.fill = static_cast<uint8_t>(n);
            optionsPending = true;
        } else if (arg == "--pattern") {
            std::string name;
            if (!value(&name)) return false;
            if (name != "ascending") {
                *error = "unknown pattern: " + name;
                return false;
            }
            current.ascending = true;
            optionsPending = true;
        } else if (arg == "--seed") {
            if (!number(UINT64_MAX, &current.seed)) return false;
            optionsPending = true;
        } else if (arg == "--pace") {
            current.faults.pace = true;
            optionsPending = true;
        } else if (arg == "--delay") {
            if (!number(3600000, &n)) return false;
            current.faults.replyDelayMs = static_cast<uint32_t>(n);
            optionsPending = true;
        } else if (arg == "--unplug-after") {
            if (!frameCount(&current.faults.unplugAfter)) return false;
        } else if (arg == "--silent-after") {
            if (!frameCount(&current.faults.silentAfter)) return false;
        } else if (arg == "--bad-echo-after") {
            if (!frameCount(&current.faults.badEchoAfter)) return false;
        } else if (arg == "--bad-ack-after") {
            if (!frameCount(&current.faults.badAckAfter)) return false;
        } else if (arg == "--bad-check-after") {
            if (!frameCount(&current.faults.badCheckAfter)) return false;
        } else if (arg == "--forget") {
            std::string list;
            if (!value(&list)) return false;
            if (!parseAddresses(list, &current.faults.forget)) {
                *error = "bad value for --forget: " + list;
                return false;
            }
            optionsPending = true;
        } else if (arg == "--reset") {
            current = DeviceOptions{};
            optionsPending = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option: " + arg;
            return false;
        } else {
            if (!validId(arg)) {
                *error = "device ID may not contain blanks, control characters, \\, \", [ or ]: " + arg;
                return false;
            }
            config->devices.push_back({arg, current});
            optionsPending = false;
        }
    }
    if (config->registry.empty()) {
        *error = "--registry FILE is required";
        return false;
    }
    if (config->devices.empty()) {
        *error = "no device ID given";
        return false;
    }
    if (optionsPending) {
        *error = "device options after the last ID apply to no device";
        return false;
    }
    if (config->firstCom + config->devices.size() - 1 > 99999999) {
        *error = "COM numbers run out";
        return false;
    }
    return true;
}

// ---- Devices on ptys ----------------------------------------------------

struct Reply {
    int64_t due;
    std::vector<uint8_t> bytes;
};

struct Device {
    explicit Device(const DeviceSetup& setup) : id(setup.id), model(setup.options.seed) {
        auto& memory = model.memory();
        for (std::size_t i = 0; i < memory.size(); ++i) {
            memory[i] = setup.options.ascending ? static_cast<uint8_t>(i) : setup.options.fill;
        }
        model.faults() = setup.options.faults;
    }

    std::string id;
    std::string com;
    std::string pty;
    sim::TuvakDevice model;
    Fd master;
    Fd slave;  // ours: keeps the master from seeing a hang-up between clients
    std::deque<Reply> replies;  // scheduled, not yet due
    std::vector<uint8_t> out;   // due, not yet taken by the master
    int64_t frameStart = 0;
    int64_t lastDue = 0;
    int64_t lastWrite = 0;
    int64_t unplugSince = 0;
    bool unplugging = false;
};

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

// Our own slave fd keeps the tty from ever closing for the last time, which
// is what clears its exclusive flag on a real port. A host killed while it
// held the port would so lock out every later unprivileged open; clear a
// flag that no live host stands behind.
void releaseStaleExclusivity(Device* device) {
    int exclusive = 0;
    if (!device->master.valid() || ioctl(device->slave.get(), TIOCGEXCL, &exclusive) != 0 ||
        exclusive == 0)
        return;
    if (!flockHeld(device->slave.get())) ioctl(device->slave.get(), TIOCNXCL);
}

bool openPty(Device* device, std::string* error) {
    Fd master(posix_openpt(O_RDWR | O_NOCTTY));
    if (!master.valid() || fcntl(master.get(), F_SETFD, FD_CLOEXEC) != 0 ||
        fcntl(master.get(), F_SETFL, O_NONBLOCK) != 0 || grantpt(master.get()) != 0 ||
        unlockpt(master.get()) != 0) {
        *error = "cannot create a pseudo-terminal: " + errnoText();
        return false;
    }
    const char* name = ptsname(master.get());
    if (name == nullptr) {
        *error = "cannot name the pseudo-terminal: " + errnoText();
        return false;
    }
    device->pty = name;
    termios tio{};
    if (tcgetattr(master.get(), &tio) != 0) {
        *error = "cannot read the settings of " + device->pty + ": " + errnoText();
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(master.get(), TCSANOW, &tio) != 0) {
        *error = "cannot set " + device->pty + " raw: " + errnoText();
        return false;
    }
    Fd slave(::open(device->pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave.valid()) {
        *error = "cannot open " + device->pty + ": " + errnoText();
        return false;
    }
    device->master = std::move(master);
    device->slave = std::move(slave);
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

// ---- Files --------------------------------------------------------------

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Readers see the old file or the new one, never half of one.
bool replaceFile(const std::string& path, const std::string& text, std::string* error) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        *error = "cannot create " + temp + ": " + errnoText();
        return false;
    }
    if (!writeAll(fd.get(), text) || !fd.close()) {
        *error = "cannot write " + temp + ": " + errnoText();
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + path + ": " + errnoText();
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string regeditValue(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string registryText(const std::vector<std::unique_ptr<Device>>& devices) {
    static const char* const kHklm = "[HKEY_LOCAL_MACHINE\\";
    std::vector<std::string> instances;
    for (const auto& device : devices) {
        // Devices sharing an identifier get distinct instances, as Windows
        // would give two adapters.
        int duplicates = 0;
        for (const auto& before : devices) {
            if (before == device) break;
            if (before->id == device->id) ++duplicates;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "\\%04d", duplicates);
        instances.push_back("FTDIBUS\\VID_0403+PID_6001+" + device->id + suffix);
    }

    std::string text = "Windows Registry Editor Version 5.00\n\n";
    text += std::string(kHklm) + "SYSTEM\\CurrentControlSet\\Services\\FTSER2K]\n\n";
    text += std::string(kHklm) + "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n";
    char count[32];
    std::snprintf(count, sizeof count, "\"Count\"=dword:%08zx\n", devices.size());
    text += count;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        text += regeditValue(std::to_string(i)) + "=" + regeditValue(instances[i]) + "\n";
    }
    text += "\n";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        text += std::string(kHklm) + "SYSTEM\\CurrentControlSet\\Enum\\" + instances[i] +
                "\\Device Parameters]\n";
        text += "\"PortName\"=" + regeditValue(devices[i]->com) + "\n\n";
    }
    text += std::string(kHklm) + "HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    for (const auto& device : devices) {
        text += regeditValue(device->pty) + "=" + regeditValue(device->com) + "\n";
    }
    return text;
}

std::string dumpText(const std::vector<std::unique_ptr<Device>>& devices) {
    std::string text;
    for (const auto& device : devices) {
        text += device->id + "\n";
        const auto& memory = device->model.memory();
        for (std::size_t row = 0; row < memory.size(); row += 16) {
            char line[24];
            std::snprintf(line, sizeof line, "%02zx:", row);
            text += line;
            for (std::size_t i = row; i < row + 16; ++i) {
                std::snprintf(line, sizeof line, " %02x", memory[i]);
                text += line;
            }
            text += "\n";
        }
    }
    return text;
}

// ---- Signals ------------------------------------------------------------

int signalPipe = -1;

extern "C" void onSignal(int signo) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe, &byte, 1);
    errno = savedErrno;
}

bool installSignals(std::string* error) {
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

// ---- Serving ------------------------------------------------------------

class Server {
public:
    Server(const Config& config, File log) : config_(config), log_(std::move(log)) {}

    bool setUp(std::string* error);
    // Runs until SIGINT or SIGTERM; false when the final dump fails.
    bool run(int signalFd, std::string* error);

private:
    void feed(Device* device, const uint8_t* data, std::size_t n, int64_t now);
    void schedule(Device* device, std::size_t frameBytes, std::vector<uint8_t> reply, int64_t now);
    void deliver(Device* device, int64_t now);
    void settleUnplug(Device* device, int64_t now);
    void logFrame(const Device& device, const std::vector<uint8_t>& frame);
    bool saveDump(std::string* error);
    bool finish(std::string* error);

    const Config& config_;
    File log_;
    std::vector<std::unique_ptr<Device>> devices_;
};

bool Server::setUp(std::string* error) {
    for (std::size_t i = 0; i < config_.devices.size(); ++i) {
        auto device = std::make_unique<Device>(config_.devices[i]);
        device->com = "COM" + std::to_string(config_.firstCom + i);
        if (!openPty(device.get(), error)) return false;
        devices_.push_back(std::move(device));
    }
    if (!replaceFile(config_.registry, registryText(devices_), error)) return false;
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

void Server::schedule(Device* device, std::size_t frameBytes, std::vector<uint8_t> reply,
                      int64_t now) {
    const sim::Faults& faults = device->model.faults();
    int64_t due = now;
    if (faults.pace) {
        // The wire carries the request and then the reply; the clock starts
        // with the request's first byte.
        const auto bits = static_cast<int64_t>(frameBytes + reply.size()) * kBitsPerByte;
        due = device->frameStart + bits * kNsPerSec / kLineBitsPerSec;
    }
    due += static_cast<int64_t>(faults.replyDelayMs) * kNsPerMs;
    due = std::max(due, device->lastDue);
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

bool Server::run(int signalFd, std::string* error) {
    std::vector<pollfd> fds;
    std::vector<Device*> polled;
    for (;;) {
        int64_t now = monotonicNs();
        int64_t wake = INT64_MAX;
        for (const auto& device : devices_) {
            deliver(device.get(), now);
            settleUnplug(device.get(), now);
            if (!device->replies.empty()) wake = std::min(wake, device->replies.front().due);
            if (device->unplugging) wake = std::min(wake, now + kNsPerMs);
        }
        if (wake != INT64_MAX && wake - now <= kSpinNs) {
            while (monotonicNs() < wake) {
            }
            continue;
        }

        fds.assign(1, pollfd{signalFd, POLLIN, 0});
        polled.assign(1, nullptr);
        for (const auto& device : devices_) {
            if (!device->master.valid()) continue;
            const short events = device->out.empty() ? POLLIN : (POLLIN | POLLOUT);
            fds.push_back(pollfd{device->master.get(), events, 0});
            polled.push_back(device.get());
        }
        // Idle, the loop still looks in now and then for a host that died holding a port.
        const bool idle = wake == INT64_MAX;
        timespec timeout{};
        const int64_t sleepNs = idle ? kIdleCheckNs : wake - now - kSpinNs;
        timeout.tv_sec = static_cast<time_t>(sleepNs / kNsPerSec);
        timeout.tv_nsec = static_cast<long>(sleepNs % kNsPerSec);
        const int ready = ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready == 0 && idle) {
            for (const auto& device : devices_) releaseStaleExclusivity(device.get());
        }
        if (ready < 0 && errno != EINTR) {
            *error = "poll failed: " + errnoText();
            return false;
        }
        if (ready <= 0) continue;
        now = monotonicNs();

        if (fds[0].revents & POLLIN) {
            unsigned char signals[16];
            const ssize_t n = ::read(signalFd, signals, sizeof signals);
            for (ssize_t i = 0; i < n; ++i) {
                if (signals[i] == SIGUSR1) {
                    if (!saveDump(error)) std::fprintf(stderr, "tuvak-sim: %s\n", error->c_str());
                } else {
                    return finish(error);
                }
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Device* device = polled[i];
            if (fds[i].revents & POLLIN) {
                uint8_t buffer[512];
                const ssize_t n = ::read(device->master.get(), buffer, sizeof buffer);
                if (n > 0) {
                    // The host sends only after taking the whole reply, so an
                    // unplugging device may go now.
                    if (device->unplugging) {
                        unplug(device);
                        continue;
                    }
                    feed(device, buffer, static_cast<std::size_t>(n), now);
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    std::fprintf(stderr, "tuvak-sim: %s: read failed: %s\n", device->id.c_str(),
                                 errnoText().c_str());
                    unplug(device);
                }
            } else if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                // Our own slave fd prevents hang-ups; should one come anyway,
                // drop the device rather than spin on it.
                std::fprintf(stderr, "tuvak-sim: %s: line hung up\n", device->id.c_str());
                unplug(device);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    std::string error;
    bool help = false;
    if (!parseArgs(argc, argv, &config, &error, &help)) {
        std::fprintf(stderr, "tuvak-sim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    // Paced replies need wake-ups to the microsecond, not the default 50 µs slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "tuvak-sim: cannot create a pipe: %s\n", errnoText().c_str());
        return 1;
    }
    Fd signalRead(pipeFds[0]);
    Fd signalWrite(pipeFds[1]);
    signalPipe = signalWrite.get();
    if (!installSignals(&error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }

    File log;
    if (!config.log.empty()) {
        log.reset(std::fopen(config.log.c_str(), "we"));
        if (!log) {
            std::fprintf(stderr, "tuvak-sim: cannot open %s: %s\n", config.log.c_str(),
                         errnoText().c_str());
            return 1;
        }
        setvbuf(log.get(), nullptr, _IOLBF, 0);
    }

    Server server(config, std::move(log));
    if (!server.setUp(&error) || !server.run(signalRead.get(), &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
