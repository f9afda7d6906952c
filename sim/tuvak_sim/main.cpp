// tuvak-sim: simulated Тувак devices served on pseudo-terminals, with a
// regedit file that makes the POSIX registry view point the host at them.
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim/tuvak_sim/common.h"
#include "sim/tuvak_sim/options.h"
#include "sim/tuvak_sim/server.h"

using namespace tuvaksim;

int main(int argc, char** argv) {
    Config config;
    std::string error;
    bool help = false;
    if (!parseArgs(argc, argv, &config, &error, &help)) {
        std::fprintf(stderr, "tuvak-sim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    // Paced replies need wake-ups to the microsecond, not the default 50 µs slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "tuvak-sim: cannot create a pipe: %s\n", errnoText().c_str());
        return 1;
    }
    Fd signalRead(pipeFds[0]);
    Fd signalWrite(pipeFds[1]);
    if (!installSignals(signalWrite.get(), &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }

    File log;
    if (!config.log.empty()) {
        log.reset(std::fopen(config.log.c_str(), "we"));
        if (!log) {
            std::fprintf(stderr, "tuvak-sim: cannot open %s: %s\n", config.log.c_str(), errnoText().c_str());
            return 1;
        }
        setvbuf(log.get(), nullptr, _IOLBF, 0);
    }

    Server server(config, std::move(log));
    if (!server.setUp(&error) || !server.run(signalRead.get(), &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
