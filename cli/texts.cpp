#include <cstdio>

#include "cli/cli.h"
#include "platform/hints.h"

namespace cli {

namespace {

using platform::hexDigit;

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool parseSize(std::string_view text, uint64_t* value) {
    uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
            case 'k':
            case 'K': unit = uint64_t{1} << 10; break;
            case 'm':
            case 'M': unit = uint64_t{1} << 20; break;
            case 'g':
            case 'G': unit = uint64_t{1} << 30; break;
            default: break;
        }
        if (unit != 1) text.remove_suffix(1);
    }
    uint64_t n = 0;
    if (!parseNumber(text, UINT64_MAX / unit, &n)) return false;
    *value = n * unit;
    return true;
}

bool parseHexBytes(std::string_view text, std::vector<uint8_t>* bytes, std::string* error) {
    bytes->clear();
    for (std::size_t i = 0; i < text.size();) {
        if (blank(text[i])) {
            ++i;
            continue;
        }
        const int high = hexDigit(text[i]);
        const int low = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
        if (high < 0 || low < 0) {
            const std::size_t at = high < 0 ? i : i + 1;
            if (at == text.size()) {
                *error = "the last byte has only one hexadecimal digit";
                return false;
            }
            // Appended piece by piece: GCC 12 at -O3 sees a false overlap in
            // "literal" + std::string.
            error->assign(1, '\'');
            error->append(1, text[at]).append("' at position ").append(std::to_string(at + 1));
            error->append(" is not a hexadecimal digit");
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(high * 16 + low));
        i += 2;
    }
    if (bytes->empty()) {
        *error = "no bytes given";
        return false;
    }
    return true;
}

bool parsePasses(std::string_view text, std::vector<uint8_t>* passes, std::string* error) {
    passes->clear();
    for (;;) {
        const std::size_t comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) item.remove_prefix(2);
        uint32_t value = 0;
        if (!platform::parseHex(item, 2, &value)) {
            error->assign(1, '\'');
            error->append(text.substr(0, comma)).append("' is not a byte in hexadecimal");
            return false;
        }
        passes->push_back(static_cast<uint8_t>(value));
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

std::string hexLines(const uint8_t* data, std::size_t size) {
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(cell, sizeof cell, "%02x", data[i]);
        text += cell;
        text += (i % 16 == 15 || i + 1 == size) ? '\n' : ' ';
    }
    return text;
}

std::string hexView(const uint8_t* data, std::size_t size) {
    std::string text;
    char cell[24];
    for (std::size_t row = 0; row < size; row += 16) {
        std::snprintf(cell, sizeof cell, "%08zx ", row);
        text += cell;
        std::string printable;
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i % 8 == 0) text += ' ';
            if (i < size) {
                std::snprintf(cell, sizeof cell, "%02x ", data[i]);
                text += cell;
                printable += (data[i] >= 0x20 && data[i] < 0x7F) ? static_cast<char>(data[i]) : '.';
            } else {
                text += "   ";
            }
        }
        text += " |" + printable + "|\n";
    }
    return text;
}

std::string hexStream(const uint8_t* data, std::size_t size, std::size_t perLine) {
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(cell, sizeof cell, "%02x", data[i]);
        text += cell;
        if (i % perLine == perLine - 1) text += '\n';
    }
    return text;
}

std::string resultName(CeResult result) {
    const char* name = ceResultName(result);
    return name ? std::string(name) : std::to_string(result);
}

std::string describeResult(CeResult result) {
    switch (result) {
        case CE_OK: return "done";
        case CE_CANCELED: return "the device is not connected";
        case CE_TIMEOUT: return "nobody answered in time";
        case CE_HW_NOT_FOUND: return "the driver or the device was not found";
        case CE_HW_NOT_SUPPORTED: return "this source type is not built into hwds";
        case CE_HW_OP_NOT_SUPPORTED: return "the source or its device does not offer this operation";
        case CE_HW_FAIL_LOCK: return "the device could not be locked";
        case CE_HW_FAIL: return "the device or its driver failed";
        case CE_HW_NEED_INTERACTION: return "the device needs attention";
        case CE_HW_ACCESS_DENIED:
            return std::string("access to the device was refused (") + platform::accessDeniedHint() + ")";
        case CE_HW_WRITE_FAILED: return "the device did not confirm a write";
        case CE_BAD_PARAM: return "the source refuses this identifier";
        case CE_NO_MEM: return "out of memory";
        case CE_CODE_CORRUPTED: return "the request is out of range or the driver is unusable";
        default: return "the operation failed";
    }
}

int exitStatusFor(CeResult result) {
    switch (result) {
        case CE_OK: return kExitOk;
        case CE_CANCELED:
        case CE_TIMEOUT:
        case CE_HW_NOT_FOUND:
        case CE_HW_NEED_INTERACTION: return kExitAbsent;
        case CE_BAD_PARAM:
        case CE_HW_OP_NOT_SUPPORTED: return kExitUsage;
        case CE_RNG_INSECURE:
        case CE_RNG_FAIL: return kExitUnhealthy;
        default: return kExitFailed;
    }
}

int combinedExitStatus(const std::vector<int>& statuses) {
    int combined = kExitOk;
    for (int status : statuses) {
        if (status == kExitOk) continue;
        if (combined != kExitOk && combined != status) return kExitFailed;
        combined = status;
    }
    return combined;
}

}  // namespace cli
