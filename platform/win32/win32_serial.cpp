#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HANDLE handleOf(Handle h) { return reinterpret_cast<HANDLE>(h); }

bool isOpen(Handle h) { return h != kInvalidHandle && h != kNullHandle; }

}  // namespace

uint32_t Win32SerialPorts::open(const char* path, Handle* port) {
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    *port = kInvalidHandle;
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        return err != ERROR_SUCCESS ? err : ERROR_GEN_FAILURE;
    }
    // A port keeps the time-outs its last user left, possibly none at all: a
    // device that never answers would then hold the read for ever. Reads and
    // writes end after the same total time as on every other system.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = kSerialReadTimeoutMs;
    timeouts.WriteTotalTimeoutConstant = kSerialReadTimeoutMs;
    if (!SetCommTimeouts(h, &timeouts)) {
        DWORD err = GetLastError();
        CloseHandle(h);
        return err != ERROR_SUCCESS ? err : ERROR_GEN_FAILURE;
    }
    *port = reinterpret_cast<Handle>(h);
    return kErrSuccess;
}

bool Win32SerialPorts::getSettings(Handle port, LineSettings* settings) {
    if (!isOpen(port) || settings == nullptr) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handleOf(port), &dcb)) return false;
    settings->baudRate = dcb.BaudRate;
    settings->byteSize = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits;
    return true;
}

bool Win32SerialPorts::setSettings(Handle port, const LineSettings& settings) {
    if (!isOpen(port)) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handleOf(port), &dcb)) return false;
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
    return SetCommState(handleOf(port), &dcb) != FALSE;
}

bool Win32SerialPorts::purge(Handle port, uint32_t flags) {
    return isOpen(port) && PurgeComm(handleOf(port), flags) != FALSE;
}

bool Win32SerialPorts::write(Handle port, const uint8_t* data, uint32_t length, uint32_t* written) {
    if (written != nullptr) *written = 0;
    if (!isOpen(port) || written == nullptr || (data == nullptr && length != 0)) return false;
    DWORD done = 0;
    const BOOL ok = WriteFile(handleOf(port), data, length, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

bool Win32SerialPorts::read(Handle port, uint8_t* data, uint32_t length, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (!isOpen(port) || got == nullptr || (data == nullptr && length != 0)) return false;
    DWORD done = 0;
    // With the time-outs set at open, a read that times out succeeds short.
    const BOOL ok = ReadFile(handleOf(port), data, length, &done, nullptr);
    *got = done;
    return ok != FALSE;
}

bool Win32SerialPorts::close(Handle port) { return isOpen(port) && CloseHandle(handleOf(port)) != FALSE; }

}  // namespace platform
