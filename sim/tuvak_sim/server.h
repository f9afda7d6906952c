// The server loop: serves the devices on their ptys, paces and schedules
// replies, unplugs, plugs and unplugs on command, and saves dumps on signals.
#pragma once

#include <poll.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/tuvak_sim/common.h"
#include "sim/tuvak_sim/options.h"
#include "sim/tuvak_sim/pty.h"

namespace tuvaksim {

// SIGINT, SIGTERM and SIGUSR1 become bytes on `pipeFd`, which the loop reads.
bool installSignals(int pipeFd, std::string* error);

class Server {
public:
    Server(const Config& config, File log) : config_(config), log_(std::move(log)) {}
    ~Server();

    bool setUp(std::string* error);
    // Runs until SIGINT or SIGTERM; false when the final dump fails.
    bool run(int signalFd, std::string* error);

private:
    // Sends what is due and settles unplugs; the time of the next reply due,
    // or INT64_MAX when none is.
    int64_t serveDue(int64_t now);
    // What the next wait watches: the signals, the control FIFO, every device.
    void pollSet(int signalFd);
    // Whether the run goes on; when a signal ends it, *saved tells whether
    // the final dump was written.
    bool takeSignals(int signalFd, bool* saved, std::string* error);
    void takeInput(Device* device, short revents, int64_t now);
    void feed(Device* device, const uint8_t* data, std::size_t n, int64_t now);
    void schedule(Device* device, std::size_t frameBytes, std::vector<uint8_t> reply, int64_t now);
    void deliver(Device* device, int64_t now);
    void settleUnplug(Device* device, int64_t now);
    void logFrame(const Device& device, const std::vector<uint8_t>& frame);
    bool saveDump(std::string* error);
    bool finish(std::string* error);

    // The control FIFO and its commands.
    bool openControl(std::string* error);
    void takeCommands();
    void command(const std::string& line);
    void plug(const std::string& arguments);
    void unplugCommand(const std::string& arguments);
    std::string comFor(const std::string& id);
    bool writeRegistry(std::string* error);

    const Config& config_;
    File log_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<pollfd> fds_;
    std::vector<Device*> polled_;  // beside fds_; null for the signals and the FIFO
    Fd control_;
    Fd controlWriter_;  // ours: a writer that closes never ends the FIFO for us
    bool controlMade_ = false;
    std::string commandBuffer_;
    // Unplugged devices' slave ends: their pty numbers stay taken, so a host
    // never reaches a device plugged later through an old name.
    std::vector<Fd> retired_;
    // The adapter driver gives an identifier its COM number again.
    std::map<std::string, uint64_t> comOfId_;
    uint64_t comsGiven_ = 0;
};

}  // namespace tuvaksim
