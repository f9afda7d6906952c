#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <memory>
#include <new>

#include "platform/win32/win32.h"

namespace platform {

namespace {

// A read time-out that no call ever sets: the port's are not ours yet.
constexpr uint32_t kTimeoutUnset = UINT32_MAX;

struct Port {
    HANDLE handle;
    uint32_t readTimeoutMs;  // what the port's read time-out is set to now
};

Port* portOf(Handle h) {
    if (h == kInvalidHandle || h == kNullHandle) return nullptr;
    return reinterpret_cast<Port*>(h);
}

// Reads end when all bytes are in or after timeoutMs in all; 0 returns at once
// with what has arrived (the constant alone being 0 would mean no limit).
// Writes always get the ordinary limit.
bool setReadTimeout(HANDLE port, uint32_t timeoutMs) {
    COMMTIMEOUTS timeouts{};
    if (timeoutMs == 0) {
        timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
        timeouts.ReadTotalTimeoutConstant = timeoutMs;
    }
    timeouts.WriteTotalTimeoutConstant = kSerialReadTimeoutMs;
    return SetCommTimeouts(port, &timeouts) != FALSE;
}

uint32_t lastError() {
    const DWORD err = GetLastError();
    return err != ERROR_SUCCESS ? err : ERROR_GEN_FAILURE;
}

}  // namespace

uint32_t Win32SerialPorts::open(const char* path, Handle* port) {
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    *port = kInvalidHandle;
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError();
    Port* p = new (std::nothrow) Port{h, kTimeoutUnset};
    if (p == nullptr) {
        CloseHandle(h);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *port = reinterpret_cast<Handle>(p);
    return kErrSuccess;
}

bool Win32SerialPorts::getSettings(Handle port, LineSettings* settings) {
    Port* p = portOf(port);
    if (p == nullptr || settings == nullptr) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->handle, &dcb)) return false;
    settings->baudRate = dcb.BaudRate;
    settings->byteSize = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits;
    return true;
}

bool Win32SerialPorts::setSettings(Handle port, const LineSettings& settings) {
    Port* p = portOf(port);
    if (p == nullptr) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(p->handle, &dcb)) return false;
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.byteSize;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    // The protocol carries every byte value, whatever an earlier program left
    // in the port: XON and XOFF are data, a zero byte is data, and no byte is
    // replaced on a parity error. Modem lines and the rest stay as they were.
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    if (!SetCommState(p->handle, &dcb)) return false;
    // A port keeps the time-outs its last user left, possibly none at all: a
    // device that never answers would then hold the read for ever. Reads and
    // writes end after the same total time as on every other system. They
    // are line settings: one that cannot be written fails like the rest.
    if (!setReadTimeout(p->handle, kSerialReadTimeoutMs)) return false;
    p->readTimeoutMs = kSerialReadTimeoutMs;
    return true;
}

bool Win32SerialPorts::purge(Handle port, uint32_t flags) {
    Port* p = portOf(port);
    return p != nullptr && PurgeComm(p->handle, flags) != FALSE;
}

bool Win32SerialPorts::write(Handle port, const uint8_t* data, uint32_t length, uint32_t* written) {
    if (written != nullptr) *written = 0;
    Port* p = portOf(port);
    if (p == nullptr || written == nullptr || (data == nullptr && length != 0)) return false;
    DWORD done = 0;
    const BOOL ok = WriteFile(p->handle, data, length, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

bool Win32SerialPorts::read(Handle port, uint8_t* data, uint32_t length, uint32_t* got) {
    return readFor(port, data, length, kSerialReadTimeoutMs, got);
}

bool Win32SerialPorts::readFor(Handle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) {
    if (got != nullptr) *got = 0;
    Port* p = portOf(port);
    if (p == nullptr || got == nullptr || (data == nullptr && length != 0)) return false;
    if (p->readTimeoutMs != timeoutMs) {
        if (!setReadTimeout(p->handle, timeoutMs)) return false;
        p->readTimeoutMs = timeoutMs;
    }
    DWORD done = 0;
    // A read that times out succeeds, short.
    const BOOL ok = ReadFile(p->handle, data, length, &done, nullptr);
    *got = done;
    return ok != FALSE;
}

bool Win32SerialPorts::close(Handle port) {
    Port* p = portOf(port);
    if (p == nullptr) return false;
    std::unique_ptr<Port> owned(p);
    return CloseHandle(p->handle) != FALSE;
}

}  // namespace platform
