#include "platform/regtree.h"

#include "platform/ascii.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {


// The map key of a path: lower-cased, without leading or trailing separators.
std::string keyOf(std::string_view path) {
    while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
    while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
    std::string key(path);
    for (char& c : key) c = asciiLower(c);
    return key;
}

// What an open key handle points to.
struct OpenKey {
    std::string path;  // map key form
};

OpenKey* fromHandle(Handle key) {
    if (key == kNullHandle || key == kInvalidHandle) return nullptr;
    return reinterpret_cast<OpenKey*>(key);
}

}  // namespace

void RegTree::addKey(std::string_view path) {
    const std::string key = keyOf(path);
    // The root always exists implicitly; every prefix at a separator is a parent.
    for (std::size_t pos = key.find('\\'); pos != std::string::npos; pos = key.find('\\', pos + 1)) {
        keys_.try_emplace(key.substr(0, pos));
    }
    keys_.try_emplace(key);
}

void RegTree::setValue(std::string_view keyPath, std::string_view name, uint32_t type,
                       std::vector<uint8_t> data) {
    addKey(keyPath);
    Key& key = keys_[keyOf(keyPath)];
    for (auto& [existing, value] : key.values) {
        if (asciiIEquals(existing, name)) {
            value.type = type;
            value.data = std::move(data);
            return;
        }
    }
    key.values.emplace_back(std::string(name), RegValue{type, std::move(data)});
}

void RegTree::setString(std::string_view keyPath, std::string_view name, std::string_view text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    setValue(keyPath, name, kRegSz, std::move(data));
}

void RegTree::setDword(std::string_view keyPath, std::string_view name, uint32_t value) {
    std::vector<uint8_t> data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    setValue(keyPath, name, kRegDword, std::move(data));
}

void RegTree::removeKey(std::string_view path) {
    const std::string key = keyOf(path);
    if (key.empty()) {
        keys_.clear();
        return;
    }
    keys_.erase(key);
    // Subkeys sort directly after "key\" in the map.
    const std::string prefix = key + '\\';
    auto it = keys_.lower_bound(prefix);
    while (it != keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
        it = keys_.erase(it);
    }
}

void RegTree::removeValue(std::string_view keyPath, std::string_view name) {
    auto it = keys_.find(keyOf(keyPath));
    if (it == keys_.end()) return;
    auto& values = it->second.values;
    values.erase(std::remove_if(values.begin(), values.end(),
                                [&](const auto& entry) { return asciiIEquals(entry.first, name); }),
                 values.end());
}

bool RegTree::hasKey(std::string_view path) const {
    const std::string key = keyOf(path);
    return key.empty() || keys_.count(key) != 0;
}

const RegValue* RegTree::value(std::string_view keyPath, std::string_view name) const {
    auto it = keys_.find(keyOf(keyPath));
    if (it == keys_.end()) return nullptr;
    for (const auto& [existing, value] : it->second.values) {
        if (asciiIEquals(existing, name)) return &value;
    }
    return nullptr;
}

std::vector<std::pair<std::string, const RegValue*>> RegTree::values(std::string_view keyPath) const {
    std::vector<std::pair<std::string, const RegValue*>> result;
    auto it = keys_.find(keyOf(keyPath));
    if (it == keys_.end()) return result;
    result.reserve(it->second.values.size());
    for (const auto& [name, value] : it->second.values) result.emplace_back(name, &value);
    return result;
}

uint32_t TreeRegistry::openKey(const char* path, Handle* key) {
    if (path == nullptr || key == nullptr) return kErrInvalidParameter;
    *key = kNullHandle;
    if (!tree_.hasKey(path)) return kErrFileNotFound;
    auto* open = new OpenKey{keyOf(path)};
    *key = reinterpret_cast<Handle>(open);
    openKeys_.fetch_add(1);
    return kErrSuccess;
}

uint32_t TreeRegistry::queryValue(Handle key, const char* name, uint8_t* data, uint32_t* size) {
    const OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    if (size == nullptr) return kErrInvalidParameter;
    // A null name is the default value, as in RegQueryValueExA.
    const RegValue* value = tree_.value(open->path, name != nullptr ? name : "");
    if (value == nullptr) return kErrFileNotFound;
    const auto needed = static_cast<uint32_t>(value->data.size());
    if (data == nullptr) {
        *size = needed;
        return kErrSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrMoreData;
    }
    if (needed != 0) std::memcpy(data, value->data.data(), needed);
    *size = needed;
    return kErrSuccess;
}

uint32_t TreeRegistry::closeKey(Handle key) {
    OpenKey* open = fromHandle(key);
    if (open == nullptr) return kErrInvalidHandle;
    delete open;
    openKeys_.fetch_sub(1);
    return kErrSuccess;
}

}  // namespace platform
