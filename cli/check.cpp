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
                                   "the FIPS 140-2 tests of rngtest on random bytes, and blocks that repeat;\n"
                                   "the report goes to standard error; exit status 5 when a block failed or repeated");
        check->add_option("FILE", file_, "the bytes to check (default, or -: standard input)");
        check->add_flag("--json", json_, "the figures as a JSON object on standard output");
        return check;
    }

    int run(Display&) override {
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
        HealthCheck check;
        std::vector<uint8_t> buffer(64 * 1024);
        for (;;) {
            const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
            check.feed(buffer.data(), n);
            if (n < buffer.size()) break;
        }
        if (std::ferror(in)) {
            complain("cannot read " + (file_ == "-" ? std::string("standard input") : file_));
            return kExitUsage;
        }
        const HealthCounts& counts = check.counts();
        if (!writeErr(healthReport(counts))) return kExitFailed;
        if (json_ && !writeOut(healthJson(counts))) return kExitFailed;
        return counts.healthy() ? kExitOk : kExitUnhealthy;
    }

private:
    std::string file_ = "-";  // "-": standard input
    bool json_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> checkSubcommand() { return std::make_unique<Check>(); }

}  // namespace cli
