#include <cstdint>
#include <cstring>
#include <string_view>

#include "hwds/tuvak/tuvak_devices.h"
#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

// What the line buffer of 16 holds besides the newline and a terminator.
constexpr std::size_t kMaxListedId = 14;

// The identifier in an instance path such as
// FTDIBUS\VID_0403+PID_6001+AB12CD34E\0000: from two past the first '1' up to
// the next backslash.
std::string_view identifierIn(std::string_view text) {
    const std::size_t one = text.find('1');
    if (one == std::string_view::npos) return {};
    const std::size_t start = one + 2;
    if (start >= text.size()) return {};
    const std::size_t backslash = text.find('\\', start);
    if (backslash == std::string_view::npos) return {};
    return text.substr(start, backslash - start);
}

}  // namespace

void listDevices() {
    HwTuvakEntries entries;
    hwdsReadTuvakEntries(&entries);
    // A negative count lists nothing, as none does.
    const int32_t count = static_cast<int32_t>(entries.count);
    if (!entries.counted || count <= 0) {
        writeText(platform::Stream::Out, msg::MSG_LIST_NONE);
        return;
    }
    writeText(platform::Stream::Out, count == 1 ? msg::MSG_LIST_ONE : msg::MSG_LIST_MANY);

    for (const HwTuvakEntry& entry : entries.held) {
        // An entry that does not parse is left out rather than shown garbled.
        const std::string_view id = identifierIn(entry.text);
        if (id.empty() || id.size() > kMaxListedId) continue;
        char line[kMaxListedId + 2];
        std::memcpy(line, id.data(), id.size());
        line[id.size()] = '\n';
        writeBytes(platform::Stream::Out, std::string_view(line, id.size() + 1));
    }
}

}  // namespace voriridod
