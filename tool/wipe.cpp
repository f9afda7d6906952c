#include <cstdint>
#include <cstring>
#include <string>

#include "hwds/wipe.h"
#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

int32_t reservedCallback(void*) { return 0; }

// Nobody sits at the console to attach a device: the first request ends it.
int32_t alwaysCancel(void*, const char*, const char*, int32_t, int32_t) { return HWDS_ANSWER_CANCEL; }

void blankProgress(int shown) {
    char blanks[kMessageBufferSize];
    std::size_t count = shown > 0 ? static_cast<std::size_t>(shown) : 0;
    if (count > sizeof blanks - 1) count = sizeof blanks - 1;
    blanks[0] = '\r';
    std::memset(blanks + 1, ' ', count);
    writeBytes(platform::Stream::Err, std::string_view(blanks, count + 1));
}

}  // namespace

int wipeDevice(const char* id) {
    const std::string progress = toConsole(msg::FMT_PROGRESS);
    const HWDSInteraction interaction{reservedCallback, alwaysCancel, nullptr, nullptr};

    HwDataSource* source = nullptr;
    CeResult result = hwdsOpen(&source, "TUVAK", id);
    if (result != CE_OK) {
        reportError(result);
        return 1;
    }

    int shown = 0;
    HwdsWipeRequest request;
    request.progress = [&](std::size_t pass) {
        shown = writeFormat(platform::Stream::Err, progress.c_str(), id, static_cast<int>(pass + 1));
    };
    result = hwdsWipe(source, &interaction, request).result;
    if (result != CE_OK) {
        reportError(result);
        return 1;
    }
    blankProgress(shown);
    return 0;
}

}  // namespace voriridod
