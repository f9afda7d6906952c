// The POSIX backend's registry: a regedit file named by HWDS_REGISTRY, or the
// FTDI driver's keys derived from sysfs.
#pragma once

#include <memory>
#include <string>

#include "platform/regtree.h"

namespace platform {

class PosixRegistry : public TreeRegistry {
public:
    // The file that HWDS_REGISTRY names when it is set and not empty, else the
    // sysfs view of /sys with device nodes under /dev.
    static std::unique_ptr<PosixRegistry> fromEnvironment();
    // A registry that cannot be read or parsed is empty and says why in
    // loadError().
    static std::unique_ptr<PosixRegistry> fromFile(const std::string& path);
    static std::unique_ptr<PosixRegistry> fromSysfs(const std::string& sysfsRoot, const std::string& devRoot);

    std::string loadError() override { return loadError_; }

private:
    PosixRegistry() = default;

    std::string loadError_;
};

}  // namespace platform
