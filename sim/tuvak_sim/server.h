// The server loop: serves the devices on their ptys, paces and schedules
// replies, unplugs, and saves dumps on signals.
#pragma once

#include <string>

#include "sim/tuvak_sim/common.h"
#include "sim/tuvak_sim/options.h"
#include "sim/tuvak_sim/pty.h"

#include <memory>
#include <vector>

namespace tuvaksim {

// SIGINT, SIGTERM and SIGUSR1 become bytes on `pipeFd`, which the loop reads.
bool installSignals(int pipeFd, std::string* error);

class Server {
public:
    Server(const Config& config, File log) : config_(config), log_(std::move(log)) {}

    bool setUp(std::string* error);
    // Runs until SIGINT or SIGTERM; false when the final dump fails.
    bool run(int signalFd, std::string* error);

private:
    void feed(Device* device, const uint8_t* data, std::size_t n, int64_t now);
    void schedule(Device* device, std::size_t frameBytes, std::vector<uint8_t> reply, int64_t now);
    void deliver(Device* device, int64_t now);
    void settleUnplug(Device* device, int64_t now);
    void logFrame(const Device& device, const std::vector<uint8_t>& frame);
    bool saveDump(std::string* error);
    bool finish(std::string* error);

    const Config& config_;
    File log_;
    std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace tuvaksim
