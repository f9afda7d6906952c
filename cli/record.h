// The record of a wipe: one JSON object per device with what the tool knows
// of a certificate of sanitization, handed to every sink (the record folder,
// standard output, the certificate) as the device finishes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/json.h"
#include "cli/wipe.h"

namespace cli {

inline constexpr char kToolName[] = "hwds";
inline constexpr char kToolVersion[] = "1.0.0";

// Who wiped, and where: the same for every device of a run.
struct RecordRun {
    std::string host;
    std::string operatorName;  // as --operator named them, else the login name
    std::string organization;  // empty when none was given
};

RecordRun recordRun(const std::string& operatorName, const std::string& organization);

// The record's fields, in order. False when the system gave no random bytes
// for its record_id.
bool wipeRecord(const RecordRun& run, const WipeOutcome& outcome, Json* record);

// "2026-12-07T16:40:25.123Z".
std::string utcText(int64_t ms);
// A random (version 4) UUID from 16 random bytes.
std::string uuidText(const uint8_t (&random)[16]);
// "erased", "erased, not verified" or "failed".
std::string wipeStatus(const WipeOutcome& outcome);

// TYPE-IDENTIFIER-UTCSTAMP.json, and -2, -3 ... before .json from the
// second attempt on; characters a file name cannot hold become '_'.
std::string recordFileName(const Json& record, int attempt);
// Publishes the record in `folder` under the first name that no file has
// yet; *path is the file. False with *error when it could not be written.
bool writeRecordFile(const std::string& folder, const Json& record, std::string* path, std::string* error);

// A sink receives each record as its device finishes, one at a time; false
// when it failed (and has said why).
using RecordSink = std::function<bool(const Json& record)>;

}  // namespace cli
