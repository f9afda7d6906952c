// hwds: the operators' front end. It reaches devices only through the
// framework's public API and the platform layer's neutral services.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hwds/hwds.h"
#include "platform/text.h"

// The whole program; main only calls it. Returns the exit status.
int hwdsCliMain(int argc, char** argv);

namespace cli {

// Exit statuses, as --help and the manual page list them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // the device or its driver failed
inline constexpr int kExitUsage = 2;      // bad command line, argument, file or range
inline constexpr int kExitAbsent = 3;     // device not found, not connected, canceled, timed out
inline constexpr int kExitMismatch = 4;   // read back differs from what was written
inline constexpr int kExitUnhealthy = 5;  // random bytes failed a health test or repeated a block
inline constexpr int kExitBroken = 6;     // a journal line changed, removed, reordered, torn or badly signed

// The status a failed operation gives (kExitOk for CE_OK).
int exitStatusFor(CeResult result);
// Several devices: 0 when all succeeded, their common status when all
// failures share one, else kExitFailed.
int combinedExitStatus(const std::vector<int>& statuses);

// ---- Output ----------------------------------------------------------------

// Bytes to standard output or error, unchanged; false when they did not go.
bool writeOut(std::string_view bytes);
bool writeErr(std::string_view bytes);
// "hwds: " and the text, on a line of its own on standard error.
void complain(std::string_view text);

// ---- Texts -----------------------------------------------------------------

using platform::parseNumber;
// A count of bytes with an optional K, M or G suffix (powers of 1024).
bool parseSize(std::string_view text, uint64_t* value);
// Hexadecimal digit pairs, blanks allowed between bytes. On failure *error
// says where.
bool parseHexBytes(std::string_view text, std::vector<uint8_t>* bytes, std::string* error);
// Comma-separated byte values in hexadecimal ("FF,00,55"), at least one.
bool parsePasses(std::string_view text, std::vector<uint8_t>* passes, std::string* error);

// "ff 00 55", 16 bytes to a line.
std::string hexLines(const uint8_t* data, std::size_t size);
// Offset, 16 bytes in hexadecimal, and the printable ones as text.
std::string hexView(const uint8_t* data, std::size_t size);
// Continuous lower-case digits, `perLine` bytes to a line.
std::string hexStream(const uint8_t* data, std::size_t size, std::size_t perLine);
// A result code's name, or its number when it has none.
std::string resultName(CeResult result);
// A result in plain words.
std::string describeResult(CeResult result);

}  // namespace cli
