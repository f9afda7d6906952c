// The FTDI driver's registry keys, derived from Linux sysfs: what the
// adapter's Windows driver would have written for the ttys the kernel's
// ftdi_sio driver serves.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/regtree.h"

namespace platform {

// Whether the kernel whose modules live in `modulesDir` (/lib/modules/<release>)
// can load a module: built in (modules.builtin) or installed (modules.dep,
// compressed or not). The lists are read again only when they change.
class KernelModules {
public:
    explicit KernelModules(std::string modulesDir) : dir_(std::move(modulesDir)) {}
    bool has(std::string_view name);

private:
    std::string dir_;
    std::string stamp_;  // of the lists last read
    bool found_ = false;
    std::string foundName_;
};

// Whether the FTDI serial driver is there for the kernel to use: loaded
// (<sysfsRoot>/module/ftdi_sio, or serving ports), built in, or installed.
bool ftdiDriverPresent(const std::string& sysfsRoot, KernelModules* modules);

// Adds to *tree, when the driver is present:
//   SYSTEM\CurrentControlSet\Services\FTSER2K\Enum  "Count", "0", "1", ...
//   SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters  "PortName"
//   HARDWARE\DEVICEMAP\SERIALCOMM  "<devRoot>/ttyUSBn" = "COM<n+1>"
// with entries in tty-number order (Count 0 while the driver serves none).
// A tty whose USB device has no readable serial number cannot be addressed
// and is left out. Nothing is added when the driver is absent.
void buildSysfsView(const std::string& sysfsRoot, const std::string& devRoot, bool driverPresent, RegTree* tree);

}  // namespace platform
