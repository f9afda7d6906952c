// How close 64 KiB of random bytes come to the serial line's own limit and
// to the least a host can do.
//
// `hwds random TUVAK ID --bytes 64K --unchecked` and a bare C client
// (bare-random: per block one port opening, one 1-byte write and two reads)
// drawing from the same device, in interleaved pairs: against tuvak-sim
// pacing at 115200 8N1 (beside the line time of 512 blocks of 131 bytes),
// and against one that answers at once. Wall time and the child's CPU time.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "sim/control/spawn.h"

namespace {

constexpr int kBlocks = 512;             // of 128 random bytes: 64 KiB
constexpr int kLineBytesPerBlock = 131;  // the request, the echo, 128 bytes, the check byte
constexpr double kLineSeconds = kBlocks * kLineBytesPerBlock * 10.0 / 115200;  // 5.823 s
constexpr double kGoal = 1.1;
constexpr int kPairs = 7;

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

struct Run {
    double wall = 0, cpu = 0;
    bool ok = false;
};

// One run of a program, its output discarded; process start included.
Run timed(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    Run run;
    sim::Child child;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    if (!sim::spawn(argv, env, sim::kNull, sim::kNull, &child, &error)) return run;
    rusage usage{};
    const int status = child.wait(platform::Deadline::max(), &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Pair {
    std::vector<double> toolWall, toolCpu, bareWall, bareCpu;
};

// hwds random and bare-random in turn, the first of each pair alternating.
bool pairs(const std::string& id, const std::vector<std::string>& simArgs, Pair* out) {
    sim::SimProcess device(TUVAK_SIM_PATH);
    std::string error;
    if (!device.start(simArgs, &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return false;
    }
    const std::vector<std::string> tool{HWDS_CLI_PATH, "random", "TUVAK", id, "--bytes", "64K", "--unchecked"};
    const std::vector<std::string> env{"HWDS_REGISTRY=" + device.registryFile};
    const std::vector<std::string> bare{BARE_RANDOM_PATH, device.devices().at(0).pty};
    for (int i = 0; i < kPairs; ++i) {
        Run a, b;
        if (i % 2 == 0) {
            a = timed(tool, env);
            b = timed(bare, {});
        } else {
            b = timed(bare, {});
            a = timed(tool, env);
        }
        if (!a.ok || !b.ok) {
            std::fprintf(stderr, "%s failed\n", a.ok ? "bare-random" : "hwds random");
            return false;
        }
        out->toolWall.push_back(a.wall);
        out->toolCpu.push_back(a.cpu);
        out->bareWall.push_back(b.wall);
        out->bareCpu.push_back(b.cpu);
    }
    return device.stop();
}

void report(const char* title, const Pair& p, bool paced) {
    const double tw = median(p.toolWall), tc = median(p.toolCpu), bw = median(p.bareWall), bc = median(p.bareCpu);
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
