// The health reports of hwds check and random --check: the figures of the
// framework's health module in rngtest's words, or as JSON.
#pragma once

#include <string>

#include "hwds/health.h"

namespace cli {

// The FIPS 140-2 figures and the repeated blocks, one to a line.
std::string healthReport(const hwds::FipsCounts& counts);
// The two SP 800-90B lines that follow them.
std::string continuousReport(const hwds::ContinuousCounts& counts);
// Every figure as one JSON object.
std::string healthJson(const hwds::FipsCounts& counts, const hwds::ContinuousCounts& continuous);

}  // namespace cli
