// An open registry key, closed when the scope ends. Open counts only when
// the registry reports success and hands out a non-null handle.
#pragma once

#include "platform/platform.h"

namespace platform {

class RegistryKey {
public:
    RegistryKey(Registry& registry, const char* path) : registry_(registry) {
        if (registry_.openKey(path, &key_) != kErrSuccess) key_ = kNoKey;
    }
    ~RegistryKey() {
        if (key_ != kNoKey) registry_.closeKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    explicit operator bool() const { return key_ != kNoKey; }

    // Reads the value's raw data into buffer[0..capacity); *size receives the
    // data's size. Fails when the data does not fit.
    bool read(const char* name, void* buffer, uint32_t capacity, uint32_t* size) const {
        *size = capacity;
        return registry_.queryValue(key_, name, static_cast<uint8_t*>(buffer), size) == kErrSuccess;
    }
    // The name of the key's index-th value into buffer[0..capacity), terminated;
    // *length receives its length. Returns the registry's Win32 code.
    uint32_t valueName(uint32_t index, char* buffer, uint32_t capacity, uint32_t* length) const {
        *length = capacity;
        return registry_.enumValue(key_, index, buffer, length);
    }
    // The size of the value's data, without reading it.
    bool size(const char* name, uint32_t* size) const {
        *size = 0;
        return registry_.queryValue(key_, name, nullptr, size) == kErrSuccess;
    }

private:
    Registry& registry_;
    KeyHandle key_ = kNoKey;
};

}  // namespace platform
