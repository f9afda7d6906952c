// The POSIX services. They are never destroyed: static destructors (the
// framework's teardown) still use them.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_heap.h"
#include "platform/posix/posix_libraries.h"
#include "platform/posix/posix_mutex.h"
#include "platform/posix/posix_registry.h"
#include "platform/posix/posix_serial.h"

namespace platform {

namespace {

// A registry file that cannot be read must not pass for a machine without the
// driver, and nothing above this layer knows of files: a look into the
// registry while the file is unreadable says why and ends the process.
class HostRegistry : public Registry {
public:
    explicit HostRegistry(PosixRegistry& view) : view_(view) {}

    uint32_t openKey(const char* path, Handle* key) override {
        const std::string error = view_.loadError();
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        return view_.openKey(path, key);
    }
    uint32_t queryValue(Handle key, const char* name, uint8_t* data, uint32_t* size) override {
        return view_.queryValue(key, name, data, size);
    }
    uint32_t enumValue(Handle key, uint32_t index, char* name, uint32_t* nameSize) override {
        return view_.enumValue(key, index, name, nameSize);
    }
    uint32_t closeKey(Handle key) override { return view_.closeKey(key); }

private:
    PosixRegistry& view_;
};

}  // namespace

Services native() {
    static const Services services = [] {
        PosixRegistry* view = PosixRegistry::fromEnvironment().release();
        Services s;
        s.registry = new HostRegistry(*view);
        s.serial = new PosixSerialPorts([view](std::string_view com, std::string* node) {
            return view->resolveComName(com, node);
        });
        s.mutexes = new PosixMutexes;
        s.clock = new PosixClock;
        s.libraries = new PosixLibraries;
        s.console = new PosixConsole;
        s.heap = new PosixHeap;
        return s;
    }();
    return services;
}

}  // namespace platform
