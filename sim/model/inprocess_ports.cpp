#include "sim/model/inprocess_ports.h"

#include <algorithm>

namespace sim {

using platform::PortHandle;

void InProcessPorts::attach(const std::string& path, sim::TuvakDevice* device) {
    std::lock_guard<std::mutex> hold(mutex_);
    ports_[path].device = device;
}

void InProcessPorts::detach(const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    ports_.erase(path);
    // Handles open on it lead nowhere, even if the path is attached again.
    for (auto& [handle, name] : handles_)
        if (name == path) name.clear();
}

void InProcessPorts::failOpen(const std::string& path, uint32_t win32Error) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (win32Error == platform::kErrSuccess) {
        openFailures_.erase(path);
    } else {
        openFailures_[path] = win32Error;
    }
}

void InProcessPorts::strayAfterPurge(const std::string& path, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    ports_[path].strays.push_back(std::move(bytes));
}

void InProcessPorts::stray(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(mutex_);
    auto& pending = ports_[path].pending;
    pending.insert(pending.end(), bytes.begin(), bytes.end());
}

InProcessPorts::Port* InProcessPorts::portOf(PortHandle handle) {
    auto open = handles_.find(handle);
    if (open == handles_.end()) return nullptr;
    auto port = ports_.find(open->second);
    return port == ports_.end() ? nullptr : &port->second;
}

uint32_t InProcessPorts::open(const char* path, PortHandle* port) {
    std::lock_guard<std::mutex> hold(mutex_);
    *port = platform::kInvalidPort;
    const std::string name = path ? path : "";
    ++openCount_;
    openedPaths_.push_back(name);

    if (auto failure = openFailures_.find(name); failure != openFailures_.end()) {
        return failure->second;
    }
    auto found = ports_.find(name);
    if (found == ports_.end() || found->second.device == nullptr || found->second.device->unplugged()) {
        return platform::kErrFileNotFound;
    }
    const bool inUse =
        std::any_of(handles_.begin(), handles_.end(), [&](const auto& entry) { return entry.second == name; });
    if (inUse) return platform::kErrSharingViolation;

    const PortHandle handle = platform::makeHandle<PortHandle>(nextHandle_++);
    handles_[handle] = name;
    *port = handle;
    return platform::kErrSuccess;
}

bool InProcessPorts::getSettings(PortHandle port, platform::LineSettings* settings) {
    std::lock_guard<std::mutex> hold(mutex_);
    Port* p = portOf(port);
    if (p == nullptr || failGetSettings) return false;
    *settings = p->settings;
    return true;
}

bool InProcessPorts::setSettings(PortHandle port, const platform::LineSettings& settings) {
    std::lock_guard<std::mutex> hold(mutex_);
    Port* p = portOf(port);
    if (p == nullptr) return false;
    lastSettings_ = settings;
    if (failSetSettings) return false;
    p->settings = settings;
    return true;
}

bool InProcessPorts::purge(PortHandle port, uint32_t flags) {
    std::lock_guard<std::mutex> hold(mutex_);
    Port* p = portOf(port);
    if (p == nullptr) return false;
    lastPurgeFlags_ = flags;
    if (failPurge) return false;
    p->pending.clear();
    if (!p->strays.empty()) {
        p->pending = std::move(p->strays.front());
        p->strays.erase(p->strays.begin());
    }
    return true;
}

bool InProcessPorts::write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) {
    std::lock_guard<std::mutex> hold(mutex_);
    *written = 0;
    if (handles_.count(port) != 0) writes_.emplace_back(data, data + length);
    Port* p = portOf(port);
    if (p == nullptr || p->device == nullptr || p->device->unplugged()) return false;
    p->device->receive(data, length, &p->pending);
    *written = length;
    return true;
}

bool InProcessPorts::read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (handles_.count(port) != 0) readSizes_.push_back(length);
    return take(port, data, length, got);
}

bool InProcessPorts::readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t, uint32_t* got) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (handles_.count(port) != 0) readForSizes_.push_back(length);
    return take(port, data, length, got);
}

bool InProcessPorts::take(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) {
    *got = 0;
    Port* p = portOf(port);
    if (p == nullptr) return false;
    const std::size_t n = std::min<std::size_t>(length, p->pending.size());
    std::copy_n(p->pending.begin(), n, data);
    p->pending.erase(p->pending.begin(), p->pending.begin() + static_cast<std::ptrdiff_t>(n));
    *got = static_cast<uint32_t>(n);
    if (n == length) return true;
    return p->device != nullptr && !p->device->unplugged();
}

bool InProcessPorts::close(PortHandle port) {
    std::lock_guard<std::mutex> hold(mutex_);
    ++closeCount_;
    if (handles_.erase(port) == 0) return false;
    return !failClose;
}

int InProcessPorts::openCount() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return openCount_;
}

int InProcessPorts::closeCount() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return closeCount_;
}

int InProcessPorts::openPorts() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<int>(handles_.size());
}

std::vector<std::string> InProcessPorts::openedPaths() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return openedPaths_;
}

platform::LineSettings InProcessPorts::lastSettings() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lastSettings_;
}

uint32_t InProcessPorts::lastPurgeFlags() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lastPurgeFlags_;
}

std::vector<std::vector<uint8_t>> InProcessPorts::writes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return writes_;
}

std::vector<uint32_t> InProcessPorts::readSizes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return readSizes_;
}

std::vector<uint32_t> InProcessPorts::readForSizes() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return readForSizes_;
}

std::size_t InProcessPorts::undelivered(const std::string& path) const {
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = ports_.find(path);
    return found == ports_.end() ? 0 : found->second.pending.size();
}

}  // namespace sim
