// How close 64 KiB of random bytes come to the serial line's own limit and
// to the least a host can do.
//
// `hwds random TUVAK ID --bytes 64K --unchecked` and a bare C client
// (bare-random: per block one port opening, one 1-byte write and two reads)
// drawing from the same device, in interleaved pairs: against tuvak-sim
// pacing at 115200 8N1 (beside the line time of 512 blocks of 131 bytes),
// and against one that answers at once. Wall time and the child's CPU time.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/pairs.h"
#include "sim/control/sim_process.h"

namespace {

constexpr int kBlocks = 512;             // of 128 random bytes: 64 KiB
constexpr int kLineBytesPerBlock = 131;  // the request, the echo, 128 bytes, the check byte
constexpr double kLineSeconds = kBlocks * kLineBytesPerBlock * 10.0 / 115200;  // 5.823 s
constexpr double kGoal = 1.1;
constexpr int kPairs = 7;

struct Pair {
    bench::Times tool, bare;
};

// hwds random and bare-random in interleaved pairs.
bool pairs(const std::string& id, const std::vector<std::string>& simArgs, Pair* out) {
    sim::SimProcess device(TUVAK_SIM_PATH);
    std::string error;
    if (!device.start(simArgs, &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return false;
    }
    const bench::Program tool{"hwds random",
                              {HWDS_CLI_PATH, "random", "TUVAK", id, "--bytes", "64K", "--unchecked"},
                              {"HWDS_REGISTRY=" + device.registryFile}};
    const bench::Program bare{"bare-random", {BARE_RANDOM_PATH, device.devices().at(0).pty}, {}};
    if (!bench::interleavedPairs(tool, bare, kPairs, &out->tool, &out->bare)) return false;
    return device.stop();
}

void report(const char* title, const Pair& p, bool paced) {
    const double tw = bench::median(p.tool.wall), tc = bench::median(p.tool.cpu);
    const double bw = bench::median(p.bare.wall), bc = bench::median(p.bare.cpu);
    std::printf("%s (median of %d interleaved pairs, process start included)\n", title, kPairs);
    std::printf("  hwds random   wall %.3f s   cpu %.3f s\n", tw, tc);
    std::printf("  bare-random   wall %.3f s   cpu %.3f s\n", bw, bc);
    std::printf("  ratio         wall %.3fx    cpu %.3fx   hwds %.2f ms a block more\n", tw / bw, tc / bc,
                1e3 * (tw - bw) / kBlocks);
    if (!paced) return;
    std::printf("  line time %.3f s: hwds random %.3fx, bare-random %.3fx\n", kLineSeconds, tw / kLineSeconds,
                bw / kLineSeconds);
    const bool met = tw <= kGoal * bw && tw <= kGoal * kLineSeconds;
    std::printf("  goal, within %.1fx of bare-random and of the line time: %s\n", kGoal, met ? "met" : "not met");
}

}  // namespace

int main() {
    const std::string id = "AB12CD34E";
    Pair paced, unpaced;
    if (!pairs(id, {"--pace", id}, &paced) || !pairs(id, {id}, &unpaced)) return 1;
    report("64 KiB of random bytes at 115200 8N1, paced simulator", paced, true);
    report("64 KiB of random bytes, simulator answering at once", unpaced, false);
    return 0;
}
