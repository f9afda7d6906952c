#include <cstdio>
#include <cstring>

#include "hwds/tuvak/tuvak_devices.h"
#include "platform/ascii.h"
#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

void printBanner() {
    char banner[kMessageBufferSize];
    std::snprintf(banner, sizeof banner, "%s", msg::MSG_BANNER);
    writeText(platform::Stream::Out, banner);
}

namespace {

bool isSwitch(const char* id, char letter) { return (id[0] == '-' || id[0] == '/') && id[1] == letter; }

// A registry file that failed to load must not pass for "no driver".
bool registryBroken() {
    const std::string error = tuvakRegistryProblem();
    if (!error.empty()) writeBytes(platform::Stream::Err, error + '\n');
    return !error.empty();
}

}  // namespace

}  // namespace voriridod

int voriridodMain(int argc, char** argv) {
    using namespace voriridod;
    if (argc < 1) return 0;
    if (argc == 1) {
        printBanner();
        return 0;
    }
    if (argc > 2) {
        printBanner();
        return 1;
    }

    char id[kIdChars + 1] = {};
    const char* argument = argv[1] != nullptr ? argv[1] : "";
    for (std::size_t i = 0; i < kIdChars && argument[i] != '\0'; ++i) {
        id[i] = platform::asciiUpper(argument[i]);
    }

    if (isSwitch(id, '?')) {
        printBanner();
        return 0;
    }
    // A longer identifier, cut to nine characters, could name another device
    // than the one meant.
    const bool tooLong = std::strlen(argument) > kIdChars;
    if (!tuvakIdNamesDevice(id) || (tooLong && !isSwitch(id, 'L'))) {
        printBanner();
        return 1;
    }
    if (registryBroken()) return 1;
    if (!hwdsTuvakDriverInstalled()) {
        writeText(platform::Stream::Err, msg::MSG_DRIVER_MISSING);
        return 1;
    }
    if (isSwitch(id, 'L')) {
        listDevices();
        return 0;
    }

    // The identifier is substituted after conversion so that its bytes reach
    // the console exactly as typed, here as in the progress line.
    if (wipeDevice(id) == 0) {
        writeFormat(platform::Stream::Out, toConsole(msg::FMT_WIPE_OK).c_str(), id);
        return 0;
    }
    writeFormat(platform::Stream::Out, toConsole(msg::FMT_WIPE_FAILED).c_str(), id);
    return 1;
}
