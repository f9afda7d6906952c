// The adapter driver's keys as a test wants them, in an in-memory registry.
#pragma once

#include <string>
#include <vector>

#include "platform/ftdi_keys.h"
#include "platform/regtree.h"

namespace fakes {

inline constexpr const char* kDriverKey = platform::ftdi::kServiceKey;
inline constexpr const char* kEnumKey = platform::ftdi::kEnumKey;

inline std::string instancePath(const std::string& id) { return platform::ftdi::kInstancePrefix + id + "\\0000"; }
inline std::string deviceParametersKey(const std::string& instance) {
    return platform::ftdi::kDeviceKeyHead + instance + platform::ftdi::kDeviceKeyTail;
}

struct Adapter {
    std::string instance;  // the Enum entry's text
    std::string portName;  // empty: no "Device Parameters" key
};

// Driver key, Enum with "Count" and entries "0".. in order, and each entry's
// "PortName".
inline void addFtdiDriver(platform::RegTree& tree, const std::vector<Adapter>& adapters) {
    tree.addKey(kDriverKey);
    tree.setDword(kEnumKey, "Count", static_cast<uint32_t>(adapters.size()));
    for (size_t i = 0; i < adapters.size(); ++i) {
        tree.setString(kEnumKey, std::to_string(i), adapters[i].instance);
        if (!adapters[i].portName.empty())
            tree.setString(deviceParametersKey(adapters[i].instance), "PortName", adapters[i].portName);
    }
}

}  // namespace fakes
