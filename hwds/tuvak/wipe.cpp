#include "hwds/tuvak/wipe.h"

#include <algorithm>
#include <cstring>

TuvakWipeOutcome hwdsWipeTuvak(HwDataSource* source, const HWDSInteraction* interaction,
                               const TuvakWipeRequest& request) {
    TuvakWipeOutcome outcome;
    uint8_t buffer[TUVAK_MEMORY_SIZE];
    for (std::size_t pass = 0; pass < request.passes.size(); ++pass) {
        if (request.progress) request.progress(pass);
        std::memset(buffer, request.passes[pass], sizeof buffer);
        outcome.result = hwdsWrite(source, interaction, buffer, sizeof buffer, 0);
        if (outcome.result != CE_OK) return outcome;
        ++outcome.passesDone;
    }
    if (!request.verify || request.passes.empty()) return outcome;

    if (request.progress) request.progress(request.passes.size());
    outcome.result = hwdsRead(source, interaction, buffer, sizeof buffer, 0);
    if (outcome.result != CE_OK) return outcome;
    const uint8_t last = request.passes.back();
    const uint8_t* differs = std::find_if(buffer, buffer + sizeof buffer, [&](uint8_t b) { return b != last; });
    if (differs == buffer + sizeof buffer) {
        outcome.verified = true;
        return outcome;
    }
    outcome.mismatch = true;
    outcome.address = static_cast<uint32_t>(differs - buffer);
    outcome.expected = last;
    outcome.found = *differs;
    // The memory does not hold what the device confirmed writing.
    outcome.result = CE_HW_WRITE_FAILED;
    return outcome;
}
