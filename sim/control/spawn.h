// Starting a program with its standard output and error in pipes (or files),
// and owning it until it has been reaped.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/posix/fd_guard.h"
#include "platform/posix/files.h"

namespace sim {

// A started program. Destroying it kills and reaps a child still running.
class Child {
public:
    Child() = default;
    ~Child() { kill(); }
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    bool signal(int signo) const;
    // Its wait status once it exits; SIGKILL at the deadline and -1.
    // Deadline::max() waits as long as it takes. *usage gets its CPU time.
    int wait(platform::Deadline deadline, rusage* usage = nullptr);
    void kill();

    platform::FdGuard out, err;  // read ends of its output pipes, when piped

private:
    friend bool spawn(const std::vector<std::string>&, const std::vector<std::string>&, int, int, Child*, std::string*);
    pid_t pid_ = -1;
};

// Where a child's standard output or error goes: kPipe into Child::out or
// Child::err, kNull to /dev/null, or a descriptor of ours.
inline constexpr int kPipe = -2;
inline constexpr int kNull = -1;

// Runs argv[0] (a path) with `env` ("NAME=value") over this process's
// environment. False with *error set when it could not be started.
bool spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int outTo, int errTo,
           Child* child, std::string* error);

// Reads what is there before the deadline into *into; false at end of file
// or on an error.
bool readSome(int fd, std::string* into, platform::Deadline deadline);

}  // namespace sim
