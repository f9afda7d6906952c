// How close a wipe comes to the serial line's own limit and to the least a
// host can do, and what the host spends per exchange.
//
// 1. The real voriridod and a bare C client (bare-wipe: one write and two
//    1-byte reads per exchange, one port opening per pass) wiping the same
//    device, in interleaved pairs: against tuvak-sim pacing at 115200 8N1
//    (beside the line-time bound of 640 exchanges of 6 bytes), and against
//    one that answers at once. Wall time and the child's CPU time.
// 2. The framework in-process against a simulator that answers at once:
//    wall and CPU time per write exchange, beside the round trip of a bare
//    pty that no host can beat.
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/pairs.h"
#include "hwds/hwds.h"
#include "platform/posix/port_services.h"
#include "platform/posix/pty.h"
#include "sim/control/sim_process.h"

namespace {

constexpr double kBoundSeconds = 5.0 * 128 * 6 * 10 / 115200;  // 0.333 s
constexpr int kPairs = 15;
constexpr int kExchangeRounds = 40;  // of 128 write exchanges each

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
    platform::Pty pty;
    std::string error;
    if (!platform::openPty({.raw = true, .openSlave = true}, &pty, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return {};
    }
    const int master = pty.master.get();
    const int slave = pty.slave.get();
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
    const double cpu = bench::cpuSeconds(after) - bench::cpuSeconds(before);
    return {1e6 * total / exchanges, 1e6 * cpu / exchanges};
}

struct Pair {
    bench::Times tool, bare;
};

// voriridod and bare-wipe in interleaved pairs.
bool pairs(const std::string& id, const std::vector<std::string>& simArgs, Pair* out) {
    sim::SimProcess device(TUVAK_SIM_PATH);
    if (!startSim(device, simArgs)) return false;
    const bench::Program tool{"voriridod", {VORIRIDOD_PATH, id}, {"HWDS_REGISTRY=" + device.registryFile}};
    const bench::Program bare{"bare-wipe", {BARE_WIPE_PATH, device.devices().at(0).pty}, {}};
    if (!bench::interleavedPairs(tool, bare, kPairs, &out->tool, &out->bare)) return false;
    return device.stop();
}

void report(const char* title, const Pair& p, bool bound) {
    const double tw = bench::median(p.tool.wall), tc = bench::median(p.tool.cpu);
    const double bw = bench::median(p.bare.wall), bc = bench::median(p.bare.cpu);
    std::printf("%s (median of %d interleaved pairs, process start included)\n", title, kPairs);
    std::printf("  voriridod   wall %.4f s   cpu %.4f s\n", tw, tc);
    std::printf("  bare-wipe   wall %.4f s   cpu %.4f s\n", bw, bc);
    std::printf("  ratio       wall %.3fx    cpu %.3fx", tw / bw, tc / bc);
    if (bound) std::printf("   (line bound %.3f s: voriridod %.3fx)", kBoundSeconds, tw / kBoundSeconds);
    std::printf("\n");
}

}  // namespace

int main() {
    const std::string id = "AB12CD34E";

    Pair paced, unpaced;
    if (!pairs(id, {"--pace", id}, &paced) || !pairs(id, {id}, &unpaced)) return 1;
    report("five-pass wipe at 115200 8N1, paced simulator", paced, true);
    report("five-pass wipe, simulator answering at once", unpaced, false);

    sim::SimProcess prompt(TUVAK_SIM_PATH);
    if (!startSim(prompt, {id})) return 1;
    platform::PortServices ports(platform::PosixRegistry::fromFile(prompt.registryFile));
    platform::ScopedServices services(ports.services());
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
    const double hostCpu = bench::cpuSeconds(after) - bench::cpuSeconds(before);
    const int exchanges = kExchangeRounds * 128;
    std::printf("host cost per write exchange against a simulator that answers at once (%d exchanges)\n", exchanges);
    std::printf("  wall %.1f us   cpu %.1f us\n", 1e6 * total / exchanges, 1e6 * hostCpu / exchanges);
    const PerExchange floor = ptyRoundTrip(exchanges);
    std::printf("  a bare pty round trip on this machine, for comparison: wall %.1f us   cpu %.1f us\n",
                floor.wallMicros, floor.cpuMicros);
    return 0;
}
