// A POSIX process's registry view and the serial service that resolves COM
// names through it, wired once for the native services, tests and benchmarks.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/posix/posix_registry.h"
#include "platform/posix/posix_serial.h"

namespace platform {

class PortServices {
public:
    explicit PortServices(std::unique_ptr<PosixRegistry> registry)
        : registry_(std::move(registry)), serial_([view = registry_.get()](std::string_view com, std::string* node) {
              return view->resolveComName(com, node);
          }) {}
    PortServices(const PortServices&) = delete;
    PortServices& operator=(const PortServices&) = delete;

    PosixRegistry& registry() { return *registry_; }
    PosixSerialPorts& serial() { return serial_; }
    // The two, every other service left unset.
    Services services() { return Services{.registry = registry_.get(), .serial = &serial_}; }

private:
    std::unique_ptr<PosixRegistry> registry_;
    PosixSerialPorts serial_;
};

}  // namespace platform
