#include "cli/wipe.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "cli/certificate.h"
#include "cli/cli.h"
#include "cli/journal.h"
#include "cli/json.h"
#include "cli/record.h"
#include "cli/station.h"
#include "cli/subcommand.h"
#include "hwds/tuvak/tuvak_devices.h"

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

int64_t now() { return platform::current().system->utcMilliseconds(); }

// The store's serial and size; a failure is said the way a pass's is.
void describeStore(HwDataSource* source, const HWDSInteraction* interaction, const Attention& attention,
                   WipeOutcome* outcome) {
    HwStoreInfo info{};
    outcome->result = hwdsDescribe(source, interaction, &info);
    if (outcome->result != CE_OK) {
        outcome->failure = "identifying the store: " + attention.explain(outcome->result);
        return;
    }
    outcome->serial = info.serial;
    outcome->presentBytes = info.presentBytes;
}

}  // namespace

std::map<std::string, std::string> tuvakPorts() {
    std::vector<HwTuvakDevice> devices;
    std::map<std::string, std::string> ports;
    if (hwdsListTuvak(&devices) != CE_OK) return ports;
    for (const HwTuvakDevice& d : devices) ports[d.id] = d.comName;
    return ports;
}

WipeOutcome wipeDevice(const std::string& id, std::size_t line, const WipeRequest& request, const std::string& port,
                       Display& display) {
    WipeOutcome outcome;
    outcome.type = request.type;
    outcome.id = id;
    outcome.passes = request.passes;
    outcome.verify = request.verify;
    outcome.port = port;
    outcome.started = now();
    Attention attention;
    attention.display = request.askOperator ? &display : nullptr;
    attention.label = outcome.label();
    const HWDSInteraction interaction = attention.record();

    // Each device has its own source, so its own lock and port: the threads
    // share nothing but the display.
    HwDataSource* source = nullptr;
    outcome.result = hwdsOpen(&source, request.type.c_str(), id.empty() ? nullptr : id.c_str());
    const std::size_t total = request.passes.size();
    auto which = [&](std::size_t pass) { return "pass " + std::to_string(pass + 1) + " of " + std::to_string(total); };
    if (outcome.result != CE_OK) {
        outcome.failure = "cannot open: " + describeResult(outcome.result);
    } else {
        describeStore(source, &interaction, attention, &outcome);
    }
    if (outcome.ok()) {
        auto interrupted = [&] { return request.interrupt != nullptr && request.interrupt->load(); };
        auto progress = [&](std::size_t step) {
            display.update(line,
                           step < total ? which(step) + " (" + byteText(request.passes[step]) + ")" : "reading back");
        };
        const HwdsWipeRequest wipe{
            .passes = request.passes, .verify = request.verify, .progress = progress, .stop = interrupted};
        static_cast<HwdsWipeOutcome&>(outcome) = hwdsWipe(source, &interaction, wipe);
        if (outcome.mismatch) {
            outcome.failure = "verification: address " + byteText(static_cast<uint8_t>(outcome.address)) + " holds " +
                              byteText(outcome.found) + ", not " + byteText(outcome.expected);
        } else if (outcome.result == CE_CANCELED && interrupted()) {
            outcome.failure = outcome.passesDone < total
                                  ? "interrupted at pass " + std::to_string(outcome.passesDone + 1)
                                  : "interrupted before reading back";
        } else if (outcome.result != CE_OK) {
            outcome.failure = (outcome.passesDone < total ? which(outcome.passesDone) : "reading back") + ": " +
                              attention.explain(outcome.result);
        }
    }
    outcome.finished = now();
    return outcome;
}

std::string outcomeText(const WipeOutcome& outcome) {
    return outcome.ok() ? outcome.done() : "FAILED: " + outcome.failure;
}

int WipeOutcome::exitStatus() const {
    if (ok()) return kExitOk;
    if (mismatch) return kExitMismatch;
    const int status = exitStatusFor(result);
    return status == kExitOk ? kExitFailed : status;
}

std::string WipeOutcome::done() const {
    std::string text = verify ? "wiped and verified" : "wiped";
    // A store the source reaches only in part: the rest was not touched.
    if (presentBytes > size)
        text += ", " + std::to_string(bytesErased) + " of " + std::to_string(presentBytes) +
                " bytes (the rest out of reach)";
    return text;
}

std::vector<WipeOutcome> wipeDevices(const WipeRequest& request, Display& display, const WipeFinished& finished) {
    const std::vector<std::string> ids = request.ids.empty() ? std::vector<std::string>{""} : request.ids;
    const std::size_t count = ids.size();
    std::vector<WipeOutcome> outcomes(count);
    std::vector<std::string> labels;
    for (const std::string& id : ids) labels.push_back(id.empty() ? request.type : id);
    const std::map<std::string, std::string> ports = request.type == "TUVAK" ? tuvakPorts() : decltype(ports){};
    display.begin(labels);
    {
        std::atomic<std::size_t> next{0};
        std::mutex finishing;
        const std::size_t jobs = request.jobs == 0 ? count : std::min(request.jobs, count);
        Workers workers;
        for (std::size_t w = 0; w < jobs; ++w) {
            workers.start([&] {
                for (std::size_t i = next++; i < count; i = next++) {
                    const auto port = ports.find(ids[i]);
                    outcomes[i] = wipeDevice(ids[i], i, request, port != ports.end() ? port->second : "", display);
                    display.update(i, outcomeText(outcomes[i]));
                    std::lock_guard<std::mutex> one(finishing);
                    if (finished) finished(i, outcomes[i]);
                }
            });
        }
    }
    display.end();
    return outcomes;
}

