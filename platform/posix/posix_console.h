// Console text: Windows-1251 messages shown in the terminal's character set.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

class PosixConsole : public Console {
public:
    // Shows text in the character set of the environment's locale
    // (LC_ALL, LC_CTYPE, LANG).
    PosixConsole();
    // Shows text in `charset`, an iconv name such as "KOI8-R".
    explicit PosixConsole(std::string_view charset);
    ~PosixConsole() override;
    PosixConsole(const PosixConsole&) = delete;
    PosixConsole& operator=(const PosixConsole&) = delete;

    // Bytes that the set cannot show become '?'.
    std::string convert(std::string_view cp1251) override;
    int write(Stream stream, std::string_view bytes) override;

    // What convert() produces: the requested set, or "UTF-8" when that one
    // cannot show Cyrillic or iconv cannot convert to it.
    const std::string& charset() const { return charset_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string charset_;
};

// Windows-1251 to UTF-8 by a fixed table; the one unassigned byte (0x98)
// becomes '?'.
std::string cp1251ToUtf8(std::string_view cp1251);

}  // namespace platform
