// Small helpers for files and deadlines that the POSIX code shares.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

namespace platform {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// What tells one state of a file from another without reading it; "-" when
// it cannot be seen. The size tells apart two writes within one tick of a
// file system whose times are coarse.
inline std::string stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "-";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
}

using Deadline = std::chrono::steady_clock::time_point;

inline Deadline deadlineIn(std::chrono::milliseconds span) { return std::chrono::steady_clock::now() + span; }

// Milliseconds to the deadline for poll(2), rounded up: a wait never ends
// before the deadline, so no caller reports it passed while time remains. A
// deadline beyond what poll takes gives its longest wait; callers wait again.
inline int msLeft(Deadline deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= decltype(left)::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<decltype(ms)>(ms, std::numeric_limits<int>::max()));
}

}  // namespace platform
