#include "sim/control/memory_dump.h"

#include <cstdio>
#include <sstream>

namespace sim {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string dumpText(const std::string& id, const Memory& memory) {
    std::string text = id + "\n";
    char cell[8];
    for (std::size_t row = 0; row < memory.size(); row += 16) {
        std::snprintf(cell, sizeof cell, "%02zx:", row);
        text += cell;
        for (std::size_t i = row; i < row + 16; ++i) {
            std::snprintf(cell, sizeof cell, " %02x", memory[i]);
            text += cell;
        }
        text += "\n";
    }
    return text;
}

std::map<std::string, Memory> parseDump(const std::string& text) {
    std::map<std::string, Memory> memories;
    std::istringstream in(text);
    std::string id;
    while (std::getline(in, id)) {
        Memory memory{};
        for (std::size_t row = 0; row < 8; ++row) {
            std::string line;
            char label[8];
            std::snprintf(label, sizeof label, "%02zx:", row * 16);
            if (!std::getline(in, line) || line.size() != 3 + 16 * 3 || line.compare(0, 3, label) != 0) return {};
            for (std::size_t i = 0; i < 16; ++i) {
                const std::size_t at = 3 + i * 3;
                const int high = hexValue(line[at + 1]);
                const int low = hexValue(line[at + 2]);
                if (line[at] != ' ' || high < 0 || low < 0) return {};
                memory[row * 16 + i] = static_cast<uint8_t>(high * 16 + low);
            }
        }
        memories[id] = memory;
    }
    return memories;
}

}  // namespace sim
