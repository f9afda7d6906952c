// The FTDI driver's registry keys, derived from Linux sysfs: what the
// adapter's Windows driver would have written for the ttys the kernel's
// ftdi_sio driver serves.
#pragma once

#include <string>

#include "platform/regtree.h"

namespace platform {

// Adds to *tree, when <sysfsRoot>/bus/usb-serial/drivers/ftdi_sio exists:
//   SYSTEM\CurrentControlSet\Services\FTSER2K\Enum  "Count", "0", "1", ...
//   SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters  "PortName"
//   HARDWARE\DEVICEMAP\SERIALCOMM  "<devRoot>/ttyUSBn" = "COM<n+1>"
// with entries in tty-number order. A tty whose USB device has no readable
// serial number cannot be addressed and is left out. Nothing is added when
// the driver is absent.
void buildSysfsView(const std::string& sysfsRoot, const std::string& devRoot, RegTree* tree);

}  // namespace platform
