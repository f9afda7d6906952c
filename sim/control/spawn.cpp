#include "sim/control/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

extern char** environ;

namespace sim {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

std::vector<std::string> environment(const std::vector<std::string>& extra) {
    std::vector<std::string> result;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const auto& x : extra) replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced) result.push_back(entry);
    }
    result.insert(result.end(), extra.begin(), extra.end());
    return result;
}

// The descriptor the child gets for one stream; *ours keeps our pipe end.
bool target(int to, platform::FdGuard* childEnd, platform::FdGuard* ours, std::string* error) {
    if (to >= 0) {
        *childEnd = platform::FdGuard(::fcntl(to, F_DUPFD_CLOEXEC, 3));
    } else if (to == kNull) {
        *childEnd = platform::FdGuard(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    } else {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) ends[0] = ends[1] = -1;
        *ours = platform::FdGuard(ends[0]);
        *childEnd = platform::FdGuard(ends[1]);
    }
    if (childEnd->valid()) return true;
    *error = std::string("cannot set up the child's output: ") + std::strerror(errno);
    return false;
}

}  // namespace

Child::Child(Child&& other) noexcept
    : out(std::move(other.out)), err(std::move(other.err)), pid_(std::exchange(other.pid_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        kill();
        out = std::move(other.out);
        err = std::move(other.err);
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

bool Child::signal(int signo) const { return pid_ > 0 && ::kill(pid_, signo) == 0; }

int Child::wait(platform::Deadline deadline, rusage* usage) {
    if (pid_ <= 0) return -1;
    rusage ignored{};
    if (usage == nullptr) usage = &ignored;
    const bool forever = deadline == platform::Deadline::max();
    int status = 0;
    for (;;) {
        const pid_t done = ::wait4(pid_, &status, forever ? 0 : WNOHANG, usage);
        if (done == pid_) {
            pid_ = -1;
            return status;
        }
        if (done < 0 && errno != EINTR) break;
        if (!forever && std::chrono::steady_clock::now() >= deadline) break;
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill();
    return -1;
}

void Child::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

bool spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outTo, int errTo,
           Child* child, std::string* error) {
    child->kill();
    if (argv.empty()) {
        *error = "nothing to run";
        return false;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> argp = pointers(args);
    std::vector<std::string> envStrings = environment(env);
    std::vector<char*> envp = pointers(envStrings);

    platform::FdGuard outChild, errChild;
    if (!target(outTo, &outChild, &child->out, error) || !target(errTo, &errChild, &child->err, error)) return false;

    const pid_t pid = ::fork();
    if (pid < 0) {
        *error = std::string("fork failed: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        if (::dup2(outChild.get(), STDOUT_FILENO) < 0 || ::dup2(errChild.get(), STDERR_FILENO) < 0) ::_exit(127);
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    child->pid_ = pid;
    return true;
}

bool readSome(int fd, std::string* into, platform::Deadline deadline) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, platform::msLeft(deadline));
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

}  // namespace sim
