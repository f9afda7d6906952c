// Finding the device's COM port in the adapter driver's data, and opening it.
#include <cstdio>
#include <cstring>

#include "hwds/tuvak/hwtuvak.h"
#include "platform/ftdi_keys.h"
#include "platform/registry_key.h"

namespace {

using platform::ftdi::kDeviceKeyHead;
using platform::ftdi::kDeviceKeyTail;
using platform::ftdi::kEnumKey;
using platform::ftdi::kInstancePrefix;
constexpr const char* kDriverKey = platform::ftdi::kServiceKey;
constexpr size_t kInstancePrefixLength = sizeof kInstancePrefix - 1;  // 26
constexpr char kPortPrefix[] = "\\\\.\\";

constexpr uint32_t kEntryCapacity = 64;
constexpr uint32_t kPortNameCapacity = 7;

// Whether an entry's data names this identifier's adapter. Never looks past
// the `size` bytes that were read.
bool entryCarries(const char* entry, uint32_t size, const char* id, size_t idLength) {
    if (size < kInstancePrefixLength + idLength + 1) return false;
    return std::memcmp(entry, kInstancePrefix, kInstancePrefixLength) == 0 &&
           std::memcmp(entry + kInstancePrefixLength, id, idLength) == 0 &&
           entry[kInstancePrefixLength + idLength] == '\\';
}

// Registry text need not be zero-terminated: it ends at the first zero byte
// or with the data.
size_t textLength(const char* data, uint32_t size) {
    const void* zero = std::memchr(data, '\0', size);
    return zero ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size;
}

int32_t statusForOpenError(uint32_t error) {
    switch (error) {
        case platform::kErrFileNotFound:
        case platform::kErrNotReady:
        case platform::kErrDevNotExist: return HWDS_NOT_PRESENT;
        case platform::kErrAccessDenied: return HWDS_ACCESS_DENIED;
        case platform::kErrSharingViolation:
        case platform::kErrLockViolation: return HWDS_IO_ERROR;
        default: return HWDS_FAILED;
    }
}

}  // namespace

int32_t HwTuvak::connect() {
    const platform::Services& os = platform::current();
    platform::Registry& registry = *os.registry;

    if (!platform::RegistryKey(registry, kDriverKey)) return HWDS_FAILED;

    char entry[kEntryCapacity];
    uint32_t entrySize = 0;
    {
        platform::RegistryKey enumKey(registry, kEnumKey);
        if (!enumKey) return HWDS_NOT_PRESENT;

        uint32_t count = 0;
        uint32_t countSize = 0;
        if (!enumKey.read(platform::ftdi::kCountValue, &count, sizeof count, &countSize)) return HWDS_FAILED;
        if (count == 0) return HWDS_NOT_PRESENT;

        const size_t idLength = id ? std::strlen(id) : 0;
        bool taken = false;
        for (uint32_t k = count; k-- > 0 && !taken;) {
            char name[16];
            std::snprintf(name, sizeof name, "%lu", static_cast<unsigned long>(k));
            if (!enumKey.size(name, &entrySize) || entrySize > kEntryCapacity) return HWDS_FAILED;
            if (!enumKey.read(name, entry, entrySize, &entrySize)) return HWDS_FAILED;
            // Without an identifier the highest-numbered entry is taken as it is.
            taken = idLength == 0 || entryCarries(entry, entrySize, id, idLength);
        }
        if (!taken) return HWDS_NOT_ENUMERATED;
    }

    char keyPath[256];
    std::snprintf(keyPath, sizeof keyPath, "%s%.*s%s", kDeviceKeyHead,
                  static_cast<int>(textLength(entry, entrySize)), entry, kDeviceKeyTail);
    char portName[kPortNameCapacity];
    uint32_t portNameSize = 0;
    {
        platform::RegistryKey deviceKey(registry, keyPath);
        if (!deviceKey) return HWDS_FAILED;
        if (!deviceKey.read(platform::ftdi::kPortNameValue, portName, sizeof portName, &portNameSize))
            return HWDS_FAILED;
    }
    if (portNameSize < 3 || std::memcmp(portName, "COM", 3) != 0) return HWDS_FAILED;

    char portPath[sizeof kPortPrefix + kPortNameCapacity];
    std::snprintf(portPath, sizeof portPath, "%s%.*s", kPortPrefix,
                  static_cast<int>(textLength(portName, portNameSize)), portName);

    platform::SerialPorts& serial = *os.serial;
    const uint32_t error = serial.open(portPath, &portHandle);
    if (error != platform::kErrSuccess) {
        portHandle = platform::kInvalidHandle;
        return statusForOpenError(error);
    }

    platform::LineSettings line;
    if (!serial.getSettings(portHandle, &line)) return HWDS_IO_ERROR;
    line.baudRate = 115200;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    if (!serial.setSettings(portHandle, line)) return HWDS_IO_ERROR;
    if (!serial.purge(portHandle, platform::kPurgeTxAbort | platform::kPurgeRxAbort |
                                      platform::kPurgeTxClear | platform::kPurgeRxClear))
        return HWDS_IO_ERROR;
    return HWDS_OK;
}

int32_t HwTuvak::disconnect(int32_t status) {
    if (portHandle != platform::kInvalidHandle) {
        if (!platform::current().serial->close(portHandle) && status == HWDS_OK) status = HWDS_FAILED;
    }
    portHandle = platform::kInvalidHandle;
    return status;
}

int32_t HwTuvak::probe() { return disconnect(connect()); }
