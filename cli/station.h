// A wiping station: every TUVAK device plugged in while it runs is wiped,
// several at once, and announced; devices attached before it started are
// left alone.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "cli/display.h"
#include "cli/wipe.h"

namespace cli {

struct StationRequest {
    WipeRequest wipe;             // type, passes, verify, jobs; the identifiers are the devices that appear
    bool includePresent = false;  // the devices attached at the start are wiped too
    std::size_t max = 0;          // devices to finish before stopping; 0: no limit
};

// Called once for each device as it finishes, one call at a time.
using StationFinished = std::function<void(const WipeOutcome&)>;

// Watches the adapter driver's data until `max` devices have finished or an
// interrupt comes; a second interrupt stops the wipes in progress before
// their next pass. Returns the outcomes in the order the devices finished.
std::vector<WipeOutcome> runStation(const StationRequest& request, Display& display, const StationFinished& finished);

}  // namespace cli
