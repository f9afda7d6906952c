#include "cli/wipe.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/cli.h"
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

WipeOutcome wipeOne(const std::string& id, std::size_t line, const WipeRequest& request,
                    Display& display) {
    WipeOutcome outcome;
    outcome.id = id;
    auto fail = [&](const std::string& failure) {
        outcome.failure = failure;
        display.update(line, "FAILED: " + failure);
        return outcome;
    };

    Attention attention;
    attention.display = &display;
    attention.label = id;
    const HWDSInteraction interaction = attention.record();

    HwDataSource* source = nullptr;
    outcome.result = hwdsOpen(&source, "TUVAK", id.c_str());
    if (outcome.result != CE_OK) return fail("cannot open: " + describeResult(outcome.result));

    // Each device has its own source, so its own lock and port: the threads
    // share nothing but the display.
    uint8_t buffer[TUVAK_MEMORY_SIZE];
    const std::size_t total = request.passes.size();
    for (std::size_t pass = 0; pass < total; ++pass) {
        const std::string which =
            "pass " + std::to_string(pass + 1) + " of " + std::to_string(total);
        std::memset(buffer, request.passes[pass], sizeof buffer);
        display.update(line, which + " (" + byteText(request.passes[pass]) + ")");
        outcome.result = hwdsWrite(source, &interaction, buffer, sizeof buffer, 0);
        if (outcome.result != CE_OK) return fail(which + ": " + attention.explain(outcome.result));
        ++outcome.passesDone;
    }
    if (request.verify) {
        display.update(line, "reading back");
        uint8_t back[TUVAK_MEMORY_SIZE];
        outcome.result = hwdsRead(source, &interaction, back, sizeof back, 0);
        if (outcome.result != CE_OK)
            return fail("reading back: " + attention.explain(outcome.result));
        const uint8_t last = request.passes.back();
        const uint8_t* differs =
            std::find_if(back, back + sizeof back, [&](uint8_t b) { return b != last; });
        if (differs != back + sizeof back) {
            outcome.mismatch = true;
            outcome.address = static_cast<uint32_t>(differs - back);
            outcome.expected = last;
            outcome.found = *differs;
            // The memory does not hold what the device confirmed writing.
            outcome.result = CE_HW_WRITE_FAILED;
            return fail("verification: address " + byteText(static_cast<uint8_t>(outcome.address)) +
                        " holds " + byteText(outcome.found) + ", not " + byteText(last));
        }
        outcome.verified = true;
    }
    display.update(line, request.verify ? "wiped and verified" : "wiped");
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
    auto row = [&](std::string id, std::string result, std::string passes,
                   const std::string& detail) {
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
    table += std::to_string(outcomes.size() - failed) + " of " + std::to_string(outcomes.size()) +
             " devices wiped" + (verify ? " and verified" : "") + "\n";
    return table;
}

std::string wipeJson(const std::vector<WipeOutcome>& outcomes, bool verify) {
    std::string json = "[";
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        const WipeOutcome& o = outcomes[i];
        json += i == 0 ? "\n  {" : ",\n  {";
        json += "\"id\": " + jsonString(o.id);
        json += ", \"ok\": " + std::string(o.ok() ? "true" : "false");
        json += ", \"result\": " + jsonString(resultName(o.result));
        json += ", \"passes\": " + std::to_string(o.passesDone);
        if (verify) json += ", \"verified\": " + std::string(o.verified ? "true" : "false");
        if (o.mismatch) {
            json += ", \"mismatch\": {\"address\": " + std::to_string(o.address) +
                    ", \"expected\": " + std::to_string(o.expected) +
                    ", \"found\": " + std::to_string(o.found) + "}";
        }
        json += ", \"error\": " + (o.ok() ? std::string("null") : jsonString(o.failure));
        json += "}";
    }
    return json + (outcomes.empty() ? "]\n" : "\n]\n");
}

}  // namespace cli
