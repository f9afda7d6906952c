// Wiping key stores: several TUVAK devices at once, each on its own thread,
// source and port, or the key on the ACCORD reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/display.h"
#include "hwds/hwds.h"
#include "hwds/wipe.h"

namespace cli {

struct WipeRequest {
    std::string type = "TUVAK";    // as hwdsSourceType spells it
    std::vector<std::string> ids;  // TUVAK: the devices; other types: none, or the source's option
    std::vector<uint8_t> passes{std::begin(HWDS_WIPE_PASSES), std::end(HWDS_WIPE_PASSES)};
    bool verify = false;
    std::size_t jobs = 0;  // devices at work at once; 0: all
    // A device that needs attention fails at once instead of asking the
    // operator: at a station nobody answers for a device they pulled.
    bool askOperator = true;
    // Once set, the wipes in progress stop before their next pass.
    const std::atomic<bool>* interrupt = nullptr;
};

struct WipeOutcome : HwdsWipeOutcome {
    std::string type;
    std::string id;  // as the command line named it; empty when it named none
    std::vector<uint8_t> passes;
    bool verify = false;
    std::string serial;         // the store's own, as its source describes it; empty when unknown
    std::string port;           // "COM5" where the device has one
    uint32_t presentBytes = 0;  // of the store, reachable or not; 0 when unknown
    int64_t started = 0;        // UTC milliseconds
    int64_t finished = 0;
    std::string failure;  // in plain words; empty on success

    bool ok() const { return failure.empty(); }
    int exitStatus() const;
    // "TUVAK DEV0", "ACCORD".
    std::string label() const { return id.empty() ? type : type + " " + id; }
    // "wiped", "wiped and verified", with the bytes out of reach when there are any.
    std::string done() const;
};

// Wipes one device and shows its progress on the display's `line`; the
// outcome is left for the caller to show. `port` goes into the outcome.
WipeOutcome wipeDevice(const std::string& id, std::size_t line, const WipeRequest& request, const std::string& port,
                       Display& display);
// The COM port of each TUVAK device the driver lists, by identifier.
std::map<std::string, std::string> tuvakPorts();
// What the device's line says once it finished.
std::string outcomeText(const WipeOutcome& outcome);

// Called once for each device as it finishes, one call at a time, with the
// device's place in the request.
using WipeFinished = std::function<void(std::size_t index, const WipeOutcome&)>;

// One outcome per device, in the order given. Every device finishes or
// fails on its own; none waits for another's failure.
std::vector<WipeOutcome> wipeDevices(const WipeRequest& request, Display& display, const WipeFinished& finished = {});

// The summary table, one row per device.
std::string wipeTable(const std::vector<WipeOutcome>& outcomes, bool verify);

}  // namespace cli
