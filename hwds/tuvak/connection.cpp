// Finding the device's COM port in the adapter driver's data, and opening it.
#include <cstdio>
#include <cstring>

#include "hwds/tuvak/adapters.h"
#include "hwds/tuvak/hwtuvak.h"
#include "platform/text.h"

namespace {

using platform::kPortPathPrefix;

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

    const std::string_view wanted = id ? std::string_view(id) : std::string_view();
    tuvak::AdapterEntry taken;
    bool found = false;
    bool unreadable = false;
    const auto walk = tuvak::walkAdapterEntries(registry, [&](const tuvak::AdapterEntry& entry) {
        // One entry that cannot be read spoils the search: the device could be that one.
        if (!entry.readable) return unreadable = true;
        // Without an identifier the highest-numbered entry is taken as it is.
        found = wanted.empty() || tuvak::entryCarries(entry, wanted);
        if (found) taken = entry;
        return found;
    });
    switch (walk) {
        case tuvak::AdapterWalk::NoDriver:
        case tuvak::AdapterWalk::CountFailed: return HWDS_FAILED;
        case tuvak::AdapterWalk::NoEntries: return HWDS_NOT_PRESENT;
        case tuvak::AdapterWalk::Walked: break;
    }
    if (unreadable) return HWDS_FAILED;
    if (!found) return HWDS_NOT_ENUMERATED;

    char portName[tuvak::kPortNameCapacity];
    uint32_t portNameSize = 0;
    if (!tuvak::readPortName(registry, taken, portName, &portNameSize)) return HWDS_FAILED;
    if (portNameSize < 3 || std::memcmp(portName, "COM", 3) != 0) return HWDS_FAILED;

    const std::string_view port = platform::registryText(portName, portNameSize);
    char portPath[sizeof kPortPathPrefix + tuvak::kPortNameCapacity];
    std::snprintf(portPath, sizeof portPath, "%s%.*s", kPortPathPrefix, static_cast<int>(port.size()), port.data());

    platform::SerialPorts& serial = *os.serial;
    const uint32_t error = serial.open(portPath, &portHandle);
    if (error != platform::kErrSuccess) {
        portHandle = platform::kInvalidPort;
        return statusForOpenError(error);
    }

    platform::LineSettings line;
    if (!serial.getSettings(portHandle, &line)) return HWDS_IO_ERROR;
    line.baudRate = 115200;
    line.byteSize = 8;
    line.parity = 0;
    line.stopBits = 0;
    if (!serial.setSettings(portHandle, line)) return HWDS_IO_ERROR;
    if (!serial.purge(portHandle, platform::kPurgeTxAbort | platform::kPurgeRxAbort | platform::kPurgeTxClear |
                                      platform::kPurgeRxClear))
        return HWDS_IO_ERROR;
    return HWDS_OK;
}

int32_t HwTuvak::disconnect(int32_t status) {
    if (portHandle != platform::kInvalidPort) {
        if (!platform::current().serial->close(portHandle) && status == HWDS_OK) status = HWDS_FAILED;
    }
    portHandle = platform::kInvalidPort;
    return status;
}

int32_t HwTuvak::probe() { return disconnect(connect()); }
