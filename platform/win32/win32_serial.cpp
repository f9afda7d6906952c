#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HANDLE handleOf(PortHandle port) { return reinterpret_cast<HANDLE>(rawHandle(port)); }

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

uint32_t Win32SerialPorts::open(const char* path, PortHandle* port) {
    if (port == nullptr) return ERROR_INVALID_PARAMETER;
    *port = kInvalidPort;
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return lastError();
    *port = handleFor<PortHandle>(h);
    return kErrSuccess;
}

bool Win32SerialPorts::getSettings(PortHandle port, LineSettings* settings) {
    if (settings == nullptr) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handleOf(port), &dcb)) return false;
    settings->baudRate = dcb.BaudRate;
    settings->byteSize = dcb.ByteSize;
    settings->parity = dcb.Parity;
    settings->stopBits = dcb.StopBits;
    return true;
}

bool Win32SerialPorts::setSettings(PortHandle port, const LineSettings& settings) {
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
    if (!SetCommState(handleOf(port), &dcb)) return false;
    // A port keeps the time-outs its last user left, possibly none at all: a
    // device that never answers would then hold the read for ever. Reads and
    // writes end after the same total time as on every other system. They
    // are line settings: one that cannot be written fails like the rest.
    return setReadTimeout(handleOf(port), kSerialReadTimeoutMs);
}

bool Win32SerialPorts::purge(PortHandle port, uint32_t flags) { return PurgeComm(handleOf(port), flags) != FALSE; }

bool Win32SerialPorts::write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) {
    if (written != nullptr) *written = 0;
    if (written == nullptr || (data == nullptr && length != 0)) return false;
    DWORD done = 0;
    const BOOL ok = WriteFile(handleOf(port), data, length, &done, nullptr);
    *written = done;
    return ok != FALSE;
}

bool Win32SerialPorts::read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) {
    return readFor(port, data, length, kSerialReadTimeoutMs, got);
}

bool Win32SerialPorts::readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) {
    if (got != nullptr) *got = 0;
    if (got == nullptr || (data == nullptr && length != 0)) return false;
    // setSettings left the ordinary limit in force; another lasts for this
    // read only, so ordinary reads cost no extra call.
    const HANDLE h = handleOf(port);
    const bool own = timeoutMs != kSerialReadTimeoutMs;
    if (own && !setReadTimeout(h, timeoutMs)) return false;
    DWORD done = 0;
    // A read that times out succeeds, short.
    const BOOL ok = ReadFile(h, data, length, &done, nullptr);
    *got = done;
    if (own && !setReadTimeout(h, kSerialReadTimeoutMs)) return false;
    return ok != FALSE;
}

bool Win32SerialPorts::close(PortHandle port) { return port != kInvalidPort && CloseHandle(handleOf(port)) != FALSE; }

}  // namespace platform
