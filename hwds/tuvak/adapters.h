// The adapter driver's data: its Enum entries (one device instance path
// each) and every instance's port name. The connection and the device
// listing read it through these, so that both see the same devices.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/registry_key.h"

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

// The driver's Enum key, open while this lives, and its Count.
class AdapterEnum {
public:
    explicit AdapterEnum(platform::Registry& registry);

    // False when the key does not open or Count cannot be read as 4 bytes.
    bool counted() const { return counted_; }
    // Count as stored (shorter data leaves the upper bytes zero); 0 unless counted.
    uint32_t count() const { return count_; }
    // The numbers below `bound` of the entries the key holds, lowest first.
    // Costs one look per value held, so that a Count of two billion does not
    // mean two billion queries.
    std::vector<uint32_t> heldBelow(uint32_t bound) const;
    // Entry `number` as the serial source reads it: at most kEntryCapacity bytes.
    AdapterEntry entry(uint32_t number) const;
    // Entry `number` up to its first zero, read in one query of at most
    // `capacity` bytes; false when it cannot be read or is longer.
    bool entryText(uint32_t number, uint32_t capacity, std::string* text) const;
    const platform::RegistryKey& key() const { return key_; }

private:
    platform::RegistryKey key_;
    bool counted_ = false;
    uint32_t count_ = 0;
};

// Whether the adapter driver's service key opens.
bool driverKeyOpens(platform::Registry& registry);

// An entry's value name: its number in decimal.
void entryName(uint32_t number, char (&name)[16]);

// The connection's walk: hands each entry number from Count - 1 down to
// `visit`, until it answers true.
AdapterWalk walkAdapterEntries(platform::Registry& registry, const std::function<bool(const AdapterEntry&)>& visit);

// The entries the Enum key holds below Count, lowest first, for listings.
AdapterWalk heldAdapterEntries(platform::Registry& registry, std::vector<AdapterEntry>* entries);

// The entry's "Device Parameters" "PortName" as stored, at most
// kPortNameCapacity bytes; false when the key or value cannot be read.
bool readPortName(platform::Registry& registry, const AdapterEntry& entry, char* portName, uint32_t* size);

// Whether the entry names the adapter of a device with this identifier.
// Never looks past the bytes that were read.
bool entryCarries(const AdapterEntry& entry, std::string_view id);

// The identifier of a device instance path ("FTDIBUS\VID_0403+PID_6001+" ID
// "\..."), or empty when the entry has another form.
std::string_view identifierOf(const AdapterEntry& entry);

}  // namespace tuvak
