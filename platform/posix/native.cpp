// The POSIX services. They are never destroyed: static destructors (the
// framework's teardown) still use them.
#include "platform/hints.h"
#include "platform/platform.h"
#include "platform/posix/port_services.h"
#include "platform/posix/posix_clock.h"
#include "platform/posix/posix_console.h"
#include "platform/posix/posix_heap.h"
#include "platform/posix/posix_interrupts.h"
#include "platform/posix/posix_libraries.h"
#include "platform/posix/posix_mutex.h"
#include "platform/posix/posix_system.h"
#include "platform/posix/posix_terminal.h"

namespace platform {

Services native() {
    static const Services services = [] {
        Services s = (new PortServices(PosixRegistry::fromEnvironment()))->services();
        s.mutexes = new PosixMutexes;
        s.clock = new PosixClock;
        s.libraries = new PosixLibraries;
        s.console = new PosixConsole;
        s.heap = new PosixHeap;
        s.terminal = new PosixTerminal;
        s.system = new PosixSystem;
        s.interrupts = new PosixInterrupts;
        return s;
    }();
    return services;
}

const char* accessDeniedHint() { return "is the user in group dialout?"; }

}  // namespace platform
