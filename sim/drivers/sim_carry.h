// A simulated generator's place outlives its library: the driver is loaded
// afresh for every use, and its statics with it, while a real device keeps
// running. The environment is the one place of the process that survives
// the unload on every system; the value names the settings it belongs to,
// so that other settings start afresh, and the process, so that a child
// that inherits the environment starts afresh too.
#pragma once

#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "sim/drivers/sim_driver.h"
#include "sim/model/random_faults.h"

namespace simdrv {

inline std::string processTag() {
#if defined(_WIN32)
    return std::to_string(_getpid());
#else
    return std::to_string(getpid());
#endif
}

inline bool progressLeftInEnvironment(const char* variable, const std::string& settings,
                                      sim::GeneratorProgress* place) {
    const char* value = std::getenv(variable);
    if (value == nullptr) return false;
    const std::string text = value;
    const std::size_t colon = text.find(':');
    const std::size_t bar = text.find('|');
    if (colon == std::string::npos || bar == std::string::npos || colon > bar) return false;
    if (text.substr(0, colon) != processTag() || text.substr(bar + 1) != settings) return false;
    return sim::parsePlace(text.substr(colon + 1, bar - colon - 1), place);
}

inline void leaveProgressInEnvironment(const char* variable, const std::string& settings,
                                       const sim::GeneratorProgress& place) {
    const std::string value = processTag() + ":" + sim::placeText(place) + "|" + settings;
#if defined(_WIN32)
    _putenv_s(variable, value.c_str());
#else
    setenv(variable, value.c_str(), 1);
#endif
}

// The fault and state settings every simulated generator takes; false for
// other keys.
inline bool randomSetting(const std::string& key, const std::string& value, sim::RandomFaults* faults,
                          std::string* stateFile) {
    const long n = std::strtol(value.c_str(), nullptr, 0);
    if (key == "ones")
        faults->onesPercent = n < 0 ? 0 : n > 100 ? 100 : static_cast<int>(n);
    else if (key == "stuck")
        faults->stuckBytes = n > 0 ? static_cast<uint64_t>(n < (1L << 24) ? n : 1L << 24) : 0;
    else if (key == "restart-every")
        faults->restartEvery = n > 0 ? static_cast<uint64_t>(n) : 0;
    else if (key == "state")
        *stateFile = value;
    else
        return false;
    return true;
}

// The drivers' own generator: a fresh xorshift run from the state for
// every request, the state then moving on, so that requests differ.
inline void xorshiftRequest(uint64_t* state, uint8_t* out, std::size_t n) {
    Xorshift rng(static_cast<uint32_t>(*state));
    for (std::size_t i = 0; i < n; ++i) out[i] = rng.next();
    *state = static_cast<uint32_t>(static_cast<uint32_t>(*state) * 2654435761u + 1);
}

}  // namespace simdrv
