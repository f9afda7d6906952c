// What the hwds front end's tests run it against: a terminal whose operator answers as the test says, a
// screen that plays back the cursor movements written, and the program run in-process.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/platform.h"

namespace fakes {

class FakeTerminal : public platform::Terminal {
public:
    bool live = false;    // standard error shows cursor movement
    bool typing = false;  // someone types at standard input
    // The operator's answer to each question; the default waits in vain.
    std::function<platform::LineRead(std::string*)> answer = [](std::string*) { return platform::LineRead::TimedOut; };

    bool interactive(platform::Stream stream) override { return live && stream == platform::Stream::Err; }
    bool inputInteractive() override { return typing; }
    platform::LineRead readLine(uint32_t timeoutMs, std::string* line) override {
        std::lock_guard hold(mutex_);
        ++questions;
        lastTimeoutMs = timeoutMs;
        line->clear();
        return answer(line);
    }
    bool binaryOutput() override { return true; }

    std::atomic<int> questions{0};
    std::atomic<uint32_t> lastTimeoutMs{0};

private:
    std::mutex mutex_;
};

// The lines of a terminal after `bytes`, honouring \r, \n, ESC[nA (up) and
// ESC[K (clear to the end of the line); anything else is shown as is.
inline std::vector<std::string> playBack(const std::string& bytes) {
    std::vector<std::string> lines(1);
    std::size_t row = 0;
    std::size_t column = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            std::size_t j = i + 2;
            std::size_t n = 0;
            while (j < bytes.size() && bytes[j] >= '0' && bytes[j] <= '9') n = n * 10 + (bytes[j++] - '0');
            if (j < bytes.size() && bytes[j] == 'A') row -= std::min(row, n == 0 ? 1 : n);
            if (j < bytes.size() && bytes[j] == 'K') lines[row].resize(std::min(lines[row].size(), column));
            i = j;
        } else if (c == '\r' || c == '\n') {
            column = 0;
            if (c == '\n' && ++row == lines.size()) lines.emplace_back();
        } else {
            if (lines[row].size() <= column) lines[row].resize(column + 1, ' ');
            lines[row][column++] = c;
        }
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

// Runs hwds as if typed with these arguments after the program name.
inline int runCli(std::vector<std::string> args) {
    args.insert(args.begin(), "hwds");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return hwdsCliMain(static_cast<int>(args.size()), argv.data());
}

}  // namespace fakes
