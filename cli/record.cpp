#include "cli/record.h"

#include <chrono>
#include <cstdio>

#include "cli/cli.h"
#include "platform/platform.h"

namespace cli {

namespace {

// What a record says of the store, beyond its type.
std::string description(const WipeOutcome& outcome) {
    if (outcome.type == "TUVAK") return "Тувак key device";
    if (outcome.type != "ACCORD") return outcome.type;
    // The serial begins with the family code.
    if (outcome.serial.size() < 2) return "Touch Memory key";
    return "Touch Memory key, family 0x" + outcome.serial.substr(0, 2);
}

Json textOrNull(const std::string& text) { return text.empty() ? Json() : Json(text); }

}  // namespace

RecordRun recordRun(const std::string& operatorName, const std::string& organization) {
    platform::System& system = *platform::current().system;
    return {system.hostName(), operatorName.empty() ? system.loginName() : operatorName, organization};
}

std::string utcText(int64_t ms) {
    using namespace std::chrono;
    const sys_time<milliseconds> when{milliseconds(ms)};
    const sys_days day = floor<days>(when);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{when - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

std::string uuidText(const uint8_t (&random)[16]) {
    uint8_t b[16];
    std::copy(std::begin(random), std::end(random), b);
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);  // the RFC 4122 variant
    char text[40];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

std::string wipeStatus(const WipeOutcome& outcome) {
    if (!outcome.ok()) return "failed";
    return outcome.verified ? "erased" : "erased, not verified";
}

bool wipeRecord(const RecordRun& run, const WipeOutcome& o, Json* record) {
    uint8_t random[16];
    if (!platform::current().system->randomBytes(random, sizeof random)) return false;
    Json passes = Json::array();
    for (uint8_t pass : o.passes) passes.push_back(pass);
    Json& r = *record;
    r = Json::object();
    r["record_id"] = uuidText(random);
    r["tool"] = kToolName;
    r["version"] = kToolVersion;
    r["host"] = run.host;
    r["operator"] = run.operatorName;
    r["organization"] = textOrNull(run.organization);
    r["type"] = o.type;
    r["identifier"] = textOrNull(o.id);
    r["serial"] = textOrNull(o.serial);
    r["description"] = description(o);
    r["port"] = textOrNull(o.port);
    r["size_bytes"] = o.presentBytes > 0 ? Json(o.presentBytes) : Json();
    r["method_type"] = "Clear";
    r["method"] = "Overwrite";
    r["passes"] = passes;
    r["passes_done"] = o.passesDone;
    r["bytes_erased"] = o.bytesErased;
    r["verification"] = o.verify ? "read back in full" : "none";
    r["verified"] = o.verified;
    r["started"] = utcText(o.started);
    r["finished"] = utcText(o.finished);
    r["duration_s"] = static_cast<double>(o.finished - o.started) / 1000.0;
    r["result"] = resultName(o.result);
    r["status"] = wipeStatus(o);
    r["error"] = textOrNull(o.failure);
    return true;
}

std::string recordFileName(const Json& record, int attempt) {
    auto part = [&](const char* field) {
        const auto value = record.find(field);
        return value != record.end() && value->is_string() ? value->get<std::string>() : std::string();
    };
    std::string identifier = part("identifier");
    if (identifier.empty()) identifier = part("serial");
    if (identifier.empty()) identifier = "unknown";
    // The stamp without the separators a Windows file name cannot hold.
    std::string stamp;
    for (char c : part("finished"))
        if (c != '-' && c != ':') stamp += c;
    std::string name = part("type") + "-" + identifier + "-" + stamp;
    for (char& c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_';
        if (!plain) c = '_';
    }
    return name + (attempt > 1 ? "-" + std::to_string(attempt) : "") + ".json";
}

bool writeRecordFile(const std::string& folder, const Json& record, std::string* path, std::string* error) {
    const std::string text = record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    platform::System& system = *platform::current().system;
    // Enough for every device of a run finishing in the same millisecond.
    constexpr int kAttempts = 1000;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        *path = folder + "/" + recordFileName(record, attempt);
        const uint32_t status = system.publishFile(*path, text);
        if (status == platform::kErrSuccess) return true;
        if (status != platform::kErrFileExists) {
            *error = *path + ": cannot write (system error " + std::to_string(status) + ")";
            return false;
        }
    }
    *error = *path + ": every name is taken";
    return false;
}

}  // namespace cli
