// The regedit text format ("REGEDIT4" or "Windows Registry Editor Version
// 5.00"), read into a RegTree and written: the registry a test or simulator
// states.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/regtree.h"

namespace platform {

// Applies the file's keys and values to *tree, as an import would. The text is
// UTF-8 (with or without a byte-order mark) or UTF-16LE with a byte-order mark;
// lines end in LF or CRLF. Only HKEY_LOCAL_MACHINE (or HKLM) is kept: keys of
// the other standard hives are skipped with their values, an unknown hive is
// an error, and so are keys and names past Windows' limits. On failure *tree
// is left as it was and *error reads "<fileName>:<line>: <reason>", or
// outOfMemoryError(fileName) when the file needs more memory than there is.
// Nothing is thrown.
bool parseRegedit(std::string_view bytes, const std::string& fileName, RegTree* tree, std::string* error);
std::string outOfMemoryError(const std::string& fileName);

// Regedit text, UTF-8 with LF line ends, of keys below HKEY_LOCAL_MACHINE.
// Each key line follows a blank line; values go to the key written last.
class RegeditWriter {
public:
    // "Windows Registry Editor Version 5.00", or "REGEDIT4".
    explicit RegeditWriter(bool regedit4 = false);

    void key(std::string_view path);
    void removeKey(std::string_view path);
    // An empty name is the key's default value ("@"). A text holding a line
    // end or a zero, which no quoted string can carry, is written as hex(1).
    void string(std::string_view name, std::string_view text);
    void dword(std::string_view name, uint32_t value);
    // "hex:" for REG_BINARY, else "hex(type):".
    void hex(std::string_view name, const std::vector<uint8_t>& data, uint32_t type = kRegBinary);
    // In the form that reads back as this type and data.
    void value(std::string_view name, const RegValue& value);
    void removeValue(std::string_view name);

    // False once a key path or name held a line end, which no line can carry.
    bool ok() const { return ok_; }
    const std::string& text() const { return text_; }

private:
    void keyLine(std::string_view prefix, std::string_view path);
    void name(std::string_view name);
    void quoted(std::string_view text);

    std::string text_;
    bool ok_ = true;
};

}  // namespace platform
