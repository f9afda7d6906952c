#pragma once

#include <algorithm>
#include <cstdint>

#include "hwds/hwds.h"

namespace hwds {

// A generator that delivered nothing but zeros has failed.
inline int32_t randomStatus(const uint8_t* data, uint32_t length) {
    if (length == 0) return HWDS_OK;
    return std::any_of(data, data + length, [](uint8_t b) { return b != 0; }) ? HWDS_OK : HWDS_FAILED;
}

}  // namespace hwds
