#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/ftdi_keys.h"
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

Win32Registry::~Win32Registry() {
    unwatch();
    if (event_ != nullptr) CloseHandle(event_);
}

bool Win32Registry::watch() {
    HKEY key = nullptr;
    BOOL subtree = FALSE;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ftdi::kEnumKey, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) {
        // The Enum key comes with the first device: its creation shows below the service key.
        subtree = TRUE;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, ftdi::kServiceKey, 0, KEY_NOTIFY, &key) != ERROR_SUCCESS) return false;
    }
    if (event_ == nullptr) event_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const DWORD filter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    if (event_ == nullptr || RegNotifyChangeKeyValue(key, subtree, filter, event_, TRUE) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return false;
    }
    watched_ = key;
    return true;
}

void Win32Registry::unwatch() {
    if (watched_ != nullptr) RegCloseKey(static_cast<HKEY>(watched_));
    watched_ = nullptr;
}

ChangeWait Win32Registry::waitForChange(uint32_t timeoutMs) {
    if (watched_ == nullptr) return watch() ? ChangeWait::Changed : ChangeWait::Failed;
    const DWORD rc = WaitForSingleObject(event_, timeoutMs);
    if (rc == WAIT_TIMEOUT) return ChangeWait::TimedOut;
    if (rc != WAIT_OBJECT_0) return ChangeWait::Failed;
    // A notification fires once: watch again before the caller reads, so that
    // nothing between its read and the next wait goes unseen. Should that
    // fail, the next wait tries again and says Changed.
    unwatch();
    watch();
    return ChangeWait::Changed;
}

}  // namespace platform
