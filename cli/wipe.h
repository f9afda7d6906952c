// Wiping several devices at once, each on its own thread, source and port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/display.h"
#include "hwds/hwds.h"
#include "hwds/tuvak/wipe.h"

namespace cli {

struct WipeRequest {
    std::vector<std::string> ids;
    std::vector<uint8_t> passes{std::begin(TUVAK_WIPE_PASSES), std::end(TUVAK_WIPE_PASSES)};
    bool verify = false;
    std::size_t jobs = 0;  // devices at work at once; 0: all
};

struct WipeOutcome : TuvakWipeOutcome {
    std::string id;
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
