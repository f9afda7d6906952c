// Wiping several devices at once against wiping one: hwds wipe against
// tuvak-sim pacing every device at 115200 8N1. Each device has its own
// port, so N devices should take about as long as one.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/pairs.h"
#include "sim/control/sim_process.h"

namespace {

constexpr int kRounds = 9;
constexpr int kDevices[] = {1, 2, 4, 8};

struct Case {
    std::string label;
    std::vector<std::string> argv;
    int devices = 1;
    bool verify = false;
    std::vector<double> walls;
};

}  // namespace

int main() {
    const int most = kDevices[std::size(kDevices) - 1];
    std::vector<std::string> simArgs{"--pace"};
    std::vector<std::string> ids;
    for (int d = 0; d < most; ++d) ids.push_back("DEV" + std::to_string(d));
    simArgs.insert(simArgs.end(), ids.begin(), ids.end());
    sim::SimProcess paced(TUVAK_SIM_PATH);
    std::string error;
    if (!paced.start(simArgs, &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }

    std::vector<Case> cases;
    cases.push_back({"voriridod, 1 device", {VORIRIDOD_PATH, ids[0]}, 1, false, {}});
    for (bool verify : {false, true}) {
        for (int n : kDevices) {
            Case c;
            c.label = std::string("hwds wipe") + (verify ? " --verify" : "") + ", " + std::to_string(n) +
                      (n == 1 ? " device" : " devices");
            c.argv = {HWDS_CLI_PATH, "wipe"};
            c.argv.insert(c.argv.end(), ids.begin(), ids.begin() + n);
            if (verify) c.argv.push_back("--verify");
            c.devices = n;
            c.verify = verify;
            cases.push_back(c);
        }
    }
    // Round by round, so that a busy moment of the machine spreads over all cases.
    for (int round = 0; round < kRounds; ++round) {
        for (Case& c : cases) {
            const auto start = std::chrono::steady_clock::now();
            const sim::RunResult r = sim::runProgram(c.argv, {"HWDS_REGISTRY=" + paced.registryFile});
            c.walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (r.exitCode != 0) {
                std::fprintf(stderr, "%s failed (%d): %s\n", c.label.c_str(), r.exitCode, r.err.c_str());
                return 1;
            }
        }
    }
    paced.stop();

    std::printf("wipes at 115200 8N1, five passes, median of %d runs, process start included\n", kRounds);
    double one = 0;
    for (const Case& c : cases) {
        const double wall = bench::median(c.walls);
        if (c.devices == 1 && c.argv[0] == HWDS_CLI_PATH) one = wall;
        std::printf("  %-30s %.3f s", c.label.c_str(), wall);
        if (c.argv[0] == HWDS_CLI_PATH) std::printf("   %.2fx one device", wall / one);
        std::printf("\n");
    }
    return 0;
}
