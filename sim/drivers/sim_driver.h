// What the simulated driver libraries share: their exports and their
// settings, "key=value" words from a text (a test's call, or an environment
// variable for programs that load the library themselves).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#if defined(_WIN32)
#define SIM_EXPORT extern "C" __declspec(dllexport)
#else
#define SIM_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The driver's entry points, in the calling convention the build chose: the
// real drivers' is not documented, so the sources must survive either. Only
// 32-bit x86 has a choice; the controls for tests stay cdecl.
#if defined(SIM_DRIVER_STDCALL) && defined(__i386__)
#define SIM_ENTRY SIM_EXPORT __attribute__((stdcall))
#else
#define SIM_ENTRY SIM_EXPORT
#endif

namespace simdrv {

// Calls `apply(key, value)` for every "key=value" word of `text`, separated
// by blanks, commas or semicolons. A word without '=' has the value "1".
template <class Apply>
void forEachSetting(const char* text, Apply apply) {
    if (text == nullptr) return;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos)
            apply(word, std::string("1"));
        else
            apply(word.substr(0, eq), word.substr(eq + 1));
        word.clear();
    };
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == ' ' || *p == '\t' || *p == ',' || *p == ';' || *p == '\n')
            flush();
        else
            word += *p;
    }
    flush();
}

// Decimal, or hexadecimal with 0x.
inline long number(const std::string& value) { return std::strtol(value.c_str(), nullptr, 0); }

// Deterministic random bytes, so that tests can tell one block from another.
class Xorshift {
public:
    explicit Xorshift(uint32_t seed) : state_(seed != 0 ? seed : 0x9E3779B9u) {}
    uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<uint8_t>(state_ >> 24);
    }

private:
    uint32_t state_;
};

}  // namespace simdrv
