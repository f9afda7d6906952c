// voriridod: wipes the memory of a Tuvak key device, or lists the devices
// that the USB-serial adapter's driver has enumerated.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "hwds/hwds.h"
#include "platform/platform.h"

// The whole program; main only calls it. Returns the exit status.
int voriridodMain(int argc, char** argv);

namespace voriridod {

// Characters of the argument kept as the device identifier.
inline constexpr std::size_t kIdChars = 9;

// Size of every composed console message.
inline constexpr std::size_t kMessageBufferSize = 512;

// ---- Console text --------------------------------------------------------

// A Windows-1251 text as the console shows it.
std::string toConsole(std::string_view cp1251);

// Writes bytes unchanged. Returns the characters written, or -1.
int writeBytes(platform::Stream stream, std::string_view bytes);

// Converts a Windows-1251 text and writes it.
int writeText(platform::Stream stream, std::string_view cp1251);

// Substitutes the arguments into an already converted format, in a bounded
// buffer, and writes the result as text. Arguments are never converted.
[[gnu::format(printf, 2, 3)]] int writeFormat(platform::Stream stream, const char* consoleFormat, ...);

// ---- The parts of the program --------------------------------------------

// The usage banner on standard output.
void printBanner();

// The result code's message on standard error, on a line of its own.
void reportError(CeResult code);

// Overwrites the device's memory five times, showing progress on standard
// error. `id` is the upper-cased identifier. Returns 0 on success, 1 after
// the failure has been reported.
int wipeDevice(const char* id);

// The identifiers of the enumerated devices on standard output.
void listDevices();

}  // namespace voriridod
