#include "hwds/wipe.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Writes or reads the whole memory, `chunk` bytes a request at most;
// *done counts the bytes of the requests that succeeded.
template <class Request>
CeResult wholeMemory(std::vector<uint8_t>& buffer, uint32_t chunk, uint32_t* done, Request request) {
    const uint32_t size = static_cast<uint32_t>(buffer.size());
    const uint32_t step = chunk == 0 ? size : chunk;
    for (*done = 0; *done < size;) {
        const uint32_t length = std::min(step, size - *done);
        const CeResult result = request(buffer.data() + *done, length, *done);
        if (result != CE_OK) return result;
        *done += length;
    }
    return CE_OK;
}

}  // namespace

HwdsWipeOutcome hwdsWipe(HwDataSource* source, const HWDSInteraction* interaction, const HwdsWipeRequest& request) {
    HwdsWipeOutcome outcome;
    std::vector<uint8_t> buffer;
    auto stopped = [&] {
        if (!request.stop || !request.stop()) return false;
        outcome.result = CE_CANCELED;
        return true;
    };
    for (std::size_t pass = 0; pass < request.passes.size(); ++pass) {
        if (stopped()) return outcome;
        if (request.progress) request.progress(pass);
        if (pass == 0) {
            outcome.result = hwdsMemorySize(source, interaction, &outcome.size);
            if (outcome.result != CE_OK) return outcome;
            buffer.resize(outcome.size);
        }
        std::fill(buffer.begin(), buffer.end(), request.passes[pass]);
        uint32_t written = 0;
        outcome.result = wholeMemory(buffer, request.chunk, &written, [&](uint8_t* data, uint32_t length, uint32_t at) {
            return hwdsWrite(source, interaction, data, length, at);
        });
        outcome.bytesErased = std::max(outcome.bytesErased, written);
        if (outcome.result != CE_OK) return outcome;
        ++outcome.passesDone;
    }
    if (!request.verify || request.passes.empty()) return outcome;

    if (stopped()) return outcome;
    if (request.progress) request.progress(request.passes.size());
    uint32_t read = 0;
    outcome.result = wholeMemory(buffer, request.chunk, &read, [&](uint8_t* data, uint32_t length, uint32_t at) {
        return hwdsRead(source, interaction, data, length, at);
    });
    if (outcome.result != CE_OK) return outcome;
    const uint8_t last = request.passes.back();
    const auto differs = std::find_if(buffer.begin(), buffer.end(), [&](uint8_t b) { return b != last; });
    if (differs == buffer.end()) {
        outcome.verified = true;
        return outcome;
    }
    outcome.mismatch = true;
    outcome.address = static_cast<uint32_t>(differs - buffer.begin());
    outcome.expected = last;
    outcome.found = *differs;
    // The memory does not hold what the device confirmed writing.
    outcome.result = CE_HW_WRITE_FAILED;
    return outcome;
}
