// The files tuvak-sim writes: the regedit file that points the host at its
// devices, and the dumps of their memory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/tuvak_sim/pty.h"

namespace tuvaksim {

// Readers see the old file or the new one, never half of one.
bool replaceFile(const std::string& path, const std::string& text, std::string* error);
// The driver key, Enum entries, "PortName" and SERIALCOMM of the devices.
std::string registryText(const std::vector<std::unique_ptr<Device>>& devices);

}  // namespace tuvaksim
