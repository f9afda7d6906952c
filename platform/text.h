// Small text helpers shared by the readers of files and command lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace platform {

// The value of a hexadecimal digit of either case, or -1.
constexpr int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to `maxDigits` (at most 8) hexadecimal digits and nothing else: no
// prefix, sign or blank.
constexpr bool parseHex(std::string_view text, std::size_t maxDigits, uint32_t* value) {
    if (text.empty() || text.size() > maxDigits || maxDigits > 8) return false;
    uint32_t n = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0) return false;
        n = (n << 4) | static_cast<uint32_t>(digit);
    }
    *value = n;
    return true;
}

// 1 to `maxDigits` (at most 19) decimal digits and nothing else; leading
// zeros count as digits.
constexpr bool parseDecimal(std::string_view text, std::size_t maxDigits, uint64_t* value) {
    if (text.empty() || text.size() > maxDigits || maxDigits > 19) return false;
    uint64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    *value = n;
    return true;
}

// A number as "%u" writes it: parseDecimal without a leading zero, so that
// one number has one text.
constexpr bool parseCanonicalDecimal(std::string_view text, std::size_t maxDigits, uint64_t* value) {
    if (text.size() > 1 && text[0] == '0') return false;
    return parseDecimal(text, maxDigits, value);
}

// A 32-bit value stored little-endian, as the registry keeps a DWORD.
constexpr uint32_t le32From(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

constexpr std::array<uint8_t, 4> le32Bytes(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// Registry text need not be zero-terminated: it ends at the first zero byte
// or with the data.
inline std::string_view registryText(const void* data, std::size_t size) {
    if (size == 0) return {};  // data may then be null, which memchr must not see
    const char* text = static_cast<const char*>(data);
    const void* zero = std::memchr(text, '\0', size);
    return std::string_view(text, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : size);
}

// The code point (at most 0x10FFFF) in UTF-8.
inline void appendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decimal, or hexadecimal after 0x; the whole text, at most `max`. No sign,
// no blanks.
constexpr bool parseNumber(std::string_view text, uint64_t max, uint64_t* value) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t n = 0;
    for (char c : text) {
        const int digit = hexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
        const auto d = static_cast<unsigned>(digit);
        if (d > max || n > (max - d) / base) return false;
        n = n * base + d;
    }
    *value = n;
    return true;
}

}  // namespace platform