std::string wipeTable(const std::vector<WipeOutcome>& outcomes, bool verify) {
    std::size_t idWidth = 6;
    std::size_t resultWidth = 6;
    auto name = [](const WipeOutcome& o) { return o.id.empty() ? o.type : o.id; };
    for (const auto& o : outcomes) {
        idWidth = std::max(idWidth, name(o).size());
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
        table += row(name(o), resultName(o.result), std::to_string(o.passesDone), o.ok() ? o.done() : o.failure);
    }
    table += std::to_string(outcomes.size() - failed) + " of " + std::to_string(outcomes.size()) + " devices wiped" +
             (verify ? " and verified" : "") + "\n";
    return table;
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
        CLI::App* wipe = program.add_subcommand(
            "wipe",
            "overwrite the whole memory of key stores: TUVAK devices, several at once, or the\n"
            "ACCORD key on the reader; exit status 0 only when every device was wiped (and\n"
            "verified, with --verify). Each wipe leaves a record (--record, --json, --certificate)");
        std::vector<std::string> types;
        for (uint32_t i = 0; const char* type = hwdsSourceType(i); ++i) types.emplace_back(type);
        wipe->add_option("--type", request_.type, "the source type: TUVAK (default) or ACCORD (any letter case)")
            ->check(CLI::IsMember(types, CLI::ignore_case));
        wipe->add_option("ID", request_.ids,
                         "TUVAK: identifiers of the devices, as hwds list shows them (required);\n"
                         "ACCORD: none, or the option unchecked-read");
        wipe->add_flag("--verify", request_.verify,
                       "read the whole memory back after the last pass and compare (TUVAK: " +
                           std::to_string(TUVAK_MEMORY_SIZE) + " bytes)");
        passes_ =
            wipe->add_option("--passes", passesText_,
                             "the byte of each pass in hexadecimal (default " + passesText(request_.passes) + ")");
        wipe->add_option("--jobs", request_.jobs, "devices at work at once (default: all)")->check(CLI::PositiveNumber);
        wipe->add_option("--operator", operator_, "who wipes, for the records (default: the login name)");
        wipe->add_option("--organization", organization_, "on whose behalf, for the records");
        wipe->add_option("--record", recordDir_,
                         "write each device's record into this folder as TYPE-IDENTIFIER-UTCSTAMP.json,\n"
                         "never over an existing file");
        wipe->add_option("--certificate", certificate_,
                         "a PDF certificate of the run's records, to print and sign" +
                             std::string(kCertificates ? "" : " (not in this build)"));
        CLI::Option* journal = wipe->add_option("--journal", journal_,
                                                "append each device's record to this journal, chained to the line "
                                                "before (see hwds journal)");
        wipe->add_option("--sign", signKey_, "sign each journal line with this secret key (hwds journal keygen)")
            ->needs(journal);
        wipe->add_flag("--json", json_, "each device's record on standard output, one JSON object a line");
        CLI::Option* watch =
            wipe->add_flag("--watch", watch_,
                           "a wiping station: wipe each TUVAK device as it is plugged in, until Ctrl+C;\n"
                           "the devices attached at the start are left alone");
        wipe->add_flag("--include-present", includePresent_, "with --watch: wipe the devices attached at the start too")
            ->needs(watch);
        wipe->add_option("--max", max_, "with --watch: stop once this many devices have finished")
            ->check(CLI::PositiveNumber)
            ->needs(watch);
        addTimeout(wipe, timeout);
        return wipe;
    }

    int run(Display& display) override {
        if (!checkArguments()) return kExitUsage;
        if (!certificate_.empty() && !kCertificates) {
            complain("--certificate: " + std::string(kNoCertificates));
            return kExitUsage;
        }
        // A key that cannot be read stops the run before any device is touched.
        std::optional<SigningKey> key;
        if (!signKey_.empty()) {
            std::string error;
            if (!loadSigningKey(signKey_, &key.emplace(), &error)) {
                complain("--sign: " + error);
                return kExitUsage;
            }
        }
        if (request_.type == "TUVAK" && registryBroken()) return kExitFailed;
        const RecordRun who = recordRun(operator_, organization_);
        std::vector<RecordSink> sinks;
        if (!journal_.empty()) {
            sinks.push_back([this, &key](const Json& record) {
                std::string error;
                if (appendJournal(journal_, record, key ? &*key : nullptr, &error)) return true;
                complain("--journal: " + error);
                return false;
            });
        }
        if (!recordDir_.empty()) {
            sinks.push_back([this](const Json& record) {
                std::string path, error;
                if (writeRecordFile(recordDir_, record, &path, &error)) return true;
                complain("--record: " + error);
                return false;
            });
        }
        if (watch_) return watch(display, who, sinks);
        // In the order the devices were named, whatever order they finish in.
        std::vector<Json> records(std::max<std::size_t>(request_.ids.size(), 1));
        bool recorded = true;
        const std::vector<WipeOutcome> outcomes =
            wipeDevices(request_, display, [&](std::size_t index, const WipeOutcome& o) {
                recorded = keep(who, sinks, o, &records[index]) && recorded;
            });
        std::vector<int> statuses;
        for (const WipeOutcome& o : outcomes) {
            statuses.push_back(o.exitStatus());
            if (!o.ok()) complain(o.label() + ": " + o.failure + " (" + resultName(o.result) + ")");
        }
        if (!certificate_.empty()) recorded = certify(records) && recorded;
        const std::string table = wipeTable(outcomes, request_.verify);
        const bool written = json_ ? writeErr(table) && writeOut(recordLines(records)) : writeOut(table);
        const int status = combinedExitStatus(statuses);
        return written && recorded ? status : kExitFailed;
    }

