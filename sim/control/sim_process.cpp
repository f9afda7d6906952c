#include "sim/control/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "sim/control/fd.h"

extern char** environ;

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads what is there within the time left; false at end of file or error.
bool readSome(int fd, std::string* into, Clock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, msLeft(deadline));
    if (ready < 0) return errno == EINTR;
    if (ready == 0) return true;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into->append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// Waits for the child until the deadline; then kills it. Returns the wait
// status, or -1 when it had to be killed.
int reap(pid_t pid, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

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
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
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

    std::vector<std::string> argv{binary_, "--registry", registryFile, "--dump", dumpFile,
                                  "--log", logFile};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp = pointers(argv);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = "pipe failed: " + std::string(std::strerror(errno));
        return false;
    }
    Fd readEnd(out[0]);
    Fd writeEnd(out[1]);
    Fd errFd(::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (errFd.get() < 0) {
        *error = "cannot create " + errorFile;
        return false;
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = "fork failed: " + std::string(std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        if (::dup2(writeEnd.get(), STDOUT_FILENO) < 0 || ::dup2(errFd.get(), STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(argp[0], argp.data());
        ::_exit(127);
    }
    pid_ = pid;
    writeEnd.reset();
    errFd.reset();
    stdout_ = readEnd.release();

    const auto deadline = Clock::now() + std::chrono::seconds(10);
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
        if (Clock::now() >= deadline || !readSome(stdout_, &pending, deadline)) break;
    }
    const int status = reap(pid_, Clock::now() + std::chrono::seconds(1));
    pid_ = -1;
    *error = "the simulator did not get ready";
    if (status != -1 && WIFEXITED(status)) *error += " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    *error += ": " + errors();
    kill();
    return false;
}

bool SimProcess::stop() {
    if (pid_ <= 0) return false;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (stdout_ >= 0 && Clock::now() < deadline && readSome(stdout_, &output_, deadline)) {
    }
    const int status = reap(pid_, deadline);
    pid_ = -1;
    kill();
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool SimProcess::requestDump(std::string* text, std::string* error) {
    if (pid_ <= 0) {
        *error = "the simulator is not running";
        return false;
    }
    std::error_code ec;
    std::filesystem::remove(dumpFile, ec);
    ::kill(pid_, SIGUSR1);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (readTextFile(dumpFile, text)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *error = "no dump appeared: " + errors();
    return false;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     int timeoutMs) {
    RunResult result;
    std::vector<std::string> args = argv;
    std::vector<char*> argp = pointers(args);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& extra : env) replaced = replaced || extra.substr(0, extra.find('=')) == name;
        if (!replaced) environment.push_back(entry);
    }
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp = pointers(environment);

    int out[2];
    int err[2];
    if (args.empty() || ::pipe2(out, O_CLOEXEC) != 0) return result;
    Fd outRead(out[0]);
    Fd outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) return result;
    Fd errRead(err[0]);
    Fd errWrite(err[1]);

    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        if (::dup2(outWrite.get(), STDOUT_FILENO) < 0 || ::dup2(errWrite.get(), STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    outWrite.reset();
    errWrite.reset();

    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true;
    bool errOpen = true;
    while ((outOpen || errOpen) && Clock::now() < deadline) {
        pollfd fds[2] = {{outOpen ? outRead.get() : -1, POLLIN, 0},
                         {errOpen ? errRead.get() : -1, POLLIN, 0}};
        if (::poll(fds, 2, msLeft(deadline)) < 0 && errno != EINTR) break;
        char buffer[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
    }
    result.timedOut = outOpen || errOpen;
    const int status = reap(pid, result.timedOut ? Clock::now() : deadline + std::chrono::seconds(1));
    if (status != -1 && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

std::map<std::string, std::array<uint8_t, 128>> parseDump(const std::string& text) {
    std::map<std::string, std::array<uint8_t, 128>> memories;
    std::istringstream in(text);
    std::string id;
    while (std::getline(in, id)) {
        std::array<uint8_t, 128> memory{};
        for (int row = 0; row < 8; ++row) {
            std::string line;
            if (!std::getline(in, line) || line.size() != 3 + 16 * 3) return {};
            char expected[4];
            std::snprintf(expected, sizeof expected, "%02x:", row * 16);
            if (line.compare(0, 3, expected) != 0) return {};
            for (int i = 0; i < 16; ++i) {
                const std::size_t at = 3 + static_cast<std::size_t>(i) * 3;
                if (line[at] != ' ' || !std::isxdigit(static_cast<unsigned char>(line[at + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(line[at + 2]))) {
                    return {};
                }
                memory[static_cast<std::size_t>(row * 16 + i)] =
                    static_cast<uint8_t>(std::stoul(line.substr(at + 1, 2), nullptr, 16));
            }
        }
        memories[id] = memory;
    }
    return memories;
}

}  // namespace sim
