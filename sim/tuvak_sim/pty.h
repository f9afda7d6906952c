// Simulated devices on pseudo-terminals: each device's pty pair and what
// it has yet to send.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/posix/fd_guard.h"
#include "sim/model/tuvak_device.h"
#include "sim/tuvak_sim/options.h"

namespace tuvaksim {

using Fd = platform::FdGuard;

struct Reply {
    int64_t due;
    std::vector<uint8_t> bytes;
};

struct Device {
    explicit Device(const DeviceSetup& setup) : id(setup.id), model(setup.options.seed) {
        auto& memory = model.memory();
        for (std::size_t i = 0; i < memory.size(); ++i) {
            memory[i] = setup.options.ascending ? static_cast<uint8_t>(i) : setup.options.fill;
        }
        model.faults() = setup.options.faults;
        if (!setup.options.randomState.empty()) model.keepRandomIn(setup.options.randomState);
    }

    std::string id;
    std::string com;
    std::string pty;
    sim::TuvakDevice model;
    Fd master;
    Fd slave;                   // ours: keeps the master from seeing a hang-up between clients
    std::deque<Reply> replies;  // scheduled, not yet due
    std::vector<uint8_t> out;   // due, not yet taken by the master
    int64_t frameStart = 0;
    int64_t lastDue = 0;
    int64_t lastWrite = 0;
    int64_t unplugSince = 0;
    bool unplugging = false;
};

// Clears a tty's exclusive flag that no live host stands behind.
void releaseStaleExclusivity(Device* device);
// Gives the device a raw pty pair; false with *error set.
bool openPty(Device* device, std::string* error);
// The line hangs up and the node can no longer be opened.
void unplug(Device* device);

}  // namespace tuvaksim
