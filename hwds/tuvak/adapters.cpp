#include "hwds/tuvak/adapters.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/ftdi_keys.h"
#include "platform/text.h"

namespace tuvak {

namespace {

using platform::ftdi::kDeviceKeyHead;
using platform::ftdi::kDeviceKeyTail;
using platform::ftdi::kEnumKey;
constexpr std::string_view kInstancePrefix = platform::ftdi::kInstancePrefix;

}  // namespace

AdapterEnum::AdapterEnum(platform::Registry& registry) : key_(registry, kEnumKey) {
    uint8_t raw[4] = {};
    uint32_t size = 0;
    counted_ = key_ && key_.read(platform::ftdi::kCountValue, raw, sizeof raw, &size);
    if (counted_) count_ = platform::le32From(raw);
}

std::vector<uint32_t> AdapterEnum::heldBelow(uint32_t bound) const {
    std::vector<uint32_t> numbers;
    if (!key_) return numbers;
    for (uint32_t index = 0;; ++index) {
        char name[16];
        uint32_t length = 0;
        const uint32_t rc = key_.valueName(index, name, sizeof name, &length);
        if (rc == platform::kErrMoreData) continue;  // too long to be a number
        if (rc != platform::kErrSuccess) break;
        // Only a name the walk would format.
        uint64_t value = 0;
        if (!platform::parseCanonicalDecimal(std::string_view(name, length), 10, &value)) continue;
        if (value < bound) numbers.push_back(static_cast<uint32_t>(value));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

void entryName(uint32_t number, char (&name)[16]) {
    std::snprintf(name, sizeof name, "%lu", static_cast<unsigned long>(number));
}

AdapterEntry AdapterEnum::entry(uint32_t number) const {
    AdapterEntry entry;
    char name[16];
    entryName(number, name);
    entry.index = number;
    entry.readable = key_.size(name, &entry.size) && entry.size <= kEntryCapacity &&
                     key_.read(name, entry.data, entry.size, &entry.size);
    if (!entry.readable) entry.size = 0;
    return entry;
}

bool AdapterEnum::entryText(uint32_t number, uint32_t capacity, std::string* text) const {
    char name[16];
    entryName(number, name);
    std::string data(capacity, '\0');
    uint32_t got = 0;
    if (!key_.read(name, data.data(), capacity, &got)) return false;
    *text = platform::registryText(data.data(), std::min(got, capacity));
    return true;
}

bool driverKeyOpens(platform::Registry& registry) {
    return static_cast<bool>(platform::RegistryKey(registry, platform::ftdi::kServiceKey));
}

namespace {

// Walked when Count lets the entries be walked, else why the walk ends.
AdapterWalk statusOfCount(const AdapterEnum& entries) {
    if (!entries.key()) return AdapterWalk::NoEntries;
    if (!entries.counted()) return AdapterWalk::CountFailed;
    return entries.count() == 0 ? AdapterWalk::NoEntries : AdapterWalk::Walked;
}

}  // namespace

AdapterWalk walkAdapterEntries(platform::Registry& registry, const std::function<bool(const AdapterEntry&)>& visit) {
    if (!driverKeyOpens(registry)) return AdapterWalk::NoDriver;
    const AdapterEnum entries(registry);
    const AdapterWalk walk = statusOfCount(entries);
    if (walk != AdapterWalk::Walked) return walk;
    for (uint32_t k = entries.count(); k-- > 0;)
        if (visit(entries.entry(k))) break;
    return AdapterWalk::Walked;
}

AdapterWalk heldAdapterEntries(platform::Registry& registry, std::vector<AdapterEntry>* held) {
    held->clear();
    if (!driverKeyOpens(registry)) return AdapterWalk::NoDriver;
    const AdapterEnum entries(registry);
    const AdapterWalk walk = statusOfCount(entries);
    if (walk != AdapterWalk::Walked) return walk;
    for (const uint32_t number : entries.heldBelow(entries.count())) held->push_back(entries.entry(number));
    return AdapterWalk::Walked;
}

bool readPortName(platform::Registry& registry, const AdapterEntry& entry, char* portName, uint32_t* size) {
    const std::string_view instance = platform::registryText(entry.data, entry.size);
    char keyPath[256];
    std::snprintf(keyPath, sizeof keyPath, "%s%.*s%s", kDeviceKeyHead, static_cast<int>(instance.size()),
                  instance.data(), kDeviceKeyTail);
    platform::RegistryKey deviceKey(registry, keyPath);
    return deviceKey && deviceKey.read(platform::ftdi::kPortNameValue, portName, kPortNameCapacity, size);
}

bool entryCarries(const AdapterEntry& entry, std::string_view id) {
    const std::string_view data(entry.data, entry.size);
    return data.size() >= kInstancePrefix.size() + id.size() + 1 && data.starts_with(kInstancePrefix) &&
           data.substr(kInstancePrefix.size(), id.size()) == id && data[kInstancePrefix.size() + id.size()] == '\\';
}

std::string_view identifierOf(const AdapterEntry& entry) {
    const std::string_view text = platform::registryText(entry.data, entry.size);
    if (!text.starts_with(kInstancePrefix)) return {};
    const std::string_view rest = text.substr(kInstancePrefix.size());
    const size_t backslash = rest.find('\\');
    return backslash == std::string_view::npos ? std::string_view() : rest.substr(0, backslash);
}

}  // namespace tuvak
