// How close a wipe comes to the serial line's own limit, and what the host
// spends per exchange.
//
// 1. The real voriridod against tuvak-sim pacing at 115200 8N1: wall time of
//    a whole wipe beside the line-time bound (640 exchanges of 6 bytes), and
//    the tool's CPU time as a share of it.
// 2. The framework in-process against a simulator that answers at once:
//    wall and CPU time per write exchange, i.e. the host's own cost, beside
//    the round trip of a bare pty that no host can beat.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "hwds/hwds.h"
#include "platform/posix/posix_registry.h"
#include "platform/posix/posix_serial.h"
#include "sim/control/sim_process.h"

namespace {

constexpr double kBoundSeconds = 5.0 * 128 * 6 * 10 / 115200;  // 0.333 s
constexpr int kWipeRuns = 7;
constexpr int kExchangeRounds = 40;  // of 128 write exchanges each

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

struct Run {
    double wall = 0, cpu = 0;
    int status = -1;
};

// Runs voriridod once; wall time and the child's user + system time.
Run runTool(const std::string& registry, const std::string& id) {
    Run run;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("HWDS_REGISTRY", registry.c_str(), 1);
        if (std::freopen("/dev/null", "w", stdout) == nullptr ||
            std::freopen("/dev/null", "w", stderr) == nullptr)
            _exit(126);
        execl(VORIRIDOD_PATH, "voriridod", id.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool startSim(sim::SimProcess& sim, const std::vector<std::string>& args) {
    std::string error;
    if (sim.start(args, &error)) return true;
    std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
    return false;
}

// The floor any host meets on this machine: a 4-byte request and a 2-byte
// reply through a bare pty, echoed by a thread, with the same three system
// calls per exchange (write, poll, read).
struct PerExchange {
    double wallMicros = -1, cpuMicros = -1;
};

PerExchange ptyRoundTrip(int exchanges) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) return {};
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::thread device([&] {
        uint8_t request[4];
        for (int i = 0; i < exchanges; ++i) {
            size_t got = 0;
            while (got < sizeof request) {
                const ssize_t n = read(master, request + got, sizeof request - got);
                if (n <= 0) return;
                got += static_cast<size_t>(n);
            }
            if (write(master, request, 2) != 2) return;
        }
    });
    const uint8_t request[4] = {0x07, 0x00, 0x00, 0xFF};
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < exchanges; ++i) {
        if (write(slave, request, sizeof request) != 4) break;
        uint8_t reply[2];
        size_t got = 0;
        while (got < sizeof reply) {
            pollfd p{slave, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) break;
            const ssize_t n = read(slave, reply + got, sizeof reply - got);
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_THREAD, &after);
    device.join();
    close(slave);
    close(master);
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                       seconds(after.ru_stime) - seconds(before.ru_stime);
    return {1e6 * total / exchanges, 1e6 * cpu / exchanges};
}

}  // namespace

int main() {
    const std::string id = "AB12CD34E";

    sim::SimProcess paced(TUVAK_SIM_PATH);
    if (!startSim(paced, {"--pace", id})) return 1;
    std::vector<double> walls, cpus;
    for (int i = 0; i < kWipeRuns; ++i) {
        const Run run = runTool(paced.registryFile, id);
        if (run.status != 0) {
            std::fprintf(stderr, "voriridod failed (status %d)\n", run.status);
            return 1;
        }
        walls.push_back(run.wall);
        cpus.push_back(run.cpu);
    }
    paced.stop();
    const double wall = median(walls);
    const double cpu = median(cpus);
    std::printf("wipe at 115200 8N1 (median of %d runs of the real tool, process start included)\n",
                kWipeRuns);
    std::printf("  wall %.3f s   line bound %.3f s   ratio %.3f\n", wall, kBoundSeconds,
                wall / kBoundSeconds);
    std::printf("  host cpu %.4f s = %.1f%% of the wipe's wall time\n", cpu, 100.0 * cpu / wall);

    sim::SimProcess prompt(TUVAK_SIM_PATH);
    if (!startSim(prompt, {id})) return 1;
    auto registry = platform::PosixRegistry::fromFile(prompt.registryFile);
    platform::PosixSerialPorts serial([&](std::string_view com, std::string* node) {
        return registry->resolveComName(com, node);
    });
    platform::ScopedServices services({registry.get(), &serial, nullptr, nullptr, nullptr, nullptr});
    HwDataSource* source = nullptr;
    if (hwdsOpen(&source, "TUVAK", id.c_str()) != CE_OK) return 1;
    const uint8_t pattern[128] = {};
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kExchangeRounds; ++i)
        if (hwdsWrite(source, nullptr, pattern, 128, 0) != CE_OK) return 1;
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    const double hostCpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                           seconds(after.ru_stime) - seconds(before.ru_stime);
    const int exchanges = kExchangeRounds * 128;
    std::printf("host cost per write exchange against a simulator that answers at once (%d exchanges)\n",
                exchanges);
    std::printf("  wall %.1f us   cpu %.1f us\n", 1e6 * total / exchanges, 1e6 * hostCpu / exchanges);
    const PerExchange floor = ptyRoundTrip(exchanges);
    std::printf("  a bare pty round trip on this machine, for comparison: wall %.1f us   cpu %.1f us\n",
                floor.wallMicros, floor.cpuMicros);
    return 0;
}
