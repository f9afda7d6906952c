#include "platform/posix/posix_registry.h"

#include <sys/utsname.h>

#include <cstdlib>

#include "platform/ascii.h"
#include "platform/ftdi_keys.h"
#include "platform/posix/files.h"
#include "platform/posix/regedit_file.h"
#include "platform/text.h"

namespace platform {

std::unique_ptr<PosixRegistry> PosixRegistry::fromEnvironment() {
    const char* file = std::getenv("HWDS_REGISTRY");
    if (file != nullptr && *file != '\0') return fromFile(file);
    struct utsname system {};
    const std::string release = ::uname(&system) == 0 ? system.release : "";
    return fromSysfs("/sys", "/dev", "/lib/modules/" + release, openKernelUevents);
}

std::unique_ptr<PosixRegistry> PosixRegistry::fromFile(const std::string& path) {
    std::unique_ptr<PosixRegistry> registry(new PosixRegistry);
    registry->file_ = path;
    registry->watch_ = std::make_unique<FileWatch>(path);
    registry->refresh();
    return registry;
}

std::unique_ptr<PosixRegistry> PosixRegistry::fromSysfs(const std::string& sysfsRoot, const std::string& devRoot,
                                                        const std::string& modulesDir, UeventOpener events) {
    std::unique_ptr<PosixRegistry> registry(new PosixRegistry);
    registry->sysfsRoot_ = sysfsRoot;
    registry->devRoot_ = devRoot;
    registry->modules_ = std::make_unique<KernelModules>(modulesDir);
    registry->watch_ = std::make_unique<UeventWatch>(std::move(events));
    registry->refresh();
    return registry;
}

void PosixRegistry::refresh() {
    std::lock_guard<std::mutex> hold(refreshMutex_);
    auto tree = std::make_shared<RegTree>();
    if (file_.empty()) {
        buildSysfsView(sysfsRoot_, devRoot_, ftdiDriverPresent(sysfsRoot_, modules_.get()), tree.get());
        replaceTree(std::move(tree));
        return;
    }
    // Stamped before reading, so that a change during the read is caught next time.
    const std::string stamp = stampOf(file_);
    if (fileRead_ && stamp == fileStamp_) return;
    std::string error;
    if (!loadRegeditFile(file_, tree.get(), &error)) {
        // A half-read file must not look like a registry with fewer devices.
        tree = std::make_shared<RegTree>();
        if (error.empty()) error = file_ + ": cannot load";
    }
    fileStamp_ = stamp;
    fileRead_ = true;
    loadError_ = error;
    replaceTree(std::move(tree));
}

std::shared_ptr<const RegTree> PosixRegistry::snapshot() {
    refresh();
    return TreeRegistry::snapshot();
}

std::string PosixRegistry::loadError() {
    refresh();
    std::lock_guard<std::mutex> hold(refreshMutex_);
    return loadError_;
}

ChangeWait PosixRegistry::waitForChange(uint32_t timeoutMs) {
    std::lock_guard<std::mutex> hold(watchMutex_);
    return watch_->wait(timeoutMs);
}

bool PosixRegistry::resolveComName(std::string_view comName, std::string* nodePath) {
    return platform::resolveComName(*snapshot(), comName, nodePath);
}

bool resolveComName(const RegTree& tree, std::string_view comName, std::string* nodePath) {
    const RegKey* key = tree.findKey(ftdi::kSerialCommKey);
    if (key == nullptr) return false;
    for (const auto& [name, value] : key->values()) {
        if (asciiIEquals(registryText(value.data.data(), value.data.size()), comName)) {
            if (nodePath != nullptr) *nodePath = name;
            return true;
        }
    }
    return false;
}

}  // namespace platform
