#include "cli/wipe.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "cli/cli.h"
#include "cli/json.h"
#include "cli/subcommand.h"

namespace cli {

namespace {

std::string byteText(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

// Joins its threads when it goes, whatever way the scope is left.
class Workers {
public:
    Workers() = default;
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;
    ~Workers() {
        for (std::thread& t : threads_) t.join();
    }
    template <class F>
    void start(F work) {
        threads_.emplace_back(std::move(work));
    }

private:
    std::vector<std::thread> threads_;
};

WipeOutcome wipeOne(const std::string& id, std::size_t line, const WipeRequest& request, Display& display) {
    WipeOutcome outcome;
    outcome.id = id;
    Attention attention;
    attention.display = &display;
    attention.label = id;
    const HWDSInteraction interaction = attention.record();

    // Each device has its own source, so its own lock and port: the threads
    // share nothing but the display.
    HwDataSource* source = nullptr;
    outcome.result = hwdsOpen(&source, "TUVAK", id.c_str());
    const std::size_t total = request.passes.size();
    auto which = [&](std::size_t pass) { return "pass " + std::to_string(pass + 1) + " of " + std::to_string(total); };
    if (outcome.result != CE_OK) {
        outcome.failure = "cannot open: " + describeResult(outcome.result);
    } else {
        TuvakWipeRequest wipe{request.passes, request.verify, [&](std::size_t step) {
                                  display.update(line, step < total
                                                           ? which(step) + " (" + byteText(request.passes[step]) + ")"
                                                           : "reading back");
                              }};
        static_cast<TuvakWipeOutcome&>(outcome) = hwdsWipeTuvak(source, &interaction, wipe);
        if (outcome.mismatch) {
            outcome.failure = "verification: address " + byteText(static_cast<uint8_t>(outcome.address)) + " holds " +
                              byteText(outcome.found) + ", not " + byteText(outcome.expected);
        } else if (outcome.result != CE_OK) {
            outcome.failure = (outcome.passesDone < total ? which(outcome.passesDone) : "reading back") + ": " +
                              attention.explain(outcome.result);
        }
    }
    display.update(line,
                   outcome.ok() ? (request.verify ? "wiped and verified" : "wiped") : "FAILED: " + outcome.failure);
    return outcome;
}

}  // namespace

int WipeOutcome::exitStatus() const {
    if (ok()) return kExitOk;
    if (mismatch) return kExitMismatch;
    const int status = exitStatusFor(result);
    return status == kExitOk ? kExitFailed : status;
}

std::vector<WipeOutcome> wipeDevices(const WipeRequest& request, Display& display) {
    const std::size_t count = request.ids.size();
    std::vector<WipeOutcome> outcomes(count);
    display.begin(request.ids);
    {
        std::atomic<std::size_t> next{0};
        const std::size_t jobs = request.jobs == 0 ? count : std::min(request.jobs, count);
        Workers workers;
        for (std::size_t w = 0; w < jobs; ++w) {
            workers.start([&] {
                for (std::size_t i = next++; i < count; i = next++)
                    outcomes[i] = wipeOne(request.ids[i], i, request, display);
            });
        }
    }
    display.end();
    return outcomes;
}

std::string wipeTable(const std::vector<WipeOutcome>& outcomes, bool verify) {
    std::size_t idWidth = 6;
    std::size_t resultWidth = 6;
    for (const auto& o : outcomes) {
        idWidth = std::max(idWidth, o.id.size());
        resultWidth = std::max(resultWidth, resultName(o.result).size());
    }
    auto row = [&](std::string id, std::string result, std::string passes, const std::string& detail) {
        id.resize(idWidth, ' ');
        result.resize(resultWidth, ' ');
        passes.resize(7, ' ');
        return id + "  " + result + "  " + passes + "  " + detail + "\n";
    };
    std::string table = row("DEVICE", "RESULT", "PASSES", "DETAIL");
    std::size_t failed = 0;
    for (const auto& o : outcomes) {
        failed += !o.ok();
        const std::string detail = o.ok() ? (verify ? "wiped and verified" : "wiped") : o.failure;
        table += row(o.id, resultName(o.result), std::to_string(o.passesDone), detail);
    }
    table += std::to_string(outcomes.size() - failed) + " of " + std::to_string(outcomes.size()) + " devices wiped" +
             (verify ? " and verified" : "") + "\n";
    return table;
}

std::string wipeJson(const std::vector<WipeOutcome>& outcomes, bool verify) {
    Json array = Json::array();
    for (const WipeOutcome& o : outcomes) {
        Json& j = array.emplace_back();
        j["id"] = o.id;
        j["ok"] = o.ok();
        j["result"] = resultName(o.result);
        j["passes"] = o.passesDone;
        if (verify) j["verified"] = o.verified;
        if (o.mismatch) j["mismatch"] = {{"address", o.address}, {"expected", o.expected}, {"found", o.found}};
        j["error"] = o.ok() ? Json() : Json(o.failure);
    }
    return jsonText(array);
}

namespace {

// "FF,00,55", as --passes takes it.
std::string passesText(const std::vector<uint8_t>& passes) {
    std::string text;
    for (uint8_t pass : passes) text += (text.empty() ? "" : ",") + byteText(pass).substr(2);
    return text;
}

class Wipe : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* wipe =
            program.add_subcommand("wipe",
                                   "overwrite the whole memory of TUVAK devices, several at once; exit status 0\n"
                                   "only when every device was wiped (and verified, with --verify)");
        wipe->add_option("ID", request_.ids, "identifiers of the devices, as hwds list shows them")->required();
        wipe->add_flag("--verify", request_.verify,
                       "read all " + std::to_string(TUVAK_MEMORY_SIZE) + " bytes back after the last pass and compare");
        passes_ =
            wipe->add_option("--passes", passesText_,
                             "the byte of each pass in hexadecimal (default " + passesText(request_.passes) + ")");
        wipe->add_option("--jobs", request_.jobs, "devices at work at once (default: all)")->check(CLI::PositiveNumber);
        wipe->add_flag("--json", json_, "a JSON array of the outcomes on standard output");
        addTimeout(wipe, timeout);
        return wipe;
    }

    int run(Display& display) override {
        std::string error;
        if (passes_->count() > 0 && !parsePasses(passesText_, &request_.passes, &error)) {
            complain("--passes: " + error);
            return kExitUsage;
        }
        std::set<std::string> seen;
        for (const std::string& id : request_.ids) {
            if (!tuvakIdNamesDevice(id.c_str())) {
                complain("an empty identifier names no device");
                return kExitUsage;
            }
            if (!seen.insert(id).second) {
                complain(id + " is named twice");
                return kExitUsage;
            }
        }
        registryBroken();
        const std::vector<WipeOutcome> outcomes = wipeDevices(request_, display);
        std::vector<int> statuses;
        for (const WipeOutcome& o : outcomes) {
            statuses.push_back(o.exitStatus());
            if (!o.ok()) complain("TUVAK " + o.id + ": " + o.failure + " (" + resultName(o.result) + ")");
        }
        const std::string table = wipeTable(outcomes, request_.verify);
        const bool written = json_ ? writeErr(table) && writeOut(wipeJson(outcomes, request_.verify)) : writeOut(table);
        return written ? combinedExitStatus(statuses) : kExitFailed;
    }

private:
    WipeRequest request_;
    std::string passesText_;
    CLI::Option* passes_ = nullptr;
    bool json_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> wipeSubcommand() { return std::make_unique<Wipe>(); }

}  // namespace cli
