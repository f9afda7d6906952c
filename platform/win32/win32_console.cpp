#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <climits>
#include <cstdio>

#include "platform/win32/win32.h"

namespace platform {

std::string Win32Console::convert(std::string_view cp1251) {
    std::string text(cp1251);
    if (!text.empty() && text.size() <= MAXDWORD) {
        CharToOemBuffA(text.data(), text.data(), static_cast<DWORD>(text.size()));
    }
    return text;
}

int Win32Console::write(Stream stream, std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) return -1;
    std::FILE* f = stream == Stream::Err ? stderr : stdout;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return -1;
    // Flushed at once, so that standard output and error interleave on the
    // console in the order they were written.
    if (std::fflush(f) != 0) return -1;
    if (bytes.empty()) return 0;
    const int characters =
        MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    return characters > 0 ? characters : static_cast<int>(bytes.size());
}

}  // namespace platform
