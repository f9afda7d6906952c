// Wiping any source that offers storage: each pass writes one byte over the
// whole memory that the size query reports, and an optional read-back checks
// that the last pass holds. voriridod, the hwds front end and the station
// share it, each with its own progress display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "hwds/hwds.h"

// voriridod's passes, in order; the default of every wipe.
inline constexpr uint8_t HWDS_WIPE_PASSES[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};

struct HwdsWipeRequest {
    std::vector<uint8_t> passes{std::begin(HWDS_WIPE_PASSES), std::end(HWDS_WIPE_PASSES)};
    bool verify = false;
    // The most bytes one write or read may carry; 0: the whole memory at once.
    uint32_t chunk = 0;
    // Called before each pass (0, 1, ...) and, with passes.size(), before the read-back.
    std::function<void(std::size_t step)> progress;
    // Asked before each pass and before the read-back; true ends the wipe
    // there with CE_CANCELED, the memory as the passes done left it.
    std::function<bool()> stop;
};

struct HwdsWipeOutcome {
    CeResult result = CE_OK;  // of the request that ended the wipe
    std::size_t passesDone = 0;
    uint32_t size = 0;         // bytes the size query reported; 0 until it answered
    uint32_t bytesErased = 0;  // bytes at least one pass overwrote
    bool verified = false;     // read back and found as the last pass left it
    bool mismatch = false;     // read back and found otherwise (result CE_HW_WRITE_FAILED)
    uint32_t address = 0;      // the first address that differs
    uint8_t expected = 0, found = 0;
};

// Runs the passes on an open source; stops at the first request that fails.
// The size is asked once the first pass has been announced.
HwdsWipeOutcome hwdsWipe(HwDataSource* source, const HWDSInteraction* interaction, const HwdsWipeRequest& request);
