#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HKEY keyOf(KeyHandle key) { return reinterpret_cast<HKEY>(key); }

}  // namespace

uint32_t Win32Registry::openKey(const char* path, KeyHandle* key) {
    if (path == nullptr || key == nullptr) return ERROR_INVALID_PARAMETER;
    *key = kNoKey;
    HKEY opened = nullptr;
    const LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    *key = handleFor<KeyHandle>(opened);
    return kErrSuccess;
}

uint32_t Win32Registry::queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD bytes = *size;
    const LONG rc = RegQueryValueExA(keyOf(key), name, nullptr, nullptr, data, &bytes);
    *size = bytes;
    return static_cast<uint32_t>(rc);
}

uint32_t Win32Registry::enumValue(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize) {
    if (name == nullptr || nameSize == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD length = *nameSize;
    const LONG rc = RegEnumValueA(keyOf(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) *nameSize = length;
    return static_cast<uint32_t>(rc);
}

uint32_t Win32Registry::closeKey(KeyHandle key) { return static_cast<uint32_t>(RegCloseKey(keyOf(key))); }

}  // namespace platform
