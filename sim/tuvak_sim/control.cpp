// The control FIFO: devices plugged and unplugged while the simulator runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "sim/tuvak_sim/server.h"

namespace tuvaksim {

namespace {

// A line longer than any command is thrown away rather than kept growing.
constexpr std::size_t kMaxCommand = 4096;

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

void complain(const std::string& text) { std::fprintf(stderr, "tuvak-sim: %s\n", text.c_str()); }

}  // namespace

bool Server::openControl(std::string* error) {
    if (config_.control.empty()) return true;
    const char* path = config_.control.c_str();
    if (::mkfifo(path, 0600) == 0) {
        controlMade_ = true;
    } else if (errno != EEXIST) {
        *error = "cannot create the FIFO " + config_.control + ": " + errnoText();
        return false;
    } else {
        struct stat st {};
        if (::stat(path, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            *error = config_.control + " exists and is not a FIFO";
            return false;
        }
    }
    // The read end first: a writer that opens without blocking needs a reader.
    control_ = Fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (control_.valid()) controlWriter_ = Fd(::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    if (!control_.valid() || !controlWriter_.valid()) {
        *error = "cannot open the FIFO " + config_.control + ": " + errnoText();
        return false;
    }
    return true;
}

void Server::takeCommands() {
    char buffer[1024];
    ssize_t n = 0;
    while ((n = ::read(control_.get(), buffer, sizeof buffer)) > 0) {
        commandBuffer_.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t end = 0;
    while ((end = commandBuffer_.find('\n')) != std::string::npos) {
        const std::string line = commandBuffer_.substr(0, end);
        commandBuffer_.erase(0, end + 1);
        command(trimmed(line));
    }
    if (commandBuffer_.size() > kMaxCommand) {
        complain("command too long, ignored");
        commandBuffer_.clear();
    }
}

void Server::command(const std::string& line) {
    if (line.empty()) return;
    const std::size_t blank = line.find_first_of(" \t");
    const std::string verb = line.substr(0, blank);
    const std::string arguments = blank == std::string::npos ? std::string() : trimmed(line.substr(blank));
    if (verb == "plug") {
        plug(arguments);
    } else if (verb == "unplug") {
        unplugCommand(arguments);
    } else {
        complain("unknown command: " + line);
    }
}

void Server::plug(const std::string& arguments) {
    DeviceSetup setup;
    std::string error;
    if (!parseDeviceLine(arguments, &setup, &error)) {
        complain("plug: " + error);
        return;
    }
    if (config_.firstCom + comsGiven_ > kMaxCom && comOfId_.count(setup.id) == 0) {
        complain("plug: COM numbers run out");
        return;
    }
    auto device = std::make_unique<Device>(setup);
    if (!openPty(device.get(), &error)) {
        complain("plug: " + error);
        return;
    }
    device->com = comFor(setup.id);
    devices_.push_back(std::move(device));
    if (!writeRegistry(&error)) {
        complain("plug: " + error);
        retired_.push_back(std::move(devices_.back()->slave));
        devices_.pop_back();
        return;
    }
    const Device& plugged = *devices_.back();
    std::printf("plugged %s %s %s\n", plugged.id.c_str(), plugged.pty.c_str(), plugged.com.c_str());
    std::fflush(stdout);
    if (plugged.model.unplugged()) unplug(devices_.back().get());
}

void Server::unplugCommand(const std::string& arguments) {
    if (arguments.empty() || arguments.find_first_of(" \t") != std::string::npos) {
        complain("unplug takes one device ID: unplug " + arguments);
        return;
    }
    const auto found =
        std::find_if(devices_.begin(), devices_.end(), [&](const auto& device) { return device->id == arguments; });
    if (found == devices_.end()) {
        complain("unplug: no device " + arguments + " is attached");
        return;
    }
    const auto place = found - devices_.begin();
    std::unique_ptr<Device> device = std::move(*found);
    devices_.erase(found);
    std::string error;
    if (!writeRegistry(&error)) {
        complain("unplug: " + error);
        devices_.insert(devices_.begin() + place, std::move(device));
        return;
    }
    // The master's close hangs up every open end of the slave, as a pulled cable does.
    unplug(device.get());
    retired_.push_back(std::move(device->slave));
    std::printf("unplugged %s\n", device->id.c_str());
    std::fflush(stdout);
}

}  // namespace tuvaksim
