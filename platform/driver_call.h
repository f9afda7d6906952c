// Calls into vendor driver libraries. Their entry points are documented only
// as C prototypes: on 32-bit x86 a driver may be built cdecl (the caller pops
// the arguments) or stdcall (the driver pops them), and a caller that guesses
// wrong runs on with a wrong stack pointer. Every call therefore goes through
// a thunk that keeps the stack pointer in a callee-saved register and puts it
// back after the call, whatever the driver did; other targets have one
// convention and call directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/platform.h"

#if defined(__i386__)
// Pushes args[0..count) as 32-bit words, calls fn and returns its eax.
extern "C" std::int32_t hwds_driver_call_x86(platform::Proc fn, const std::uint32_t* args,
                                             std::uint32_t count) __asm__("hwds_driver_call_x86");
#elif defined(_M_IX86)
#error "32-bit x86 driver calls need the GNU assembler thunk"
#endif

namespace platform {

template <class Signature>
class DriverEntry;

// A driver entry point taking word-sized arguments (integers up to 32 bits,
// pointers) and returning an int, as the drivers' entry points all do.
// Constant-initialised when empty, so that static bindings need no
// dynamic initialiser.
template <class... Args>
class DriverEntry<int(Args...)> {
    static_assert(((std::is_pointer_v<Args> || (std::is_integral_v<Args> && sizeof(Args) <= 4)) && ...),
                  "driver arguments are pointers or integers of up to 32 bits");

public:
    constexpr DriverEntry() = default;
    constexpr DriverEntry(std::nullptr_t) {}
    explicit DriverEntry(Proc proc) : proc_(proc) {}

    int operator()(Args... args) const {
#if defined(__i386__)
        const std::uint32_t words[sizeof...(Args) + 1] = {word(args)..., 0};
        return hwds_driver_call_x86(proc_, words, sizeof...(Args));
#else
        return reinterpret_cast<int (*)(Args...)>(proc_)(args...);
#endif
    }

    explicit operator bool() const { return proc_ != nullptr; }
    friend bool operator==(DriverEntry entry, std::nullptr_t) { return entry.proc_ == nullptr; }

private:
    template <class T>
    static std::uint32_t word(T value) {
        if constexpr (std::is_pointer_v<T>)
            return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(value));
        else
            return static_cast<std::uint32_t>(value);
    }

    Proc proc_ = nullptr;
};

// The entry point `name` of `library` as Entry, a DriverEntry; empty when
// absent.
template <class Entry>
Entry driverEntry(Libraries& libraries, LibraryHandle library, const char* name) {
    return Entry(libraries.symbol(library, name));
}

}  // namespace platform
