#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "hwds/tuvak/adapters.h"
#include "platform/ftdi_keys.h"
#include "platform/registry_key.h"
#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

using platform::ftdi::kServiceKey;

// What the line buffer of 16 holds besides the newline and a terminator.
constexpr std::size_t kMaxListedId = 14;

// The identifier in an instance path such as
// FTDIBUS\VID_0403+PID_6001+AB12CD34E\0000: from two past the first '1' up to
// the next backslash. Only the bytes read are looked at; the text may lack
// its terminating zero, and ends at one if it has it.
std::string_view identifierIn(const uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(text, '\0', size);
    if (zero != nullptr) size = static_cast<std::size_t>(static_cast<const char*>(zero) - text);

    const void* one = std::memchr(text, '1', size);
    if (one == nullptr) return {};
    std::size_t start = static_cast<std::size_t>(static_cast<const char*>(one) - text) + 2;
    if (start >= size) return {};
    const void* backslash = std::memchr(text + start, '\\', size - start);
    if (backslash == nullptr) return {};
    std::size_t length = static_cast<std::size_t>(static_cast<const char*>(backslash) - text) - start;
    return std::string_view(text + start, length);
}

}  // namespace

bool driverInstalled() {
    platform::Registry* registry = platform::current().registry;
    if (registry == nullptr) return false;
    return static_cast<bool>(platform::RegistryKey(*registry, kServiceKey));
}

void listDevices() {
    platform::Registry* registry = platform::current().registry;
    if (registry == nullptr) {
        writeText(platform::Stream::Out, msg::MSG_LIST_NONE);
        return;
    }
    const tuvak::AdapterEnum entries(*registry);
    // A negative count lists nothing, as none does.
    const int32_t count = static_cast<int32_t>(entries.count());
    if (!entries.counted() || count <= 0) {
        writeText(platform::Stream::Out, msg::MSG_LIST_NONE);
        return;
    }
    writeText(platform::Stream::Out, count == 1 ? msg::MSG_LIST_ONE : msg::MSG_LIST_MANY);

    for (const uint32_t number : entries.heldBelow(static_cast<uint32_t>(count))) {
        char name[16];
        tuvak::entryName(number, name);
        uint8_t data[kMessageBufferSize];
        uint32_t got = 0;
        if (!entries.key().read(name, data, sizeof data, &got)) continue;
        if (got > sizeof data) got = sizeof data;

        // An entry that does not parse is left out rather than shown garbled.
        std::string_view id = identifierIn(data, got);
        if (id.empty() || id.size() > kMaxListedId) continue;
        char line[kMaxListedId + 2];
        std::memcpy(line, id.data(), id.size());
        line[id.size()] = '\n';
        writeBytes(platform::Stream::Out, std::string_view(line, id.size() + 1));
    }
}

}  // namespace voriridod
