#include "platform/regedit.h"

#include "platform/ascii.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

namespace platform {

namespace {

using platform::asciiIEquals;

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && asciiIEquals(text.substr(0, prefix.size()), prefix);
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

// UTF-16LE (byte-order mark already removed) to UTF-8. On failure *reason is
// set and *line tells where, counting from 1.
bool utf16leToUtf8(std::string_view bytes, std::string* out, std::size_t* line, std::string* reason) {
    *line = 1;
    if (bytes.size() % 2 != 0) {
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            if (bytes[i] == '\n' && bytes[i + 1] == '\0') ++*line;
        }
        *reason = "UTF-16 text ends in half a character";
        return false;
    }
    out->reserve(bytes.size() / 2);
    auto unitAt = [&](std::size_t i) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) |
               (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t cp = unitAt(i);
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            *reason = "invalid UTF-16 (unpaired low surrogate)";
            return false;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            const uint32_t low = i + 2 < bytes.size() ? unitAt(i + 2) : 0;
            if (low < 0xDC00 || low > 0xDFFF) {
                *reason = "invalid UTF-16 (unpaired high surrogate)";
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        }
        if (cp == '\n') ++*line;
        appendUtf8(cp, out);
    }
    return true;
}

constexpr char kVersion5[] = "Windows Registry Editor Version 5.00";
constexpr char kVersion4[] = "REGEDIT4";

const std::string_view kOtherHives[] = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKCR", "HKCU", "HKU", "HKCC"};

class Parser {
public:
    Parser(const std::string& fileName, RegTree* tree) : fileName_(fileName), tree_(tree) {}

