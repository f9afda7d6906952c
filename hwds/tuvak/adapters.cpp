#include "hwds/tuvak/adapters.h"

#include <cstdio>
#include <cstring>

#include "platform/ftdi_keys.h"
#include "platform/registry_key.h"

namespace tuvak {

namespace {

using platform::ftdi::kDeviceKeyHead;
using platform::ftdi::kDeviceKeyTail;
using platform::ftdi::kEnumKey;
constexpr std::string_view kInstancePrefix = platform::ftdi::kInstancePrefix;

}  // namespace

AdapterWalk walkAdapterEntries(platform::Registry& registry,
                               const std::function<bool(const AdapterEntry&)>& visit) {
    if (!platform::RegistryKey(registry, platform::ftdi::kServiceKey)) return AdapterWalk::NoDriver;
    platform::RegistryKey enumKey(registry, kEnumKey);
    if (!enumKey) return AdapterWalk::NoEntries;

    uint32_t count = 0;
    uint32_t countSize = 0;
    if (!enumKey.read(platform::ftdi::kCountValue, &count, sizeof count, &countSize)) return AdapterWalk::CountFailed;
    if (count == 0) return AdapterWalk::NoEntries;

    AdapterEntry entry;
    for (uint32_t k = count; k-- > 0;) {
        char name[16];
        std::snprintf(name, sizeof name, "%lu", static_cast<unsigned long>(k));
        entry.index = k;
        entry.readable = enumKey.size(name, &entry.size) && entry.size <= kEntryCapacity &&
                         enumKey.read(name, entry.data, entry.size, &entry.size);
        if (!entry.readable) entry.size = 0;
        if (visit(entry)) break;
    }
    return AdapterWalk::Walked;
}

bool readPortName(platform::Registry& registry, const AdapterEntry& entry, char* portName,
                  uint32_t* size) {
    const std::string_view instance = registryText(entry.data, entry.size);
    char keyPath[256];
    std::snprintf(keyPath, sizeof keyPath, "%s%.*s%s", kDeviceKeyHead,
                  static_cast<int>(instance.size()), instance.data(), kDeviceKeyTail);
    platform::RegistryKey deviceKey(registry, keyPath);
    return deviceKey && deviceKey.read(platform::ftdi::kPortNameValue, portName, kPortNameCapacity, size);
}

std::string_view registryText(const char* data, uint32_t size) {
    const void* zero = std::memchr(data, '\0', size);
    return std::string_view(
        data, zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size);
}

bool entryCarries(const AdapterEntry& entry, std::string_view id) {
    const std::string_view data(entry.data, entry.size);
    return data.size() >= kInstancePrefix.size() + id.size() + 1 &&
           data.starts_with(kInstancePrefix) &&
           data.substr(kInstancePrefix.size(), id.size()) == id &&
           data[kInstancePrefix.size() + id.size()] == '\\';
}

std::string_view identifierOf(const AdapterEntry& entry) {
    const std::string_view text = registryText(entry.data, entry.size);
    if (!text.starts_with(kInstancePrefix)) return {};
    const std::string_view rest = text.substr(kInstancePrefix.size());
    const size_t backslash = rest.find('\\');
    return backslash == std::string_view::npos ? std::string_view() : rest.substr(0, backslash);
}

}  // namespace tuvak
