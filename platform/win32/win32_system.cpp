#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

#include <string>

#include "platform/win32/win32.h"

namespace platform {

namespace {

std::string utf8(const wchar_t* text, int length) {
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string out(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring wide(const std::string& text) {
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) return {};
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

uint32_t errorFor(DWORD error) { return error == ERROR_ALREADY_EXISTS ? kErrFileExists : error; }

}  // namespace

std::string Win32System::hostName() {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    return ::GetComputerNameW(name, &size) ? utf8(name, static_cast<int>(size)) : std::string();
}

std::string Win32System::loginName() {
    wchar_t name[257];
    DWORD size = 257;
    // The size counts the terminating zero.
    return ::GetUserNameW(name, &size) && size > 0 ? utf8(name, static_cast<int>(size - 1)) : std::string();
}

int64_t Win32System::utcMilliseconds() {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    // 100 ns ticks since 1601; 11644473600 s lie between 1601 and 1970.
    return static_cast<int64_t>(ticks / 10000) - INT64_C(11644473600000);
}

bool Win32System::randomBytes(uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ULONG part = length > 0x10000 ? 0x10000 : static_cast<ULONG>(length);
        if (!RtlGenRandom(data, part)) return false;
        data += part;
        length -= part;
    }
    return true;
}

uint32_t Win32System::publishFile(const std::string& path, std::string_view bytes) {
    const std::wstring target = wide(path);
    const std::wstring temporary = wide(path + ".tmp");
    if (target.empty() || temporary.empty()) return kErrInvalidParameter;
    HANDLE file =
        ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return errorFor(::GetLastError());
    DWORD written = 0;
    bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size() && ::FlushFileBuffers(file);
    DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!::CloseHandle(file) && ok) {
        ok = false;
        error = ::GetLastError();
    }
    if (ok && !::MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        error = ::GetLastError();
    }
    if (!ok) ::DeleteFileW(temporary.c_str());
    return ok ? kErrSuccess : errorFor(error == ERROR_SUCCESS ? ERROR_WRITE_FAULT : error);
}

}  // namespace platform
