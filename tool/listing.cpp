#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/ftdi_keys.h"
#include "platform/registry_key.h"
#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

using platform::ftdi::kEnumKey;
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

// Whether `name` is an entry number as the walk would format it ("%d"),
// and below `count`.
bool entryNumber(std::string_view name, int32_t count, int32_t* number) {
    if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0')) return false;
    int64_t value = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value >= count) return false;
    *number = static_cast<int32_t>(value);
    return true;
}

// The entry numbers below `count` that the key holds, ascending. Only these
// can be read, and finding them costs one look per value the key holds, so
// that a Count of two billion does not mean two billion queries.
std::vector<int32_t> heldEntries(const platform::RegistryKey& key, int32_t count) {
    std::vector<int32_t> numbers;
    for (uint32_t index = 0;; ++index) {
        char name[16];
        uint32_t length = 0;
        const uint32_t rc = key.valueName(index, name, sizeof name, &length);
        if (rc == platform::kErrMoreData) continue;  // too long to be a number
        if (rc != platform::kErrSuccess) break;
        int32_t number = 0;
        if (entryNumber(std::string_view(name, length), count, &number)) numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
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
    const platform::RegistryKey enumKey(*registry, kEnumKey);

    // Short data leaves the upper bytes zero; longer data is not read at all.
    uint8_t raw[4] = {};
    uint32_t size = 0;
    if (!enumKey || !enumKey.read(platform::ftdi::kCountValue, raw, sizeof raw, &size)) {
        writeText(platform::Stream::Out, msg::MSG_LIST_NONE);
        return;
    }
    const uint32_t bits = static_cast<uint32_t>(raw[0]) | static_cast<uint32_t>(raw[1]) << 8 |
                          static_cast<uint32_t>(raw[2]) << 16 | static_cast<uint32_t>(raw[3]) << 24;
    const int32_t count = static_cast<int32_t>(bits);
    // A negative count lists nothing, as none does.
    if (count <= 0) {
        writeText(platform::Stream::Out, msg::MSG_LIST_NONE);
        return;
    }
    writeText(platform::Stream::Out, count == 1 ? msg::MSG_LIST_ONE : msg::MSG_LIST_MANY);

    for (const int32_t index : heldEntries(enumKey, count)) {
        char name[16];
        std::snprintf(name, sizeof name, "%d", static_cast<int>(index));
        uint8_t data[kMessageBufferSize];
        uint32_t got = 0;
        if (!enumKey.read(name, data, sizeof data, &got)) continue;
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
