#include "sim/control/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace sim {

namespace {

using platform::Deadline;
using platform::deadlineIn;
using std::chrono::milliseconds;
using std::chrono::seconds;

bool makeTempDir(std::string* dir, std::string* error) {
    std::error_code ec;
    const auto base = std::filesystem::temp_directory_path(ec);
    if (ec) {
        *error = "no temp directory: " + ec.message();
        return false;
    }
    std::string pattern = (base / "tuvak-sim-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        *error = "mkdtemp failed: " + std::string(std::strerror(errno));
        return false;
    }
    *dir = pattern;
    return true;
}

// "<id> <pty> <com>", taken from the right: an identifier may be empty.
bool parseDeviceLine(const std::string& line, SimProcess::Device* device) {
    const auto last = line.rfind(' ');
    if (last == std::string::npos || last == 0) return false;
    const auto middle = line.rfind(' ', last - 1);
    if (middle == std::string::npos) return false;
    device->id = line.substr(0, middle);
    device->pty = line.substr(middle + 1, last - middle - 1);
    device->com = line.substr(last + 1);
    return !device->pty.empty() && !device->com.empty();
}

}  // namespace

bool readTextFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream contents;
    contents << in.rdbuf();
    *text = contents.str();
    return true;
}

SimProcess::SimProcess(std::string binary) : binary_(std::move(binary)) {}

SimProcess::~SimProcess() {
    kill();
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

void SimProcess::kill() {
    child_.kill();
    child_.out.reset();
}

std::string SimProcess::errors() const {
    std::string text;
    readTextFile(errorFile, &text);
    return text;
}

bool SimProcess::start(const std::vector<std::string>& args, std::string* error) {
    kill();
    devices_.clear();
    output_.clear();
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    if (!makeTempDir(&dir, error)) return false;
    registryFile = dir + "/registry.reg";
    dumpFile = dir + "/memory.dump";
    logFile = dir + "/frames.log";
    errorFile = dir + "/stderr.txt";
    controlFile = dir + "/control";

    std::vector<std::string> argv{binary_, "--registry", registryFile, "--dump", dumpFile, "--log", logFile};
    if (withControl) {
        argv.push_back("--control");
        argv.push_back(controlFile);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    const platform::FdGuard errFd(::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!errFd.valid()) {
        *error = "cannot create " + errorFile;
        return false;
    }
    if (!spawn(argv, {}, kPipe, errFd.get(), &child_, error)) return false;

    const Deadline deadline = deadlineIn(seconds(10));
    std::string pending;
    for (;;) {
        const auto newline = pending.find('\n');
        if (newline != std::string::npos) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (line == "ready") {
                output_ = pending;
                return true;
            }
            Device device;
            if (!parseDeviceLine(line, &device)) {
                *error = "unexpected line from the simulator: " + line;
                kill();
                return false;
            }
            devices_.push_back(device);
            continue;
        }
        if (std::chrono::steady_clock::now() >= deadline || !readSome(child_.out.get(), &pending, deadline)) break;
    }
    const int status = child_.wait(deadlineIn(seconds(1)));
    *error = "the simulator did not get ready";
    if (status != -1 && WIFEXITED(status)) *error += " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    *error += ": " + errors();
    kill();
    return false;
}

bool SimProcess::command(const std::string& line, std::string* error) {
    const platform::FdGuard fifo(::open(controlFile.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    const std::string text = line + "\n";
    if (!fifo.valid() || ::write(fifo.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        *error = "cannot write to " + controlFile;
        return false;
    }
    return true;
}

bool SimProcess::nextLine(std::string* line, std::string* error) {
    const Deadline deadline = deadlineIn(seconds(5));
    for (;;) {
        const auto newline = output_.find('\n');
        if (newline != std::string::npos) {
            *line = output_.substr(0, newline);
            output_.erase(0, newline + 1);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline || !readSome(child_.out.get(), &output_, deadline)) break;
    }
    *error = "no line from the simulator: " + errors();
    return false;
}

bool SimProcess::stop() {
    if (!child_.running()) return false;
    child_.signal(SIGTERM);
    const Deadline deadline = deadlineIn(seconds(10));
    while (child_.out.valid() && std::chrono::steady_clock::now() < deadline &&
           readSome(child_.out.get(), &output_, deadline)) {
    }
    const int status = child_.wait(deadline);
    kill();
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SimProcess::requestDump(std::string* text, std::string* error) {
    if (!child_.running()) {
        *error = "the simulator is not running";
        return false;
    }
    std::error_code ec;
    std::filesystem::remove(dumpFile, ec);
    child_.signal(SIGUSR1);
    const Deadline deadline = deadlineIn(seconds(5));
    while (std::chrono::steady_clock::now() < deadline) {
        if (readTextFile(dumpFile, text)) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    *error = "no dump appeared: " + errors();
    return false;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs) {
    RunResult result;
    Child child;
    std::string error;
    if (!spawn(argv, env, kPipe, kPipe, &child, &error)) return result;

    const Deadline deadline = deadlineIn(milliseconds(timeoutMs));
    platform::FdGuard* streams[2] = {&child.out, &child.err};
    std::string* texts[2] = {&result.out, &result.err};
    while ((child.out.valid() || child.err.valid()) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{child.out.get(), POLLIN, 0}, {child.err.get(), POLLIN, 0}};
        if (::poll(fds, 2, platform::msLeft(deadline)) < 0 && errno != EINTR) break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                streams[i]->reset();
            }
        }
    }
    result.timedOut = child.out.valid() || child.err.valid();
    const int status = child.wait(result.timedOut ? std::chrono::steady_clock::now() : deadline + seconds(1));
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

}  // namespace sim
