// What the parts of tuvak-sim share.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tuvaksim {

inline constexpr int64_t kNsPerMs = 1000000;
inline constexpr int64_t kNsPerSec = 1000000000;

// CLOCK_MONOTONIC in nanoseconds.
int64_t monotonicNs();
// strerror(errno).
std::string errnoText();

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace tuvaksim
