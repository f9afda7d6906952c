#include "sim/tuvak_sim/options.h"

#include "platform/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace tuvaksim {

const char* const kUsage =
    "usage: tuvak-sim --registry FILE [--dump FILE] [--log FILE] [--show-at-exit]\n"
    "                 [--first-com N] [device options] ID [[device options] ID]...\n"
    "device options apply to every ID listed after them (until changed or --reset):\n"
    "  --fill BYTE            initial memory byte (0x.. hex or decimal; default 0x00)\n"
    "  --pattern ascending    memory[i] = i (overrides --fill)\n"
    "  --seed N               random-block seed\n"
    "  --random-ones PERCENT  biased random blocks: this share of one-bits\n"
    "  --random-stuck N       random blocks repeat the generator's first N bytes\n"
    "  --random-restart-every N  the generator goes back to its seed every N blocks\n"
    "  --random-state FILE    the generator goes on from FILE and keeps its place there\n"
    "  --pace                 answer at the line rate of 115200 8N1\n"
    "  --delay MS             wait MS before each reply\n"
    "  --unplug-after N | --silent-after N | --bad-echo-after N\n"
    "  --bad-ack-after N | --bad-check-after N\n"
    "  --forget ADDR[,ADDR...]  acknowledge writes to these addresses without keeping them\n"
    "  --reset                back to defaults\n";

namespace {

using platform::parseNumber;

// Comma-separated memory addresses, each below 128.
bool parseAddresses(const std::string& text, std::bitset<sim::kMemorySize>* addresses) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        uint64_t address = 0;
        if (!parseNumber(text.substr(start, comma - start), sim::kMemorySize - 1, &address)) return false;
        addresses->set(address);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// The identifier goes into registry key names, quoted values and
// space-separated lines, so nothing that would break those.
bool validId(const std::string& id) {
    return std::none_of(id.begin(), id.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F || c == '\\' || c == '"' || c == '[' || c == ']';
    });
}

}  // namespace

bool parseArgs(int argc, char** argv, Config* config, std::string* error, bool* help) {
    DeviceOptions current;
    bool optionsPending = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            *out = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max, uint64_t* out) {
            std::string text;
            if (!value(&text)) return false;
            if (!parseNumber(text, max, out)) {
                *error = "bad value for " + arg + ": " + text;
                return false;
            }
            return true;
        };
        auto frameCount = [&](int64_t* out) {
            uint64_t n = 0;
            if (!number(static_cast<uint64_t>(INT64_MAX), &n)) return false;
            *out = static_cast<int64_t>(n);
            optionsPending = true;
            return true;
        };
        uint64_t n = 0;

        if (arg == "--help" || arg == "-h") {
            *help = true;
            return true;
        } else if (arg == "--registry") {
            if (!value(&config->registry)) return false;
        } else if (arg == "--dump") {
            if (!value(&config->dump)) return false;
        } else if (arg == "--log") {
            if (!value(&config->log)) return false;
        } else if (arg == "--show-at-exit") {
            config->showAtExit = true;
        } else if (arg == "--first-com") {
            if (!number(99999999, &config->firstCom)) return false;
        } else if (arg == "--fill") {
            if (!number(0xFF, &n)) return false;
            current.fill = static_cast<uint8_t>(n);
            optionsPending = true;
        } else if (arg == "--pattern") {
            std::string name;
            if (!value(&name)) return false;
            if (name != "ascending") {
                *error = "unknown pattern: " + name;
                return false;
            }
            current.ascending = true;
            optionsPending = true;
        } else if (arg == "--seed") {
            if (!number(UINT64_MAX, &current.seed)) return false;
            optionsPending = true;
        } else if (arg == "--random-ones") {
            if (!number(100, &n)) return false;
            current.faults.random.onesPercent = static_cast<int>(n);
            optionsPending = true;
        } else if (arg == "--random-stuck") {
            if (!number(1 << 24, &current.faults.random.stuckBytes)) return false;
            optionsPending = true;
        } else if (arg == "--random-restart-every") {
            if (!number(UINT64_MAX, &current.faults.random.restartEvery)) return false;
            optionsPending = true;
        } else if (arg == "--random-state") {
            if (!value(&current.randomState)) return false;
            optionsPending = true;
        } else if (arg == "--pace") {
            current.faults.pace = true;
            optionsPending = true;
        } else if (arg == "--delay") {
            if (!number(3600000, &n)) return false;
            current.faults.replyDelayMs = static_cast<uint32_t>(n);
            optionsPending = true;
        } else if (arg == "--unplug-after") {
            if (!frameCount(&current.faults.unplugAfter)) return false;
        } else if (arg == "--silent-after") {
            if (!frameCount(&current.faults.silentAfter)) return false;
        } else if (arg == "--bad-echo-after") {
            if (!frameCount(&current.faults.badEchoAfter)) return false;
        } else if (arg == "--bad-ack-after") {
            if (!frameCount(&current.faults.badAckAfter)) return false;
        } else if (arg == "--bad-check-after") {
            if (!frameCount(&current.faults.badCheckAfter)) return false;
        } else if (arg == "--forget") {
            std::string list;
            if (!value(&list)) return false;
            if (!parseAddresses(list, &current.faults.forget)) {
                *error = "bad value for --forget: " + list;
                return false;
            }
            optionsPending = true;
        } else if (arg == "--reset") {
            current = DeviceOptions{};
            optionsPending = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            *error = "unknown option: " + arg;
            return false;
        } else {
            if (!validId(arg)) {
                *error = "device ID may not contain blanks, control characters, \\, \", [ or ]: " + arg;
                return false;
            }
            config->devices.push_back({arg, current});
            optionsPending = false;
        }
    }
    if (config->registry.empty()) {
        *error = "--registry FILE is required";
        return false;
    }
    if (config->devices.empty()) {
        *error = "no device ID given";
        return false;
    }
    if (optionsPending) {
        *error = "device options after the last ID apply to no device";
        return false;
    }
    if (config->firstCom + config->devices.size() - 1 > 99999999) {
        *error = "COM numbers run out";
        return false;
    }
    return true;
}

}  // namespace tuvaksim
