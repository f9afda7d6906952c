// How soon the wiping station takes up a device plugged in: `hwds wipe
// --watch --json` against tuvak-sim's control FIFO, devices plugged one at a
// time, each once the previous one's record came. From the moment the plug
// command goes to the simulator to the record's "started", both on the
// system clock, at the record's millisecond resolution.
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/pairs.h"
#include "sim/control/sim_process.h"
#include "sim/control/spawn.h"

namespace {

using Json = nlohmann::json;

constexpr int kDevices = 10;
constexpr double kGoalMs = 500;
constexpr auto kBound = std::chrono::seconds(20);

// "2026-01-31T23:59:59.123Z" as milliseconds since the epoch, or nothing.
std::optional<int64_t> utcMilliseconds(const std::string& text) {
    std::tm fields{};
    std::istringstream in(text);
    in >> std::get_time(&fields, "%Y-%m-%dT%H:%M:%S");
    std::string rest;
    in >> rest;
    if (in.fail() || rest.size() != 5 || rest[0] != '.' || rest[4] != 'Z') return std::nullopt;
    int ms = 0;
    const char* digits = rest.data() + 1;
    const auto [end, error] = std::from_chars(digits, digits + 3, ms);
    if (error != std::errc() || end != digits + 3 || ms < 0) return std::nullopt;
    const time_t seconds = timegm(&fields);
    if (seconds == static_cast<time_t>(-1)) return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000 + ms;
}

int64_t systemMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The station, its standard output and error read as they come so that
// neither pipe fills while it works.
class Station {
public:
    bool start(const std::string& registryFile, std::string* error) {
        const std::vector<std::string> argv{HWDS_CLI_PATH, "wipe",  "--watch",
                                            "--json",      "--max", std::to_string(kDevices)};
        return sim::spawn(argv, {"HWDS_REGISTRY=" + registryFile}, sim::kPipe, sim::kPipe, &child_, error);
    }

    // Until standard error holds `text`.
    bool awaitError(const std::string& text) {
        const platform::Deadline deadline = platform::deadlineIn(kBound);
        while (err_.find(text) == std::string::npos)
            if (!pump(deadline)) return false;
        return true;
    }

    // The next line of standard output.
    bool nextLine(std::string* line) {
        const platform::Deadline deadline = platform::deadlineIn(kBound);
        std::size_t newline = 0;
        while ((newline = out_.find('\n')) == std::string::npos)
            if (!pump(deadline)) return false;
        *line = out_.substr(0, newline);
        out_.erase(0, newline + 1);
        return true;
    }

    // Its exit status once it ends by itself, or -1.
    int finish() {
        const platform::Deadline deadline = platform::deadlineIn(kBound);
        while (pump(deadline)) {
        }
        const int status = child_.wait(deadline);
        return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    const std::string& errors() const { return err_; }

private:
    // Reads what either pipe holds; false at the deadline or once both ended.
    bool pump(platform::Deadline deadline) {
        pollfd pipes[] = {{outOpen_ ? child_.out.get() : -1, POLLIN, 0}, {errOpen_ ? child_.err.get() : -1, POLLIN, 0}};
        if (!outOpen_ && !errOpen_) return false;
        const int ready = ::poll(pipes, 2, platform::msLeft(deadline));
        if (ready < 0) return errno == EINTR;
        if (ready == 0) return false;
        readReady(pipes[0], &out_, &outOpen_);
        readReady(pipes[1], &err_, &errOpen_);
        return true;
    }

    static void readReady(const pollfd& pipe, std::string* into, bool* open) {
        if (pipe.fd < 0 || pipe.revents == 0) return;
        char buffer[4096];
        const ssize_t n = ::read(pipe.fd, buffer, sizeof buffer);
        if (n > 0) {
            into->append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            *open = false;
        }
    }

    sim::Child child_;
    std::string out_, err_;
    bool outOpen_ = true, errOpen_ = true;
};

// A string member of the record, or "" (also for a line that is no JSON object).
std::string member(const Json& record, const char* name) {
    const auto found = record.find(name);
    return found != record.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool fail(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    return false;
}

// Plugs each device in turn and notes how long after its plug its wipe began.
bool measure(sim::SimProcess& simulator, Station& station, std::vector<double>* latencies) {
    for (int i = 0; i < kDevices; ++i) {
        char id[16];
        std::snprintf(id, sizeof id, "CAFE%04X", i + 1);
        std::string error, answer, line;
        const int64_t plugged = systemMilliseconds();
        if (!simulator.command(std::string("plug ") + id, &error)) return fail(error);
        if (!simulator.nextLine(&answer, &error)) return fail(error);
        if (answer.rfind(std::string("plugged ") + id + " ", 0) != 0) return fail("tuvak-sim: " + answer);
        if (!station.nextLine(&line)) return fail("no record for " + std::string(id) + ": " + station.errors());
        const Json record = Json::parse(line, nullptr, false);
        const std::string status = member(record, "status");
        if (member(record, "identifier") != id || status.empty() || status == "failed")
            return fail("unexpected record: " + line);
        const std::optional<int64_t> started = utcMilliseconds(member(record, "started"));
        if (!started) return fail("unreadable \"started\": " + line);
        latencies->push_back(static_cast<double>(*started - plugged));
    }
    return true;
}

}  // namespace

int main() {
    sim::SimProcess simulator(TUVAK_SIM_PATH);
    simulator.withControl = true;
    std::string error;
    if (!simulator.start({"AB12CD34E"}, &error)) {
        std::fprintf(stderr, "tuvak-sim: %s\n", error.c_str());
        return 1;
    }
    Station station;
    if (!station.start(simulator.registryFile, &error)) {
        std::fprintf(stderr, "hwds: %s\n", error.c_str());
        return 1;
    }
    // Plugged before the station's first look, a device would count as present and be left alone.
    if (!station.awaitError("present, not wiped")) {
        std::fprintf(stderr, "the station did not start: %s\n", station.errors().c_str());
        return 1;
    }
    std::vector<double> latencies;
    if (!measure(simulator, station, &latencies)) return 1;
    const int status = station.finish();
    if (status != 0) {
        std::fprintf(stderr, "the station ended with status %d: %s\n", status, station.errors().c_str());
        return 1;
    }
    simulator.stop();

    const auto [least, most] = std::minmax_element(latencies.begin(), latencies.end());
    std::printf("plug to wipe: hwds wipe --watch, %d devices plugged one at a time into tuvak-sim\n", kDevices);
    std::printf("  from the plug command to the record's \"started\" (system clock, 1 ms resolution)\n");
    std::printf("  median %.0f ms   min %.0f ms   max %.0f ms\n", bench::median(latencies), *least, *most);
    std::printf("  goal, a device is seen within %.1f s of appearing: %s\n", kGoalMs / 1000,
                *most <= kGoalMs ? "met" : "not met");
    return 0;
}
