#include "sim/tuvak_sim/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "platform/text.h"

namespace tuvaksim {

const char* const kUsage =
    "usage: tuvak-sim --registry FILE [--dump FILE] [--log FILE] [--show-at-exit]\n"
    "                 [--first-com N] [--control FIFO] [device options] ID [[device options] ID]...\n"
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
    "  --reset                back to defaults\n"
    "--control FIFO reads \"plug [device options] ID\" and \"unplug ID\", one a line\n";

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

template <class T>
bool setNumber(const std::string& text, uint64_t max, T* out) {
    uint64_t n = 0;
    if (!parseNumber(text, max, &n)) return false;
    *out = static_cast<T>(n);
    return true;
}

bool setFrameCount(const std::string& text, int64_t* out) {
    return setNumber(text, static_cast<uint64_t>(INT64_MAX), out);
}

// One device option: how it changes the options in force. A flag has no value.
struct DeviceOption {
    const char* name;
    const char* value;
    bool (*apply)(const std::string& text, DeviceOptions* options);
};

const DeviceOption kDeviceOptions[] = {
    {"--fill", "BYTE", [](const std::string& t, DeviceOptions* o) { return setNumber(t, 0xFF, &o->fill); }},
    {"--pattern", "ascending",
     [](const std::string& t, DeviceOptions* o) {
         o->ascending = t == "ascending";
         return o->ascending;
     }},
    {"--seed", "N", [](const std::string& t, DeviceOptions* o) { return setNumber(t, UINT64_MAX, &o->seed); }},
    {"--random-ones", "PERCENT",
     [](const std::string& t, DeviceOptions* o) { return setNumber(t, 100, &o->faults.random.onesPercent); }},
    {"--random-stuck", "N",
     [](const std::string& t, DeviceOptions* o) { return setNumber(t, 1 << 24, &o->faults.random.stuckBytes); }},
    {"--random-restart-every", "N",
     [](const std::string& t, DeviceOptions* o) { return setNumber(t, UINT64_MAX, &o->faults.random.restartEvery); }},
    {"--random-state", "FILE",
     [](const std::string& t, DeviceOptions* o) {
         o->randomState = t;
         return true;
     }},
    {"--pace", nullptr,
     [](const std::string&, DeviceOptions* o) {
         o->faults.pace = true;
         return true;
     }},
    {"--delay", "MS",
     [](const std::string& t, DeviceOptions* o) { return setNumber(t, 3600000, &o->faults.replyDelayMs); }},
    {"--unplug-after", "N",
     [](const std::string& t, DeviceOptions* o) { return setFrameCount(t, &o->faults.unplugAfter); }},
    {"--silent-after", "N",
     [](const std::string& t, DeviceOptions* o) { return setFrameCount(t, &o->faults.silentAfter); }},
    {"--bad-echo-after", "N",
     [](const std::string& t, DeviceOptions* o) { return setFrameCount(t, &o->faults.badEchoAfter); }},
    {"--bad-ack-after", "N",
     [](const std::string& t, DeviceOptions* o) { return setFrameCount(t, &o->faults.badAckAfter); }},
    {"--bad-check-after", "N",
     [](const std::string& t, DeviceOptions* o) { return setFrameCount(t, &o->faults.badCheckAfter); }},
    {"--forget", "ADDR[,ADDR...]",
     [](const std::string& t, DeviceOptions* o) { return parseAddresses(t, &o->faults.forget); }},
    {"--reset", nullptr,
     [](const std::string&, DeviceOptions* o) {
         *o = DeviceOptions{};
         return true;
     }},
};

// Device options and IDs on a CLI11 command line. CLI11 gathers each
// option's values apart; the order it parsed them in says which options
// were in force for which ID.
class DeviceLine {
public:
    explicit DeviceLine(CLI::App* app) : app_(app) {
        for (const DeviceOption& option : kDeviceOptions) {
            CLI::Option* added = option.value == nullptr ? app->add_flag(option.name) : app->add_option(option.name);
            if (option.value != nullptr) added->type_name(option.value);
            added->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            known_[added] = &option;
        }
        ids_ = app->add_option("ID")->expected(0, CLI::detail::expected_max_vector_size);
        ids_->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->allow_extra_args();
    }

