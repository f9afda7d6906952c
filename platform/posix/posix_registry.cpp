#include "platform/posix/posix_registry.h"

#include <cstdlib>

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

}  // namespace platform
