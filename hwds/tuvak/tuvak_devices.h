// The Тувак key devices that the USB-serial adapter's driver lists, for
// front ends that show people what is attached.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hwds/hwds.h"

inline constexpr uint32_t TUVAK_MEMORY_SIZE = 128;

// Whether the identifier names one device. The serial source takes a missing
// or empty one as "whichever entry the driver lists last", which a front end
// must never read or wipe by accident.
inline bool tuvakIdNamesDevice(const char* id) { return id != nullptr && id[0] != '\0'; }

// Why the registry that holds the driver's data cannot be read; empty when it
// can. Such a registry reads as one without the driver, which it must not
// pass for.
inline std::string tuvakRegistryProblem() {
    platform::Registry* registry = platform::current().registry;
    return registry != nullptr ? registry->unavailableReason() : std::string();
}

struct HwTuvakDevice {
    std::string id;       // what hwdsOpen("TUVAK", id) takes
    std::string comName;  // "COM5" as the driver names the port; empty when it names none
    std::string node;     // the system's device behind the port; empty when unknown
};

// Whether the adapter driver's service key opens: the driver is installed.
bool hwdsTuvakDriverInstalled();

// The most bytes of an Enum entry that hwdsReadTuvakEntries reads.
inline constexpr uint32_t TUVAK_ENTRY_CAPACITY = 512;

struct HwTuvakEntry {
    uint32_t number = 0;  // the entry's value name, in decimal
    std::string text;     // its data up to the first zero byte
};

// The adapter driver's Enum entries as stored, for a front end with rules
// of its own about which of them name devices.
struct HwTuvakEntries {
    bool counted = false;            // false when Enum does not open or Count cannot be read
    uint32_t count = 0;              // Count as stored, 0 unless counted
    std::vector<HwTuvakEntry> held;  // the entries Enum holds below Count, lowest first
};

// Reads the Enum key; an entry that cannot be read, or is longer than
// TUVAK_ENTRY_CAPACITY, is left out. Touches no device.
void hwdsReadTuvakEntries(HwTuvakEntries* entries);

// The devices in the driver's order (lowest entry first), as the serial
// source finds them. CE_HW_NOT_FOUND when the adapter driver is not
// installed; an entry that cannot be read or is no Тувак device is left out.
// Touches no device.
CeResult hwdsListTuvak(std::vector<HwTuvakDevice>* devices);