    // Each ID with the options in force before it, after `devices`.
    bool collect(std::vector<DeviceSetup>* devices, std::string* error) const {
        DeviceOptions current;
        bool pending = false;
        std::map<const CLI::Option*, std::size_t> taken;
        for (const CLI::Option* option : app_->parse_order()) {
            const std::string& text = option->results()[taken[option]++];
            if (option == ids_) {
                if (!validId(text)) {
                    *error = "device ID may not contain blanks, control characters, \\, \", [ or ]: " + text;
                    return false;
                }
                devices->push_back({text, current});
                pending = false;
                continue;
            }
            const auto known = known_.find(option);
            if (known == known_.end()) continue;
            if (!known->second->apply(text, &current)) {
                *error = std::string("bad value for ") + known->second->name + ": " + text;
                return false;
            }
            pending = true;
        }
        if (pending) {
            *error = "device options after the last ID apply to no device";
            return false;
        }
        return true;
    }

private:
    CLI::App* app_;
    CLI::Option* ids_ = nullptr;
    std::map<const CLI::Option*, const DeviceOption*> known_;
};

// CLI11's message without the hint to --help that it adds for its own help.
std::string parseErrorText(const CLI::ParseError& e) { return e.what(); }

bool numberOption(const std::string& name, const std::string& text, uint64_t max, uint64_t* out, std::string* error) {
    if (parseNumber(text, max, out)) return true;
    *error = "bad value for " + name + ": " + text;
    return false;
}

}  // namespace

bool parseArgs(int argc, char** argv, Config* config, std::string* error, bool* help) {
    CLI::App app{"simulated Tuvak key devices on pseudo-terminals", "tuvak-sim"};
    app.set_help_flag();
    bool wantsHelp = false;
    std::string firstCom;
    app.add_flag("-h,--help", wantsHelp);
    // As before CLI11, an option given again overrides what it said.
    for (auto [name, value] : {std::pair{"--registry", &config->registry},
                               {"--dump", &config->dump},
                               {"--log", &config->log},
                               {"--control", &config->control},
                               {"--first-com", &firstCom}}) {
        app.add_option(name, *value)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    }
    app.add_flag("--show-at-exit", config->showAtExit);
    const DeviceLine devices(&app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        *error = parseErrorText(e);
        return false;
    }
    if (wantsHelp) {
        *help = true;
        return true;
    }
    if (!firstCom.empty() && !numberOption("--first-com", firstCom, kMaxCom, &config->firstCom, error)) return false;
    if (!devices.collect(&config->devices, error)) return false;
    if (config->registry.empty()) {
        *error = "--registry FILE is required";
        return false;
    }
    // With a control FIFO, devices may all come later.
    if (config->devices.empty() && config->control.empty()) {
        *error = "no device ID given";
        return false;
    }
    if (!config->devices.empty() && config->firstCom + config->devices.size() - 1 > kMaxCom) {
        *error = "COM numbers run out";
        return false;
    }
    return true;
}

bool parseDeviceLine(const std::string& line, DeviceSetup* setup, std::string* error) {
    CLI::App app{"", "plug"};
    app.set_help_flag();
    const DeviceLine devices(&app);
    try {
        app.parse(line, false);
    } catch (const CLI::ParseError& e) {
        *error = parseErrorText(e);
        return false;
    }
    std::vector<DeviceSetup> found;
    if (!devices.collect(&found, error)) return false;
    if (found.size() != 1) {
        *error = "plug takes one device ID";
        return false;
    }
    *setup = std::move(found.front());
    return true;
}

}  // namespace tuvaksim
