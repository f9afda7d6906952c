#include "cli/fips.h"

#include "cli/json.h"

namespace cli {

namespace {

std::string line(const char* what, uint64_t n) { return std::string(what) + ": " + std::to_string(n) + "\n"; }

}  // namespace

std::string healthReport(const hwds::FipsCounts& c) {
    return line("FIPS 140-2 successes", c.successes) + line("FIPS 140-2 failures", c.failures) +
           line("FIPS 140-2(2001-10-10) Monobit", c.monobit) + line("FIPS 140-2(2001-10-10) Poker", c.poker) +
           line("FIPS 140-2(2001-10-10) Runs", c.runs) + line("FIPS 140-2(2001-10-10) Long run", c.longRun) +
           line("FIPS 140-2(2001-10-10) Continuous run", c.continuousRun) + line("repeated blocks", c.repeated);
}

std::string continuousReport(const hwds::ContinuousCounts& c) {
    return line("SP 800-90B repetition count", c.rct) + line("SP 800-90B adaptive proportion", c.apt);
}

std::string healthJson(const hwds::FipsCounts& c, const hwds::ContinuousCounts& continuous) {
    const Json figures = {
        {"successes", c.successes},
        {"failures", c.failures},
        {"monobit", c.monobit},
        {"poker", c.poker},
        {"runs", c.runs},
        {"long_run", c.longRun},
        {"continuous_run", c.continuousRun},
        {"repeated_blocks", c.repeated},
        {"rct_failures", continuous.rct},
        {"apt_failures", continuous.apt},
    };
    return jsonValue(figures) + "\n";
}

}  // namespace cli
