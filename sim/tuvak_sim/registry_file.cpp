#include "sim/tuvak_sim/registry_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/ftdi_keys.h"
#include "platform/regedit.h"
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

    platform::RegeditWriter file;
    file.key(platform::ftdi::kServiceKey);
    file.key(platform::ftdi::kEnumKey);
    file.dword(platform::ftdi::kCountValue, static_cast<uint32_t>(devices.size()));
    for (std::size_t i = 0; i < devices.size(); ++i) file.string(std::to_string(i), instances[i]);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        file.key(platform::ftdi::kDeviceKeyHead + instances[i] + platform::ftdi::kDeviceKeyTail);
        file.string(platform::ftdi::kPortNameValue, devices[i]->com);
    }
    file.key(platform::ftdi::kSerialCommKey);
    for (const auto& device : devices) file.string(device->pty, device->com);
    return file.text();
}

}  // namespace tuvaksim
