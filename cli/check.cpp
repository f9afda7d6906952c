// check: the health of random bytes from a file or standard input.
#include <cstdio>
#include <memory>
#include <vector>

#include "cli/fips.h"
#include "cli/subcommand.h"

namespace cli {

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class Check : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double*) override {
        CLI::App* check =
            program.add_subcommand("check",
                                   "the FIPS 140-2 tests of rngtest on random bytes, blocks that repeat, and the\n"
                                   "SP 800-90B repetition count and adaptive proportion tests; the report goes to\n"
                                   "standard error; exit status 5 when a block failed or repeated or a test failed");
        check->add_option("FILE", file_, "the bytes to check (default, or -: standard input)");
        check->add_flag("--json", json_, "the figures as a JSON object on standard output");
        check->add_option("--min-entropy", minEntropy_,
                          "the min-entropy claimed for the bytes, in bits a byte (more than 0, at most 8;\n"
                          "default 4); the SP 800-90B tests' cutoffs follow from it");
        return check;
    }

    int run(Display&) override {
        if (!minEntropyAllowed(minEntropy_)) return kExitUsage;
        std::unique_ptr<std::FILE, CloseFile> opened;
        std::FILE* in = stdin;
        if (file_ != "-") {
            opened.reset(std::fopen(file_.c_str(), "rb"));
            if (!opened) {
                complain("cannot read " + file_);
                return kExitUsage;
            }
            in = opened.get();
        }
        hwds::FipsCheck fips;
        hwds::ContinuousCheck continuous(minEntropy_);
        std::vector<uint8_t> buffer(64 * 1024);
        for (;;) {
            const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
            fips.feed(buffer.data(), n);
            continuous.feed(buffer.data(), n);
            if (n < buffer.size()) break;
        }
        if (std::ferror(in)) {
            complain("cannot read " + (file_ == "-" ? std::string("standard input") : file_));
            return kExitUsage;
        }
        const hwds::FipsCounts& counts = fips.counts();
        const hwds::ContinuousCounts& failures = continuous.counts();
        if (!writeErr(healthReport(counts) + continuousReport(failures))) return kExitFailed;
        if (json_ && !writeOut(healthJson(counts, failures))) return kExitFailed;
        const bool healthy = counts.healthy() && failures.rct == 0 && failures.apt == 0;
        return healthy ? kExitOk : kExitUnhealthy;
    }

private:
    std::string file_ = "-";  // "-": standard input
    bool json_ = false;
    double minEntropy_ = 4;
};

}  // namespace

std::unique_ptr<Subcommand> checkSubcommand() { return std::make_unique<Check>(); }

}  // namespace cli
