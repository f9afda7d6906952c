#include "platform/posix/sysfs_view.h"

#include "platform/ftdi_keys.h"
#include "platform/posix/files.h"
#include "platform/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

namespace {

namespace fs = std::filesystem;

using ftdi::kEnumKey;
using ftdi::kSerialCommKey;
constexpr const char* kDriverKey = ftdi::kServiceKey;

// The first line of a sysfs attribute, without surrounding white space; empty
// when the file is missing or unreadable. Attributes are short, so the read
// is bounded.
std::string readAttribute(const fs::path& file) {
    const File f(std::fopen(file.c_str(), "rb"));
    if (!f) return {};
    char buffer[256];
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, f.get());
    std::string_view text(buffer, got);
    text = text.substr(0, text.find('\n'));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return std::string(text);
}

std::optional<uint32_t> hexAttribute(const fs::path& file, std::size_t maxDigits) {
    uint32_t value = 0;
    if (!parseHex(readAttribute(file), maxDigits, &value)) return std::nullopt;
    return value;
}

// n for a name "ttyUSBn".
std::optional<uint32_t> ttyNumber(std::string_view name) {
    constexpr std::string_view prefix = "ttyUSB";
    if (name.substr(0, prefix.size()) != prefix) return std::nullopt;
    uint64_t n = 0;
    if (!parseDecimal(name.substr(prefix.size()), 6, &n)) return std::nullopt;
    return static_cast<uint32_t>(n);
}

std::string hex4(uint32_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(v & 0xFFFF));
    return text;
}

struct Port {
    uint32_t tty = 0;
    std::string instancePath;
};

// The instance path the Windows FTDI driver gives the adapter behind the tty
// at `link`, or nothing when the device cannot be identified.
std::optional<std::string> instancePathOf(const fs::path& link) {
    std::error_code ec;
    const fs::path tty = fs::canonical(link, ec);
    if (ec) return std::nullopt;
    const fs::path interfaceDir = tty.parent_path();
    const fs::path deviceDir = interfaceDir.parent_path();

    const auto vid = hexAttribute(deviceDir / "idVendor", 4);
    const auto pid = hexAttribute(deviceDir / "idProduct", 4);
    const auto interfaceNumber = hexAttribute(interfaceDir / "bInterfaceNumber", 2);
    const std::string serial = readAttribute(deviceDir / "serial");
    if (!vid || !pid || !interfaceNumber || *interfaceNumber >= 26 || serial.empty()) return std::nullopt;
    // The serial becomes one key name: a separator or control byte would
    // split or corrupt it.
    for (char c : serial) {
        if (c == '\\' || static_cast<unsigned char>(c) < 0x20) return std::nullopt;
    }
    const char letter = static_cast<char>('A' + *interfaceNumber);
    return "FTDIBUS\\VID_" + hex4(*vid) + "+PID_" + hex4(*pid) + "+" + serial + letter + "\\0000";
}

fs::path driverDirOf(const std::string& sysfsRoot) {
    return fs::path(sysfsRoot) / "bus" / "usb-serial" / "drivers" / "ftdi_sio";
}

// Whether a line of modules.builtin, or the part before ':' of a line of
// modules.dep, names the module: "kernel/drivers/usb/serial/ftdi_sio.ko",
// perhaps compressed.
bool namesModule(std::string_view path, std::string_view module) {
    path = path.substr(0, path.find(':'));
    path = path.substr(path.rfind('/') == std::string_view::npos ? 0 : path.rfind('/') + 1);
    for (std::string_view compressed : {".xz", ".zst", ".gz"}) {
        if (path.ends_with(compressed)) path.remove_suffix(compressed.size());
    }
    if (!path.ends_with(".ko")) return false;
    path.remove_suffix(3);
    return path == module;
}

bool listed(const fs::path& list, std::string_view module) {
    std::ifstream in(list);
    for (std::string line; std::getline(in, line);) {
        if (namesModule(line, module)) return true;
    }
    return false;
}

}  // namespace

bool KernelModules::has(std::string_view name) {
    const fs::path dir(dir_);
    const std::string stamp = stampOf(dir / "modules.builtin") + "|" + stampOf(dir / "modules.dep");
    if (stamp != stamp_ || name != foundName_) {
        found_ = listed(dir / "modules.builtin", name) || listed(dir / "modules.dep", name);
        stamp_ = stamp;
        foundName_ = std::string(name);
    }
    return found_;
}

bool ftdiDriverPresent(const std::string& sysfsRoot, KernelModules* modules) {
    std::error_code ec;
    if (fs::is_directory(driverDirOf(sysfsRoot), ec)) return true;
    if (fs::is_directory(fs::path(sysfsRoot) / "module" / "ftdi_sio", ec)) return true;
    return modules != nullptr && modules->has("ftdi_sio");
}

void buildSysfsView(const std::string& sysfsRoot, const std::string& devRoot, bool driverPresent, RegTree* tree) {
    if (tree == nullptr || !driverPresent) return;
    tree->addKey(kDriverKey);
    const fs::path driverDir = driverDirOf(sysfsRoot);
    std::error_code ec;

    std::vector<Port> ports;
    fs::directory_iterator it(driverDir, ec);  // absent while the driver is not loaded
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const auto n = ttyNumber(it->path().filename().native());
        if (!n) continue;
        if (auto path = instancePathOf(it->path())) ports.push_back({*n, std::move(*path)});
    }
    std::sort(ports.begin(), ports.end(), [](const Port& a, const Port& b) { return a.tty < b.tty; });

    std::string nodeDir = devRoot;
    if (nodeDir.empty() || nodeDir.back() != '/') nodeDir += '/';
    tree->setDword(kEnumKey, ftdi::kCountValue, static_cast<uint32_t>(ports.size()));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const std::string comName = "COM" + std::to_string(ports[i].tty + 1);
        tree->setString(kEnumKey, std::to_string(i), ports[i].instancePath);
        tree->setString(ftdi::kDeviceKeyHead + ports[i].instancePath + ftdi::kDeviceKeyTail, ftdi::kPortNameValue,
                        comName);
        tree->setString(kSerialCommKey, nodeDir + "ttyUSB" + std::to_string(ports[i].tty), comName);
    }
}

}  // namespace platform
