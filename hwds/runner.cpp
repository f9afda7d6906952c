#include "hwds/hwds.h"
#include "hwds/mutex_guard.h"

namespace {

// Statuses that no answer of the user can change.
bool endsTheRun(int32_t status) {
    return status == HWDS_OK || status == HWDS_FAILED || status == HWDS_NOT_SUPPORTED || status == HWDS_ACCESS_DENIED ||
           status == HWDS_WRITE_ERROR;
}

CeResult resultOfEnding(int32_t status) {
    switch (status) {
        case HWDS_OK: return CE_OK;
        case HWDS_FAILED: return CE_HW_FAIL;
        case HWDS_NOT_SUPPORTED: return CE_HW_OP_NOT_SUPPORTED;
        case HWDS_ACCESS_DENIED: return CE_HW_ACCESS_DENIED;
        default: return CE_HW_WRITE_FAILED;
    }
}

// The question to put to the user, or -1 when the status has none.
int32_t promptFor(int32_t status) {
    switch (status) {
        case HWDS_NOT_PRESENT: return HWDS_PROMPT_NOT_PRESENT;
        case HWDS_IO_ERROR: return HWDS_PROMPT_IO_ERROR;
        case HWDS_ASK_4: return HWDS_PROMPT_4;
        case HWDS_NOT_ENUMERATED: return HWDS_PROMPT_NOT_ENUMERATED;
        default: return -1;
    }
}

}  // namespace

CeResult hwdsRun(HwDataSource* source, HWDSFunctor* functor, const HWDSInteraction* interaction) {
    hwds::MutexGuard guard(source->lock);
    if (!guard.acquired()) return CE_HW_FAIL_LOCK;

    platform::Clock& clock = *platform::current().clock;
    // The record is the caller's, and a callback may clear its own entry:
    // look again before every call.
    auto ask = [&](int32_t code, int32_t* answer) {
        const auto interact = interaction != nullptr ? interaction->interact : nullptr;
        if (interact == nullptr) return false;
        const int32_t given = interact(interaction->userData, source->type, source->id, functor->kind, code);
        if (answer != nullptr) *answer = given;
        return true;
    };
    bool asked = false;
    for (;;) {
        const uint32_t start = clock.tickCount();
        const int32_t status = functor->execute();
        if (endsTheRun(status)) {
            if (asked) ask(HWDS_PROMPT_END, nullptr);
            return resultOfEnding(status);
        }
        if (interaction == nullptr || interaction->interact == nullptr) return CE_HW_NEED_INTERACTION;

        // Keep a user who answers "retry" at once from spinning on the device.
        const uint32_t elapsed = clock.tickCount() - start;
        if (elapsed < HWDS_RETRY_PACING_MS) clock.sleep(HWDS_RETRY_PACING_MS - elapsed);

        const int32_t code = promptFor(status);
        if (code < 0) return CE_CODE_CORRUPTED;
        int32_t answer = 0;
        if (!ask(code, &answer)) return CE_HW_NEED_INTERACTION;
        asked = true;
        if (answer == HWDS_ANSWER_RETRY) continue;
        if (answer == HWDS_ANSWER_CANCEL || answer == HWDS_ANSWER_TIMEOUT) {
            ask(HWDS_PROMPT_END, nullptr);
            return answer == HWDS_ANSWER_CANCEL ? CE_CANCELED : CE_TIMEOUT;
        }
        return CE_CODE_CORRUPTED;
    }
}

CeResult hwdsWrite(HwDataSource* source, const HWDSInteraction* interaction, const uint8_t* data, uint32_t length,
                   uint32_t offset) {
    HWDSWriteFunctor functor(source, data, length, offset);
    return hwdsRun(source, &functor, interaction);
}

CeResult hwdsRead(HwDataSource* source, const HWDSInteraction* interaction, uint8_t* data, uint32_t length,
                  uint32_t offset) {
    HWDSReadFunctor functor(source, data, length, offset);
    return hwdsRun(source, &functor, interaction);
}

CeResult hwdsRandom(HwDataSource* source, const HWDSInteraction* interaction, uint8_t* data, uint32_t length) {
    HWDSRandomFunctor functor(source, data, length);
    return hwdsRun(source, &functor, interaction);
}

CeResult hwdsMemorySize(HwDataSource* source, const HWDSInteraction* interaction, uint32_t* size) {
    if (size == nullptr) return CE_BAD_PARAM;
    HWDSSizeFunctor functor(source, size);
    return hwdsRun(source, &functor, interaction);
}

CeResult hwdsDescribe(HwDataSource* source, const HWDSInteraction* interaction, HwStoreInfo* info) {
    if (info == nullptr) return CE_BAD_PARAM;
    *info = HwStoreInfo{};
    HWDSDescribeFunctor functor(source, info);
    return hwdsRun(source, &functor, interaction);
}
