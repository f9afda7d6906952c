// Who, where and when, over uname, getpwuid and clock_gettime; random bytes
// from getrandom; files published by link(2), which never replaces a name.
#pragma once

#include "platform/platform.h"

namespace platform {

class PosixSystem : public System {
public:
    std::string hostName() override;
    std::string loginName() override;
    int64_t utcMilliseconds() override;
    bool randomBytes(uint8_t* data, std::size_t length) override;
    uint32_t publishFile(const std::string& path, std::string_view bytes) override;
};

}  // namespace platform
