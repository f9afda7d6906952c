// The POSIX backend's registry: a regedit file named by HWDS_REGISTRY, or the
// FTDI driver's keys derived from sysfs.
#pragma once

#include <memory>
#include <string>
#include <string_view>

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

    // Why the file could not be loaded, naming the file and line; empty when
    // it was.
    const std::string& loadError() const { return loadError_; }

    bool resolveComName(std::string_view comName, std::string* nodePath) const;

private:
    PosixRegistry() = default;

    std::string loadError_;
};

// The device node that HARDWARE\DEVICEMAP\SERIALCOMM maps to a COM name
// ("COM5", letter case ignored): the name of the value whose text is it.
bool resolveComName(const RegTree& tree, std::string_view comName, std::string* nodePath);

}  // namespace platform
