// What the parts of tuvak-sim share.
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/files.h"

namespace tuvaksim {

inline constexpr int64_t kNsPerMs = 1000000;
inline constexpr int64_t kNsPerSec = 1000000000;

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonicNs();
// strerror(errno).
std::string errnoText();

using platform::File;

}  // namespace tuvaksim
