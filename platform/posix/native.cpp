// The POSIX services. They are never destroyed: static destructors (the
// framework's teardown) still use them.
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
#include "platform/posix/posix_system.h"
#include "platform/posix/posix_terminal.h"

namespace platform {

Services native() {
    static const Services services = [] {
        PosixRegistry* view = PosixRegistry::fromEnvironment().release();
        Services s;
        s.registry = view;
        s.serial = new PosixSerialPorts(
            [view](std::string_view com, std::string* node) { return view->resolveComName(com, node); });
        s.mutexes = new PosixMutexes;
        s.clock = new PosixClock;
        s.libraries = new PosixLibraries;
        s.console = new PosixConsole;
        s.heap = new PosixHeap;
        s.terminal = new PosixTerminal;
        s.system = new PosixSystem;
        return s;
    }();
    return services;
}

}  // namespace platform
