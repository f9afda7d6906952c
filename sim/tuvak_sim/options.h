// tuvak-sim's command line: every option, and the device options that
// apply to the IDs after them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/tuvak_device.h"

namespace tuvaksim {

extern const char* const kUsage;

// The highest COM number a device can get.
inline constexpr uint64_t kMaxCom = 99999999;

struct DeviceOptions {
    uint8_t fill = 0;
    bool ascending = false;
    uint64_t seed = 1;
    std::string randomState;  // file of the random generator's place
    sim::Faults faults;
};

struct DeviceSetup {
    std::string id;
    DeviceOptions options;
};

struct Config {
    std::string registry;
    std::string dump;
    std::string log;
    std::string control;  // FIFO of plug and unplug commands
    bool showAtExit = false;
    uint64_t firstCom = 3;
    std::vector<DeviceSetup> devices;
};

// False with *error set when the command line is wrong; *help when it asks for help.
bool parseArgs(int argc, char** argv, Config* config, std::string* error, bool* help);
// The device options and the one ID of a plug command (what follows "plug").
bool parseDeviceLine(const std::string& line, DeviceSetup* setup, std::string* error);

}  // namespace tuvaksim
