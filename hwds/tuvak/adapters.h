// The adapter driver's data: its Enum entries (one device instance path
// each) and every instance's port name. The connection and the device
// listing read it through these, so that both see the same devices.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/platform.h"

namespace tuvak {

inline constexpr uint32_t kEntryCapacity = 64;
inline constexpr uint32_t kPortNameCapacity = 7;

struct AdapterEntry {
    uint32_t index = 0;
    // False when the value cannot be read or holds more than kEntryCapacity bytes.
    bool readable = false;
    char data[kEntryCapacity];
    uint32_t size = 0;  // bytes of data read, a terminating zero included if stored
};

enum class AdapterWalk {
    Walked,      // every entry visited, or the visitor stopped the walk
    NoDriver,    // the driver's service key does not open
    NoEntries,   // no Enum key, or a Count of 0
    CountFailed  // Count cannot be read
};

// Hands each Enum entry to `visit`, the highest-numbered first, until it
// answers true.
AdapterWalk walkAdapterEntries(platform::Registry& registry,
                               const std::function<bool(const AdapterEntry&)>& visit);

// The entry's "Device Parameters" "PortName" as stored, at most
// kPortNameCapacity bytes; false when the key or value cannot be read.
bool readPortName(platform::Registry& registry, const AdapterEntry& entry, char* portName,
                  uint32_t* size);

// Registry text need not be zero-terminated: it ends at the first zero byte
// or with the data.
std::string_view registryText(const char* data, uint32_t size);

// Whether the entry names the adapter of a device with this identifier.
// Never looks past the bytes that were read.
bool entryCarries(const AdapterEntry& entry, std::string_view id);

// The identifier of a device instance path ("FTDIBUS\VID_0403+PID_6001+" ID
// "\..."), or empty when the entry has another form.
std::string_view identifierOf(const AdapterEntry& entry);

}  // namespace tuvak
