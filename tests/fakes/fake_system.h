// A system whose host, user, clock and random bytes a test sets; files are
// published in the real file system unless a test refuses them.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace fakes {

class FakeSystem : public platform::System {
public:
    std::string host = "station-1";
    std::string login = "operator1";
    // Each reading of the clock moves it on by `step` milliseconds.
    std::atomic<int64_t> utc{1796660425123};  // 2026-12-07T16:20:25.123Z
    int64_t step = 250;
    bool randomFails = false;
    uint32_t publishError = platform::kErrSuccess;  // anything else refuses every file
    std::atomic<int> published{0};

    std::string hostName() override { return host; }
    std::string loginName() override { return login; }
    int64_t utcMilliseconds() override { return utc.fetch_add(step); }
    bool randomBytes(uint8_t* data, std::size_t length) override {
        for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(next_++);
        return !randomFails;
    }
    uint32_t publishFile(const std::string& path, std::string_view bytes) override {
        if (publishError != platform::kErrSuccess) return publishError;
        const uint32_t status = platform::native().system->publishFile(path, bytes);
        if (status == platform::kErrSuccess) ++published;
        return status;
    }

private:
    std::atomic<uint8_t> next_{0xA0};
};

}  // namespace fakes
