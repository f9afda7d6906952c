#include "platform/platform.h"

namespace platform {

namespace {
Services& slot() {
    // Never destroyed: static destructors (the framework's teardown) still use it.
    static Services* services = new Services(native());
    return *services;
}
}  // namespace

const Services& current() { return slot(); }

ScopedServices::ScopedServices(const Services& r) : saved_(slot()) {
    Services& s = slot();
    if (r.registry) s.registry = r.registry;
    if (r.serial) s.serial = r.serial;
    if (r.mutexes) s.mutexes = r.mutexes;
    if (r.clock) s.clock = r.clock;
    if (r.libraries) s.libraries = r.libraries;
    if (r.console) s.console = r.console;
    if (r.heap) s.heap = r.heap;
    if (r.terminal) s.terminal = r.terminal;
    if (r.system) s.system = r.system;
    if (r.interrupts) s.interrupts = r.interrupts;
}

ScopedServices::~ScopedServices() { slot() = saved_; }

}  // namespace platform
