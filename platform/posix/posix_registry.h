// The POSIX backend's registry: a regedit file named by HWDS_REGISTRY, or the
// FTDI driver's keys derived from sysfs. Live, as the Windows registry is: a
// key opened after a change sees it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/posix/change_watch.h"
#include "platform/posix/sysfs_view.h"
#include "platform/regtree.h"

namespace platform {

class PosixRegistry : public TreeRegistry {
public:
    // The file that HWDS_REGISTRY names when it is set and not empty, else the
    // sysfs view of /sys with device nodes under /dev and the running
    // kernel's modules under /lib/modules.
    static std::unique_ptr<PosixRegistry> fromEnvironment();
    // Read again whenever its identity, size or times change. A file that
    // cannot be read or parsed gives an empty registry that says why in
    // loadError().
    static std::unique_ptr<PosixRegistry> fromFile(const std::string& path);
    // Built anew for every key opened and every COM name resolved: a handful
    // of directory reads, so that a device plugged in or moved is seen at once.
    // waitForChange listens to the uevents that `events` opens (the kernel's
    // for the system's own sysfs), and is Unsupported without it.
    static std::unique_ptr<PosixRegistry> fromSysfs(const std::string& sysfsRoot, const std::string& devRoot,
                                                    const std::string& modulesDir, UeventOpener events = {});

    // Why the file could not be loaded, naming the file and line; empty when
    // it was.
    std::string loadError();
    std::string unavailableReason() override { return loadError(); }
    // A regedit file through inotify on its directory (its writers replace it
    // by rename), the sysfs view through uevents.
    ChangeWait waitForChange(uint32_t timeoutMs) override;

    // The device node that serves a COM name, from the view as it is now.
    bool resolveComName(std::string_view comName, std::string* nodePath);

protected:
    std::shared_ptr<const RegTree> snapshot() override;

private:
    PosixRegistry() = default;
    void refresh();

    std::mutex refreshMutex_;  // one refresh at a time; guards what follows
    std::string file_;
    std::string fileStamp_;
    bool fileRead_ = false;
    std::string loadError_;
    std::string sysfsRoot_;
    std::string devRoot_;
    std::unique_ptr<KernelModules> modules_;
    std::mutex watchMutex_;  // one waiter at a time; guards what follows
    std::unique_ptr<ChangeWatch> watch_;
};

// The device node that HARDWARE\DEVICEMAP\SERIALCOMM maps to a COM name
// ("COM5", letter case ignored): the name of the value whose text is it.
bool resolveComName(const RegTree& tree, std::string_view comName, std::string* nodePath);

}  // namespace platform
