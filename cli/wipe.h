// Wiping several devices at once, each on its own thread, source and port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/display.h"
#include "hwds/hwds.h"

namespace cli {

// voriridod's passes.
inline const std::vector<uint8_t> kDefaultPasses = {0xFF, 0x00, 0x55, 0xAA, 0x00};

struct WipeRequest {
    std::vector<std::string> ids;
    std::vector<uint8_t> passes = kDefaultPasses;
    bool verify = false;
    std::size_t jobs = 0;  // devices at work at once; 0: all
};

struct WipeOutcome {
    std::string id;
    CeResult result = CE_OK;  // of the request that ended the wipe
    std::size_t passesDone = 0;
    bool verified = false;  // read back and found as the last pass left it
    bool mismatch = false;  // read back and found otherwise
    uint32_t address = 0;   // the first address that differs
    uint8_t expected = 0, found = 0;
    std::string failure;  // in plain words; empty on success

    bool ok() const { return failure.empty(); }
    int exitStatus() const;
};

// One outcome per identifier, in the order given. Every device finishes or
// fails on its own; none waits for another's failure.
std::vector<WipeOutcome> wipeDevices(const WipeRequest& request, Display& display);

// The summary table, one row per device.
std::string wipeTable(const std::vector<WipeOutcome>& outcomes, bool verify);
// A JSON array, one object per device.
std::string wipeJson(const std::vector<WipeOutcome>& outcomes, bool verify);

}  // namespace cli
