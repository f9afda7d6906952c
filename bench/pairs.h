// Timing whole program runs for the benches: one run, a median, and two
// programs run in interleaved pairs.
#pragma once

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/control/spawn.h"

namespace bench {

inline double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }
inline double cpuSeconds(const rusage& usage) { return seconds(usage.ru_utime) + seconds(usage.ru_stime); }

struct Run {
    double wall = 0, cpu = 0;
    bool ok = false;
};

// One run of a program, its output discarded; process start included.
inline Run timed(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    Run run;
    sim::Child child;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    if (!sim::spawn(argv, env, sim::kNull, sim::kNull, &child, &error)) return run;
    rusage usage{};
    const int status = child.wait(platform::Deadline::max(), &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = cpuSeconds(usage);
    run.ok = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Program {
    std::string name;  // for the message when a run fails
    std::vector<std::string> argv, env;
};

struct Times {
    std::vector<double> wall, cpu;
};

// `a` and `b` in turn, `count` times each, the first of each pair
// alternating so that neither always runs on a port or cache the other has
// just warmed. False, with the name of the one that failed on standard
// error, at the first pair with a failed run.
inline bool interleavedPairs(const Program& a, const Program& b, int count, Times* aTimes, Times* bTimes) {
    for (int i = 0; i < count; ++i) {
        Run ra, rb;
        if (i % 2 == 0) {
            ra = timed(a.argv, a.env);
            rb = timed(b.argv, b.env);
        } else {
            rb = timed(b.argv, b.env);
            ra = timed(a.argv, a.env);
        }
        if (!ra.ok || !rb.ok) {
            std::fprintf(stderr, "%s failed\n", ra.ok ? b.name.c_str() : a.name.c_str());
            return false;
        }
        aTimes->wall.push_back(ra.wall);
        aTimes->cpu.push_back(ra.cpu);
        bTimes->wall.push_back(rb.wall);
        bTimes->cpu.push_back(rb.cpu);
    }
    return true;
}

}  // namespace bench
