// The Windows services. They are never destroyed: static destructors (the
// framework's teardown) still use them.
#include "platform/hints.h"
#include "platform/platform.h"
#include "platform/win32/win32.h"

namespace platform {

Services native() {
    static const Services services = [] {
        Services s;
        s.registry = new Win32Registry;
        s.serial = new Win32SerialPorts;
        s.mutexes = new Win32Mutexes;
        s.clock = new Win32Clock;
        s.libraries = new Win32Libraries;
        s.console = new Win32Console;
        s.heap = new Win32Heap;
        s.terminal = new Win32Terminal;
        s.system = new Win32System;
        s.interrupts = new Win32Interrupts;
        return s;
    }();
    return services;
}

const char* accessDeniedHint() { return "is the port in use by another program, or is the user denied access to it?"; }

}  // namespace platform
