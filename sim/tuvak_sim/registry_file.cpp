#include "sim/tuvak_sim/registry_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/ftdi_keys.h"
#include "sim/tuvak_sim/common.h"

namespace tuvaksim {

namespace {

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string regeditValue(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& text, std::string* error) {
    const std::string temp = path + ".tmp." + std::to_string(getpid());
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        *error = "cannot create " + temp + ": " + errnoText();
        return false;
    }
    if (!writeAll(fd.get(), text) || !fd.close()) {
        *error = "cannot write " + temp + ": " + errnoText();
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temp + " to " + path + ": " + errnoText();
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string registryText(const std::vector<std::unique_ptr<Device>>& devices) {
    static const char* const kHklm = "[HKEY_LOCAL_MACHINE\\";
    std::vector<std::string> instances;
    for (const auto& device : devices) {
        // Devices sharing an identifier get distinct instances, as Windows
        // would give two adapters.
        int duplicates = 0;
        for (const auto& before : devices) {
            if (before == device) break;
            if (before->id == device->id) ++duplicates;
        }
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "\\%04d", duplicates);
        instances.push_back(platform::ftdi::kInstancePrefix + device->id + suffix);
    }

    std::string text = "Windows Registry Editor Version 5.00\n\n";
    text += std::string(kHklm) + platform::ftdi::kServiceKey + "]\n\n";
    text += std::string(kHklm) + platform::ftdi::kEnumKey + "]\n";
    char count[32];
    std::snprintf(count, sizeof count, "\"Count\"=dword:%08zx\n", devices.size());
    text += count;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        text += regeditValue(std::to_string(i)) + "=" + regeditValue(instances[i]) + "\n";
    }
    text += "\n";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        text += std::string(kHklm) + platform::ftdi::kDeviceKeyHead + instances[i] + platform::ftdi::kDeviceKeyTail +
                "]\n";
        text += "\"PortName\"=" + regeditValue(devices[i]->com) + "\n\n";
    }
    text += std::string(kHklm) + platform::ftdi::kSerialCommKey + "]\n";
    for (const auto& device : devices) {
        text += regeditValue(device->pty) + "=" + regeditValue(device->com) + "\n";
    }
    return text;
}

}  // namespace tuvaksim
