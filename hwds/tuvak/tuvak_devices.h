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

// The devices in the driver's order (lowest entry first), as the serial
// source finds them. CE_HW_NOT_FOUND when the adapter driver is not
// installed; an entry that cannot be read or is no Тувак device is left out.
// Touches no device.
CeResult hwdsListTuvak(std::vector<HwTuvakDevice>* devices);
