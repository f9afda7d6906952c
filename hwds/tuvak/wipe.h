// Wiping a Тувак device: each pass writes one byte over the whole memory,
// and an optional read-back checks that the last pass holds. voriridod and
// the hwds front end share it, each with its own progress display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/tuvak/tuvak_devices.h"

// voriridod's passes, in order.
inline constexpr uint8_t TUVAK_WIPE_PASSES[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};

struct TuvakWipeRequest {
    std::vector<uint8_t> passes{std::begin(TUVAK_WIPE_PASSES), std::end(TUVAK_WIPE_PASSES)};
    bool verify = false;
    // Called before each pass (0, 1, ...) and, with passes.size(), before the read-back.
    std::function<void(std::size_t step)> progress;
};

struct TuvakWipeOutcome {
    CeResult result = CE_OK;  // of the request that ended the wipe
    std::size_t passesDone = 0;
    bool verified = false;  // read back and found as the last pass left it
    bool mismatch = false;  // read back and found otherwise (result CE_HW_WRITE_FAILED)
    uint32_t address = 0;   // the first address that differs
    uint8_t expected = 0, found = 0;
};

// Runs the passes on an open source; stops at the first request that fails.
TuvakWipeOutcome hwdsWipeTuvak(HwDataSource* source, const HWDSInteraction* interaction,
                               const TuvakWipeRequest& request);
