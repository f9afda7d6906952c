// A simulated random-number card behind the snellock call interface. The
// library is loaded afresh for every use, so its settings come from
// SNELLOCK_SIM at each load unless a test keeps it loaded and configures it;
// its generator runs on across loads, as a card's does.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>

#include "sim/drivers/sim_carry.h"
#include "sim/drivers/sim_driver.h"

namespace {

struct Card {
    bool card = true;
    bool fail = false;
    long failAfter = -1;  // requests that succeed before every one fails
    bool zero = false;
    uint32_t seed = 7;
    sim::RandomFaults faults;
    std::string stateFile;  // the generator's place, kept across processes
    std::string settings;   // the text these came from
    sim::GeneratorProgress place;
    long requests = 0;
    std::string log;
};

constexpr char kCarry[] = "SNELLOCK_SIM_PLACE";

std::mutex mutex;
Card state;
bool configured = false;

// At unload, the generator's place goes where the next load finds it.
struct Carry {
    ~Carry() {
        if (configured) simdrv::leaveProgressInEnvironment(kCarry, state.settings, state.place);
    }
} carry;

// `loading`: the generator goes on from where the last load of this
// process left it, unless the settings changed.
void configure(const char* text, bool loading) {
    state = Card{};
    state.settings = text != nullptr ? text : "";
    simdrv::forEachSetting(text, [](const std::string& key, const std::string& value) {
        const long n = simdrv::number(value);
        if (simdrv::randomSetting(key, value, &state.faults, &state.stateFile)) return;
        if (key == "card")
            state.card = n != 0;
        else if (key == "fail")
            state.fail = n != 0;
        else if (key == "fail-after")
            state.failAfter = n;
        else if (key == "zero")
            state.zero = n != 0;
        else if (key == "seed")
            state.seed = static_cast<uint32_t>(n);
    });
    state.place = sim::GeneratorProgress{state.seed};
    if (loading) simdrv::progressLeftInEnvironment(kCarry, state.settings, &state.place);
    if (!state.stateFile.empty()) sim::loadPlace(state.stateFile, &state.place);
    configured = true;
}

void begin() {
    if (!configured) configure(std::getenv("SNELLOCK_SIM"), true);
}

void note(const std::string& entry) {
    if (state.log.size() > (1 << 20)) return;
    if (!state.log.empty()) state.log += ' ';
    state.log += entry;
}

}  // namespace

SIM_ENTRY int sbisCard(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("sbisCard");
    return state.card ? 0 : 1;
}

SIM_ENTRY int sbGetRand(unsigned char* buf, uint32_t count) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("sbGetRand(" + std::to_string(count) + ")");
    const bool failing = !state.card || state.fail || (state.failAfter >= 0 && state.requests >= state.failAfter);
    ++state.requests;
    if (failing) return 1;
    sim::drawRandom(state.faults, state.seed, &state.place, buf, count, simdrv::xorshiftRequest);
    if (state.zero) std::fill(buf, buf + count, 0);
    if (!state.stateFile.empty()) sim::savePlace(state.stateFile, state.place);
    return 0;
}

// ---- Control, for tests and demos --------------------------------------

// Starts afresh with these settings (null: those of SNELLOCK_SIM).
SIM_EXPORT void SbSimConfigure(const char* settings) {
    std::lock_guard<std::mutex> hold(mutex);
    configure(settings != nullptr ? settings : std::getenv("SNELLOCK_SIM"), false);
}

// "sbisCard sbGetRand(32)": the calls since the last configuration.
SIM_EXPORT const char* SbSimLog(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    return state.log.c_str();
}
