// Serial ports served in-process by simulated Тувак devices, with injectable
// failures and a record of every call. Reads never wait: what the device has
// not answered by the time of the read is the time-out case.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/model/tuvak_device.h"

namespace sim {

class InProcessPorts : public platform::SerialPorts {
public:
    // Injected failures of the matching calls (on a valid handle).
    std::atomic<bool> failGetSettings{false};
    std::atomic<bool> failSetSettings{false};
    std::atomic<bool> failPurge{false};
    // The close reports failure, but the handle is released all the same.
    std::atomic<bool> failClose{false};

    // Paths are matched exactly as the connection opens them ("\\.\COM3").
    // The device is borrowed and must outlive its attachment; the fake calls
    // it only under its own lock.
    void attach(const std::string& path, sim::TuvakDevice* device);
    // Handles already open on the path fail from then on.
    void detach(const std::string& path);
    // Opens of the path fail with this Win32 error, attached or not; 0 clears.
    void failOpen(const std::string& path, uint32_t win32Error);
    // Bytes that arrive on the line right after the next purge of the path,
    // as a stray reply would; they stay queued for later purges.
    void strayAfterPurge(const std::string& path, std::vector<uint8_t> bytes);
    // Bytes that arrive on the path now, ahead of the device's next reply.
    void stray(const std::string& path, const std::vector<uint8_t>& bytes);

    uint32_t open(const char* path, platform::PortHandle* port) override;
    bool getSettings(platform::PortHandle port, platform::LineSettings* settings) override;
    bool setSettings(platform::PortHandle port, const platform::LineSettings& settings) override;
    bool purge(platform::PortHandle port, uint32_t flags) override;
    bool write(platform::PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) override;
    bool read(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) override;
    // Never waits, like read; counted apart from it.
    bool readFor(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) override;
    bool close(platform::PortHandle port) override;

    int openCount() const;                         // open calls, failed ones included
    int closeCount() const;                        // close calls, failed ones included
    int openPorts() const;                         // handles open now
    std::vector<std::string> openedPaths() const;  // path of every open call, in order
    platform::LineSettings lastSettings() const;   // of the last setSettings call
    uint32_t lastPurgeFlags() const;
    std::vector<std::vector<uint8_t>> writes() const;  // each write call's bytes
    std::vector<uint32_t> readSizes() const;           // the length asked of each read call
    std::vector<uint32_t> readForSizes() const;        // the same of each readFor call
    // Reply bytes the device has sent on the path that no read has taken yet.
    std::size_t undelivered(const std::string& path) const;

private:
    struct Port {
        sim::TuvakDevice* device = nullptr;
        std::vector<uint8_t> pending;              // answered, not yet read
        std::vector<std::vector<uint8_t>> strays;  // for the purges to come
        platform::LineSettings settings{9600, 8, 0, 0};
    };

    // The port behind a handle, or null when the handle is unknown or its
    // device has been detached.
    Port* portOf(platform::PortHandle handle);
    // What read and readFor share; the caller holds the lock.
    bool take(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t* got);

    mutable std::mutex mutex_;
    std::map<std::string, Port> ports_;
    std::map<std::string, uint32_t> openFailures_;
    std::map<platform::PortHandle, std::string> handles_;
    std::intptr_t nextHandle_ = 0x100;
    int openCount_ = 0;
    int closeCount_ = 0;
    std::vector<std::string> openedPaths_;
    platform::LineSettings lastSettings_{};
    uint32_t lastPurgeFlags_ = 0;
    std::vector<std::vector<uint8_t>> writes_;
    std::vector<uint32_t> readSizes_;
    std::vector<uint32_t> readForSizes_;
};

}  // namespace sim