private:
    bool checkArguments() {
        std::string error;
        if (passes_->count() > 0 && !parsePasses(passesText_, &request_.passes, &error)) {
            complain("--passes: " + error);
            return false;
        }
        if (watch_) {
            if (request_.type != "TUVAK") {
                complain("--watch: only TUVAK devices are plugged in and out");
                return false;
            }
            if (!request_.ids.empty()) {
                complain("--watch takes no identifiers: it wipes the devices that are plugged in");
                return false;
            }
            return true;
        }
        if (request_.type != "TUVAK") {
            if (request_.ids.size() > 1) {
                complain(request_.type + " takes one key at most: no identifier, or the source's option");
                return false;
            }
            return true;
        }
        if (request_.ids.empty()) {
            complain("ID is required: the identifiers of the TUVAK devices (see hwds list)");
            return false;
        }
        std::set<std::string> seen;
        for (const std::string& id : request_.ids) {
            if (!tuvakIdNamesDevice(id.c_str())) {
                complain("an empty identifier names no device");
                return false;
            }
            if (!seen.insert(id).second) {
                complain(id + " is named twice");
                return false;
            }
        }
        return true;
    }

    // Ends with the session's totals: 0 when every device that finished was
    // wiped (and verified, with --verify) and recorded.
    int watch(Display& display, const RecordRun& who, const std::vector<RecordSink>& sinks) {
        const StationRequest station{.wipe = request_, .includePresent = includePresent_, .max = max_};
        std::vector<Json> records;
        bool recorded = true;
        const std::vector<WipeOutcome> outcomes = runStation(station, display, [&](const WipeOutcome& o) {
            Json record;
            if (!keep(who, sinks, o, &record)) {
                recorded = false;
                if (record.is_null()) return;
            }
            if (json_) recorded = writeOut(jsonValue(record) + "\n") && recorded;
            records.push_back(std::move(record));
        });
        bool failed = false;
        for (const WipeOutcome& o : outcomes) {
            if (o.ok()) continue;
            failed = true;
            complain(o.label() + ": " + o.failure + " (" + resultName(o.result) + ")");
        }
        if (!certificate_.empty() && !records.empty()) recorded = certify(records) && recorded;
        const std::string table = wipeTable(outcomes, request_.verify);
        const bool written = json_ ? writeErr(table) : writeOut(table);
        return written && recorded && !failed ? kExitOk : kExitFailed;
    }

    // The device's record, handed to every sink; false when one was lost
    // (*record stays null when there is none at all).
    bool keep(const RecordRun& who, const std::vector<RecordSink>& sinks, const WipeOutcome& o, Json* record) {
        if (!wipeRecord(who, o, record)) {
            *record = Json();
            complain(o.label() + ": no random bytes for the record's identifier");
            return false;
        }
        bool kept = true;
        for (const RecordSink& sink : sinks) kept = sink(*record) && kept;
        return kept;
    }

    bool certify(const std::vector<Json>& records) {
        std::string error;
        if (renderCertificate(records, certificate_, &error)) return true;
        complain("--certificate: " + error);
        return false;
    }

    static std::string recordLines(const std::vector<Json>& records) {
        std::string lines;
        for (const Json& record : records)
            if (!record.is_null()) lines += jsonValue(record) + "\n";
        return lines;
    }

    WipeRequest request_;
    std::string passesText_;
    CLI::Option* passes_ = nullptr;
    std::string operator_, organization_, recordDir_, certificate_, journal_, signKey_;
    bool json_ = false;
    bool watch_ = false;
    bool includePresent_ = false;
    std::size_t max_ = 0;
};

}  // namespace

std::unique_ptr<Subcommand> wipeSubcommand() { return std::make_unique<Wipe>(); }

}  // namespace cli
