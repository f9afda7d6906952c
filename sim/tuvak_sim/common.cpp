#include "sim/tuvak_sim/common.h"

#include <time.h>

#include <cerrno>
#include <cstring>

namespace tuvaksim {

int64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

std::string errnoText() { return std::strerror(errno); }

}  // namespace tuvaksim