    bool run(std::string_view text) {
        text_ = text;
        std::string_view header;
        if (!nextLine(&header) || (trim(header) != kVersion5 && trim(header) != kVersion4)) {
            return fail("expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" as the first line");
        }
        for (std::string_view raw; nextLine(&raw);) {
            const std::string_view line = trim(raw);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[') {
                if (!keyLine(line)) return false;
            } else if (line.front() == '"' || line.front() == '@') {
                if (!valueLine(line)) return false;
            } else {
                return fail("expected \"name\"=value");
            }
        }
        return true;
    }

    const std::string& error() const { return error_; }

private:
    enum class Target { None, Key, Skipped };

    // The next line without its end, counting lines as it goes; lines are
    // taken one at a time so that a file of empty lines costs no index.
    bool nextLine(std::string_view* line) {
        if (text_.empty()) return false;
        const std::size_t end = text_.find('\n');
        *line = text_.substr(0, end);
        if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
        text_.remove_prefix(end == std::string_view::npos ? text_.size() : end + 1);
        ++lineNumber_;
        return true;
    }

    bool fail(const std::string& reason) {
        error_ = fileName_ + ":" + std::to_string(std::max<std::size_t>(lineNumber_, 1)) + ": " + reason;
        return false;
    }

    bool keyLine(std::string_view line) {
        if (line.size() < 2 || line.back() != ']') return fail("key line does not end with ']'");
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool remove = !inner.empty() && inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        const std::size_t sep = inner.find('\\');
        const std::string_view hive = inner.substr(0, sep);
        const std::string_view path = sep == std::string_view::npos ? std::string_view{} : inner.substr(sep + 1);

        bool otherHive = false;
        for (std::string_view other : kOtherHives) otherHive = otherHive || asciiIEquals(hive, other);
        if (otherHive) {
            target_ = Target::Skipped;
            return true;
        }
        if (!asciiIEquals(hive, "HKEY_LOCAL_MACHINE") && !asciiIEquals(hive, "HKLM")) {
            return fail("unknown hive \"" + std::string(hive) + "\" (expected HKEY_LOCAL_MACHINE)");
        }
        // A doubled backslash is a common slip: key paths take no escapes.
        if (sep != std::string_view::npos) {
            for (std::size_t start = 0;;) {
                const std::size_t next = path.find('\\', start);
                if (path.substr(start, next - start).empty()) {
                    return fail("empty key name in \"" + std::string(inner) + "\" (key paths use single backslashes)");
                }
                if (next == std::string_view::npos) break;
                start = next + 1;
            }
        }
        if (const char* fault = keyPathFault(path)) return fail(fault);
        if (remove) {
            tree_->removeKey(path);
            target_ = Target::None;
        } else {
            tree_->addKey(path);
            key_ = std::string(path);
            target_ = Target::Key;
        }
        return true;
    }

    // A quoted text at line[*pos] (the opening quote); *pos ends after the
    // closing quote.
    bool quoted(std::string_view line, std::size_t* pos, std::string* out, const char* what) {
        out->clear();
        for (std::size_t i = *pos + 1; i < line.size(); ++i) {
            const char c = line[i];
            if (c == '"') {
                *pos = i + 1;
                return true;
            }
            if (c == '\\') {
                if (i + 1 >= line.size()) break;
                const char next = line[++i];
                if (next != '\\' && next != '"') {
                    return fail(std::string("unknown escape \\") + next + " in " + what +
                                " (only \\\\ and \\\" are allowed)");
                }
                out->push_back(next);
            } else {
                out->push_back(c);
            }
        }
        return fail(std::string("unterminated ") + what);
    }

    bool valueLine(std::string_view line) {
        if (target_ == Target::None) {
            return fail("value line outside a key (a [HKEY_LOCAL_MACHINE\\...] line must come first)");
        }
        std::string name;
        std::size_t pos = 1;  // after '@'
        if (line.front() == '"') {
            pos = 0;
            if (!quoted(line, &pos, &name, "value name")) return false;
        }
        if (const char* fault = valueNameFault(name)) return fail(fault);
        while (pos < line.size() && isBlank(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] != '=') return fail("expected \"name\"=value");
        const std::string_view data = trim(line.substr(pos + 1));

        if (data == "-") {
            if (target_ == Target::Key) tree_->removeValue(key_, name);
            return true;
        }
        uint32_t type = kRegNone;
        std::vector<uint8_t> bytes;
        if (!data.empty() && data.front() == '"') {
            std::string text;
            std::size_t end = 0;
            if (!quoted(data, &end, &text, "string")) return false;
            if (end != data.size()) return fail("unexpected text after the closing quote");
            type = kRegSz;
            bytes.assign(text.begin(), text.end());
            bytes.push_back(0);
        } else if (startsWithIgnoreCase(data, "dword:")) {
            uint32_t v = 0;
            if (!parseHex(data.substr(6), 8, &v)) {
                return fail("bad dword value \"" + std::string(data.substr(6)) + "\" (expected 1 to 8 hex digits)");
            }
            type = kRegDword;
            const auto stored = le32Bytes(v);
            bytes.assign(stored.begin(), stored.end());
        } else if (startsWithIgnoreCase(data, "hex:")) {
            type = kRegBinary;
            if (!byteList(data.substr(4), &bytes)) return false;
        } else if (startsWithIgnoreCase(data, "hex(")) {
            const std::size_t close = data.find("):");
            if (close == std::string_view::npos || !parseHex(data.substr(4, close - 4), 8, &type)) {
                return fail("bad value type in \"" + std::string(data) + "\" (expected hex(N): with N in hex)");
            }
            if (!byteList(data.substr(close + 2), &bytes)) return false;
        } else {
            return fail("bad value data \"" + std::string(data) + "\" (expected \"text\", dword:, hex:, hex(N): or -)");
        }
        if (target_ == Target::Key) tree_->setValue(key_, name, type, std::move(bytes));
        return true;
    }

    // Comma-separated hex bytes; a line ending in a backslash continues on the
    // next, which is taken here.
    bool byteList(std::string_view segment, std::vector<uint8_t>* out) {
        bool expectByte = true;
        for (;;) {
            segment = trim(segment);
            const bool continued = !segment.empty() && segment.back() == '\\';
            if (continued) segment.remove_suffix(1);
            for (std::size_t i = 0; i < segment.size();) {
                const char c = segment[i];
                if (isBlank(c)) {
                    ++i;
                } else if (c == ',') {
                    if (expectByte) return fail("empty byte in hex list");
                    expectByte = true;
                    ++i;
                } else if (hexDigit(c) >= 0) {
                    if (!expectByte) return fail("missing comma between hex bytes");
                    std::size_t end = i;
                    while (end < segment.size() && hexDigit(segment[end]) >= 0) ++end;
                    uint32_t v = 0;
                    if (!parseHex(segment.substr(i, end - i), 2, &v)) {
                        return fail("bad hex byte \"" + std::string(segment.substr(i, end - i)) + "\"");
                    }
                    out->push_back(static_cast<uint8_t>(v));
                    expectByte = false;
                    i = end;
                } else {
                    return fail(std::string("bad character '") + c + "' in hex list");
                }
            }
            if (!continued) break;
            if (!nextLine(&segment)) return fail("hex list continues past the end of the file");
        }
        if (expectByte && !out->empty()) return fail("hex list ends with a comma");
        return true;
    }

    const std::string& fileName_;
    RegTree* tree_;
    std::string_view text_;  // what is left to read
    std::size_t lineNumber_ = 0;
    Target target_ = Target::None;
    std::string key_;
    std::string error_;
};

bool parse(std::string_view bytes, const std::string& fileName, RegTree* tree, std::string* error) {
    std::string converted;
    std::string_view text = bytes;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    } else if (text.substr(0, 2) == "\xFF\xFE") {
        std::size_t line = 0;
        std::string reason;
        if (!utf16leToUtf8(text.substr(2), &converted, &line, &reason)) {
            *error = fileName + ":" + std::to_string(line) + ": " + reason;
            return false;
        }
        text = converted;
    } else if (text.substr(0, 2) == "\xFE\xFF") {
        *error = fileName + ":1: UTF-16 big-endian text is not supported (save as UTF-16LE or UTF-8)";
        return false;
    } else if (text.size() >= 2 && text[0] != '\0' && text[1] == '\0') {
        *error = fileName + ":1: UTF-16 text without a byte-order mark (save it with one, or as UTF-8)";
        return false;
    }

