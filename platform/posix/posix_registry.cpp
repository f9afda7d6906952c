#include "platform/posix/posix_registry.h"

#include <cstdlib>

#include "platform/ascii.h"

#include "platform/posix/regedit.h"
#include "platform/posix/sysfs_view.h"

namespace platform {

std::unique_ptr<PosixRegistry> PosixRegistry::fromEnvironment() {
    const char* file = std::getenv("HWDS_REGISTRY");
    if (file != nullptr && *file != '\0') return fromFile(file);
    return fromSysfs("/sys", "/dev");
}

std::unique_ptr<PosixRegistry> PosixRegistry::fromFile(const std::string& path) {
    std::unique_ptr<PosixRegistry> registry(new PosixRegistry);
    std::string error;
    if (!loadRegeditFile(path, &registry->tree(), &error)) {
        // A half-read file must not look like a registry with fewer devices.
        registry->tree() = RegTree();
        registry->loadError_ = error.empty() ? path + ": cannot load" : error;
    }
    return registry;
}

std::unique_ptr<PosixRegistry> PosixRegistry::fromSysfs(const std::string& sysfsRoot, const std::string& devRoot) {
    std::unique_ptr<PosixRegistry> registry(new PosixRegistry);
    buildSysfsView(sysfsRoot, devRoot, &registry->tree());
    return registry;
}

bool PosixRegistry::resolveComName(std::string_view comName, std::string* nodePath) const {
    return platform::resolveComName(tree(), comName, nodePath);
}

bool resolveComName(const RegTree& tree, std::string_view comName, std::string* nodePath) {
    for (const auto& [name, value] : tree.values("HARDWARE\\DEVICEMAP\\SERIALCOMM")) {
        const auto* bytes = reinterpret_cast<const char*>(value->data.data());
        std::string_view text(bytes, value->data.size());
        // Stored text need not be terminated; stop at a zero only if there is one.
        text = text.substr(0, text.find('\0'));
        if (asciiIEquals(text, comName)) {
            if (nodePath != nullptr) *nodePath = name;
            return true;
        }
    }
    return false;
}

}  // namespace platform
