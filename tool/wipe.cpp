#include <cstdint>
#include <cstring>
#include <string>

#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

constexpr uint8_t kPassPatterns[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};
constexpr uint32_t kMemorySize = 128;

int32_t reservedCallback(void*) { return 0; }

// Nobody sits at the console to attach a device: the first request ends it.
int32_t alwaysCancel(void*, const char*, const char*, int32_t, int32_t) {
    return HWDS_ANSWER_CANCEL;
}

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

    uint8_t buffer[kMemorySize];
    int shown = 0;
    int pass = 1;
    for (uint8_t pattern : kPassPatterns) {
        std::memset(buffer, pattern, sizeof buffer);
        shown = writeFormat(platform::Stream::Err, progress.c_str(), id, pass);
        result = hwdsWrite(source, &interaction, buffer, kMemorySize, 0);
        if (result != CE_OK) {
            reportError(result);
            return 1;
        }
        ++pass;
    }
    blankProgress(shown);
    return 0;
}

}  // namespace voriridod