    // Work on a copy so that a file failing half-way changes nothing.
    RegTree result = *tree;
    Parser parser(fileName, &result);
    if (!parser.run(text)) {
        *error = parser.error();
        return false;
    }
    *tree = std::move(result);
    error->clear();
    return true;
}

}  // namespace

bool parseRegedit(std::string_view bytes, const std::string& fileName, RegTree* tree, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (tree == nullptr) {
        *error = fileName + ": no registry tree to load into";
        return false;
    }
    // The file is untrusted and may be larger than memory allows: that is
    // its error, not the process's end.
    try {
        return parse(bytes, fileName, tree, error);
    } catch (const std::bad_alloc&) {
        *error = outOfMemoryError(fileName);
        return false;
    }
}

std::string outOfMemoryError(const std::string& fileName) {
    return fileName + ": cannot load: not enough memory to hold it";
}

namespace {

bool holdsLineEnd(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

RegeditWriter::RegeditWriter(bool regedit4) : text_(std::string(regedit4 ? kVersion4 : kVersion5) + "\n") {}

void RegeditWriter::keyLine(std::string_view prefix, std::string_view path) {
    ok_ = ok_ && !holdsLineEnd(path);
    text_ += '\n';
    text_ += prefix;
    if (!path.empty()) text_ += '\\';
    text_ += path;
    text_ += "]\n";
}

void RegeditWriter::key(std::string_view path) { keyLine("[HKEY_LOCAL_MACHINE", path); }

void RegeditWriter::removeKey(std::string_view path) { keyLine("[-HKEY_LOCAL_MACHINE", path); }

void RegeditWriter::quoted(std::string_view text) {
    text_ += '"';
    for (char c : text) {
        if (c == '\\' || c == '"') text_ += '\\';
        text_ += c;
    }
    text_ += '"';
}

void RegeditWriter::name(std::string_view name) {
    ok_ = ok_ && !holdsLineEnd(name);
    if (name.empty()) {
        text_ += '@';
    } else {
        quoted(name);
    }
    text_ += '=';
}

void RegeditWriter::string(std::string_view name, std::string_view text) {
    if (holdsLineEnd(text) || text.find('\0') != std::string_view::npos) {
        std::vector<uint8_t> data(text.begin(), text.end());
        data.push_back(0);
        hex(name, data, kRegSz);
        return;
    }
    this->name(name);
    quoted(text);
    text_ += '\n';
}

void RegeditWriter::dword(std::string_view name, uint32_t value) {
    this->name(name);
    char digits[16];
    std::snprintf(digits, sizeof digits, "dword:%08x\n", static_cast<unsigned>(value));
    text_ += digits;
}

void RegeditWriter::hex(std::string_view name, const std::vector<uint8_t>& data, uint32_t type) {
    this->name(name);
    char digits[24];
    if (type == kRegBinary) {
        text_ += "hex:";
    } else {
        std::snprintf(digits, sizeof digits, "hex(%x):", static_cast<unsigned>(type));
        text_ += digits;
    }
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(digits, sizeof digits, i == 0 ? "%02x" : ",%02x", data[i]);
        text_ += digits;
    }
    text_ += '\n';
}

void RegeditWriter::value(std::string_view name, const RegValue& value) {
    const std::vector<uint8_t>& data = value.data;
    if (value.type == kRegSz && !data.empty() && data.back() == 0) {
        string(name, std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
    } else if (value.type == kRegDword && data.size() == 4) {
        dword(name, le32From(data.data()));
    } else {
        hex(name, data, value.type);
    }
}

void RegeditWriter::removeValue(std::string_view name) {
    this->name(name);
    text_ += "-\n";
}

}  // namespace platform
