#include "cli/station.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "cli/cli.h"

namespace cli {

namespace {

// How long one wait for the driver's data lasts: the longest an interrupt or
// a finished wipe goes unnoticed, since a change ends the wait at once.
constexpr uint32_t kWaitMs = 100;
// Between readings of a registry view that cannot tell of its changes.
constexpr uint32_t kPollMs = 250;

class Station {
public:
    Station(const StationRequest& request, Display& display, const StationFinished& finished)
        : request_(request), display_(display), finished_(finished) {
        request_.wipe.askOperator = false;
        request_.wipe.interrupt = &interrupt_;
    }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;
    // Whatever way the run ends, no wipe outlives it.
    ~Station() {
        interrupt_ = true;
        for (auto& [key, thread] : threads_) thread.join();
    }

    std::vector<WipeOutcome> run();

private:
    struct Device {
        std::size_t line = 0;
        std::string port;
        bool attached = false;
        bool leftAlone = false;  // attached before the station started
        bool busy = false;       // its wipe runs
        bool again = false;      // removed and attached again while its wipe ran
        std::string outcome;     // its line once its last wipe finished
    };

    bool done() const;  // with mutex_ held
    void notice(const std::map<std::string, std::string>& attached, bool atStart);
    void startWaiting();  // with mutex_ held
    void work(const std::string& id, uint64_t key);
    void reap();
    // Whether the driver's data may have changed since the last reading.
    bool wait(platform::Registry* registry, bool* watching);

    StationRequest request_;
    Display& display_;
    const StationFinished& finished_;
    std::atomic<bool> interrupt_{false};

    std::mutex mutex_;  // guards everything below
    std::map<std::string, Device> devices_;
    std::deque<std::string> waiting_;  // attached, for a free job
    std::size_t started_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<WipeOutcome> outcomes_;
    std::map<uint64_t, std::thread> threads_;
    std::vector<uint64_t> ended_;  // threads done with their work, to be joined
    uint64_t nextKey_ = 0;
};

bool Station::done() const {
    if (running_ > 0) return false;
    return stopping_ || (request_.max > 0 && outcomes_.size() >= request_.max);
}

void Station::notice(const std::map<std::string, std::string>& attached, bool atStart) {
    std::lock_guard lock(mutex_);
    for (auto& [id, device] : devices_) {
        if (!device.attached || attached.count(id) > 0) continue;
        device.attached = false;
        device.leftAlone = false;
        std::erase(waiting_, id);
        if (!device.busy)
            display_.update(device.line, device.outcome.empty() ? "removed" : device.outcome + "; removed");
    }
    for (const auto& [id, port] : attached) {
        const bool known = devices_.count(id) > 0;
        Device& device = devices_[id];
        if (device.attached) continue;
        if (!known) device.line = display_.add(id);
        device.attached = true;
        device.port = port;
        if (atStart && !request_.includePresent) {
            device.leftAlone = true;
            display_.update(device.line, "present, not wiped");
        } else if (device.busy) {
            device.again = true;
        } else {
            waiting_.push_back(id);
            display_.update(device.line, "waiting", true);
        }
    }
    startWaiting();
}

void Station::startWaiting() {
    const std::size_t jobs = request_.wipe.jobs;
    while (!waiting_.empty() && !stopping_ && (jobs == 0 || running_ < jobs) &&
           (request_.max == 0 || started_ < request_.max)) {
        const std::string id = waiting_.front();
        waiting_.pop_front();
        devices_[id].busy = true;
        ++started_;
        ++running_;
        const uint64_t key = nextKey_++;
        threads_.emplace(key, std::thread([this, id, key] { work(id, key); }));
    }
}

void Station::work(const std::string& id, uint64_t key) {
    std::size_t line = 0;
    std::string port;
    {
        std::lock_guard lock(mutex_);
        line = devices_[id].line;
        port = devices_[id].port;
    }
    const WipeOutcome outcome = wipeDevice(id, line, request_.wipe, port, display_);
    std::lock_guard lock(mutex_);
    Device& device = devices_[id];
    device.outcome = outcomeText(outcome);
    display_.update(line, device.outcome + (device.attached ? "; remove the device" : ""));
    outcomes_.push_back(outcome);
    if (finished_) finished_(outcome);
    device.busy = false;
    --running_;
    if (device.again && device.attached) waiting_.push_back(id);
    device.again = false;
    ended_.push_back(key);
    startWaiting();
}

void Station::reap() {
    std::vector<std::thread> ended;
    {
        std::lock_guard lock(mutex_);
        for (uint64_t key : ended_) {
            ended.push_back(std::move(threads_[key]));
            threads_.erase(key);
        }
        ended_.clear();
    }
    for (std::thread& thread : ended) thread.join();
}

bool Station::wait(platform::Registry* registry, bool* watching) {
    if (*watching) {
        switch (registry->waitForChange(kWaitMs)) {
            case platform::ChangeWait::Changed: return true;
            case platform::ChangeWait::TimedOut: return false;
            case platform::ChangeWait::Failed:
                complain("the watch on the adapter driver's data failed; reading them every " +
                         std::to_string(kPollMs) + " ms instead");
                break;
            case platform::ChangeWait::Unsupported: break;
        }
        *watching = false;
    }
    platform::current().clock->sleep(kPollMs);
    return true;
}

std::vector<WipeOutcome> Station::run() {
    const platform::Services& services = platform::current();
    uint32_t interruptsBefore = 0;
    if (services.interrupts != nullptr && services.interrupts->catchInterrupts())
        interruptsBefore = services.interrupts->count();
    platform::Registry* registry = services.registry;
    // The first wait starts the watch, so nothing attached after the first
    // reading goes unseen.
    bool watching = registry->waitForChange(0) == platform::ChangeWait::Changed;
    display_.begin({});
    writeErr("waiting for devices; Ctrl+C stops\n");
    notice(tuvakPorts(), true);
    for (;;) {
        const uint32_t interrupts =
            services.interrupts == nullptr ? 0 : services.interrupts->count() - interruptsBefore;
        {
            std::lock_guard lock(mutex_);
            if (interrupts >= 1 && !stopping_) {
                stopping_ = true;
                if (running_ > 0)
                    writeErr("stopping once the " + std::to_string(running_) +
                             " wipes in progress finish; Ctrl+C again interrupts them\n");
            }
            if (interrupts >= 2 && !interrupt_) {
                interrupt_ = true;
                writeErr("interrupting the wipes in progress\n");
            }
            if (done()) break;
        }
        const bool changed = wait(registry, &watching);
        reap();
        if (changed && !interrupt_) notice(tuvakPorts(), false);
    }
    reap();
    display_.end();
    std::lock_guard lock(mutex_);
    return outcomes_;
}

}  // namespace

std::vector<WipeOutcome> runStation(const StationRequest& request, Display& display, const StationFinished& finished) {
    Station station(request, display, finished);
    return station.run();
}

}  // namespace cli
