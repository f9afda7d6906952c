// The dump file of tuvak-sim's device memories: per device an ID line, then
// 8 lines of 16 bytes ("00: ff ff ...").
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace sim {

using Memory = std::array<uint8_t, 128>;

// One device's part of a dump.
std::string dumpText(const std::string& id, const Memory& memory);

// The memories of a dump. Empty when the text is malformed; a repeated ID
// keeps the last memory.
std::map<std::string, Memory> parseDump(const std::string& text);

}  // namespace sim
