// Running tuvak-sim (and other programs) from tests: start, wait for the
// simulator's devices, stop, collect files and output.
#pragma once

#include <string>
#include <vector>

#include "sim/control/memory_dump.h"
#include "sim/control/spawn.h"

namespace sim {

class SimProcess {
public:
    struct Device {
        std::string id, pty, com;
    };

    // `binary` is the tuvak-sim executable (TUVAK_SIM_PATH in test programs).
    explicit SimProcess(std::string binary);
    ~SimProcess();  // kills a simulator still running and removes the temp dir
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Makes a fresh temp dir, runs `binary --registry R --dump D --log L args...`
    // and waits (up to 10 s) for its device lines and `ready`. On failure
    // *error says why, with the simulator's standard error.
    bool start(const std::vector<std::string>& args, std::string* error);
    const std::vector<Device>& devices() const { return devices_; }
    bool running() const { return child_.running(); }

    // SIGTERM, then waits for the exit (SIGKILL after 10 s). True when the
    // simulator exited with status 0. Collects the rest of its output.
    bool stop();
    // SIGUSR1 and waits (up to 5 s) for the fresh dump file.
    bool requestDump(std::string* text, std::string* error);

    // Set before start: the simulator reads commands from controlFile.
    bool withControl = false;
    // Writes one command line to the control FIFO.
    bool command(const std::string& line, std::string* error);
    // The next line of standard output after `ready`, waiting up to 5 s.
    bool nextLine(std::string* line, std::string* error);

    // Standard output after `ready` (the --show-at-exit dump), once stopped.
    const std::string& output() const { return output_; }
    // Standard error so far.
    std::string errors() const;

    std::string dir, registryFile, dumpFile, logFile, errorFile, controlFile;

private:
    void kill();

    std::string binary_;
    Child child_;
    std::vector<Device> devices_;
    std::string output_;
};

// A finished program run: exit code (-1 when it did not exit normally or
// was killed at the time-out) and everything it wrote.
struct RunResult {
    int exitCode = -1;
    bool timedOut = false;
    std::string out, err;
};

// Runs argv[0] (a path) with `env` ("NAME=value") added to this process's
// environment, waiting at most timeoutMs.
RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                     int timeoutMs = 30000);

// The whole file, or false.
bool readTextFile(const std::string& path, std::string* text);

}  // namespace sim
