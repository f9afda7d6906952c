#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "platform/win32/win32.h"

namespace platform {

namespace {

// The tool's texts are Windows-1251; a Russian console's code page is 866.
// Both are named outright: the system's own code pages may be any.
constexpr UINT kTextCodePage = 1251;
constexpr UINT kConsoleCodePage = 866;

std::wstring wide(UINT codePage, std::string_view bytes) {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(bytes.size());
    // Both code pages take one byte a character.
    std::wstring text(bytes.size(), L'\0');
    const int got = MultiByteToWideChar(codePage, 0, bytes.data(), length, text.data(), length);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

}  // namespace

std::string Win32Console::convert(std::string_view cp1251) {
    const std::wstring text = wide(kTextCodePage, cp1251);
    if (text.empty()) return std::string(cp1251);
    const int length = static_cast<int>(text.size());
    std::string out(text.size(), '\0');
    // No flags: the best-fit mapping that CharToOemBuffA applies on a Russian
    // system, so that its bytes stay as they were.
    const int got = WideCharToMultiByte(kConsoleCodePage, 0, text.data(), length, out.data(), length, nullptr, nullptr);
    if (got <= 0) return std::string(cp1251);
    out.resize(static_cast<std::size_t>(got));
    return out;
}

int Win32Console::write(Stream stream, std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return -1;
    std::FILE* f = stream == Stream::Err ? stderr : stdout;
    HANDLE handle = GetStdHandle(stream == Stream::Err ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        // A console shows UTF-16 right whatever code page chcp chose; a line
        // feed returns the cursor there as well.
        if (std::fflush(f) != 0) return -1;
        const std::wstring text = wide(kConsoleCodePage, bytes);
        constexpr std::size_t kChunk = 8192;  // older consoles refuse 64 KB at once
        for (std::size_t done = 0; done < text.size();) {
            const DWORD part = static_cast<DWORD>(std::min(kChunk, text.size() - done));
            DWORD written = 0;
            if (!WriteConsoleW(handle, text.data() + done, part, &written, nullptr) || written == 0) return -1;
            done += written;
        }
        return static_cast<int>(text.size());
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return -1;
    // Flushed at once, so that standard output and error interleave in the
    // order they were written.
    if (std::fflush(f) != 0) return -1;
    return static_cast<int>(bytes.size());  // one byte a character in CP866
}

}  // namespace platform
