#include <cstdarg>
#include <cstdio>

#include "tool/voriridod.h"

namespace voriridod {

std::string toConsole(std::string_view cp1251) {
    platform::Console* console = platform::current().console;
    if (console == nullptr) return std::string(cp1251);
    return console->convert(cp1251);
}

int writeBytes(platform::Stream stream, std::string_view bytes) {
    platform::Console* console = platform::current().console;
    if (console == nullptr) return -1;
    return console->write(stream, bytes);
}

int writeText(platform::Stream stream, std::string_view cp1251) { return writeBytes(stream, toConsole(cp1251)); }

int writeFormat(platform::Stream stream, const char* consoleFormat, ...) {
    char buffer[kMessageBufferSize];
    va_list args;
    va_start(args, consoleFormat);
    int length = std::vsnprintf(buffer, sizeof buffer, consoleFormat, args);
    va_end(args);
    if (length < 0) return -1;
    std::size_t size = static_cast<std::size_t>(length);
    if (size >= sizeof buffer) size = sizeof buffer - 1;
    return writeBytes(stream, std::string_view(buffer, size));
}

}  // namespace voriridod
