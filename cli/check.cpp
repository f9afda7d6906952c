#include "cli/check.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "cli/cli.h"
#include "cli/fips.h"

namespace cli {

namespace {

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

CLI::App* addCheckCommand(CLI::App& app, CheckArgs* args) {
    CLI::App* check = app.add_subcommand(
        "check",
        "the FIPS 140-2 tests of rngtest on random bytes, and blocks that repeat;\n"
        "the report goes to standard error; exit status 5 when a block failed or repeated");
    check->add_option("FILE", args->file, "the bytes to check (default, or -: standard input)");
    check->add_flag("--json", args->json, "the figures as a JSON object on standard output");
    return check;
}

int checkCommand(const CheckArgs& args) {
    std::unique_ptr<std::FILE, CloseFile> opened;
    std::FILE* in = stdin;
    if (args.file != "-") {
        opened.reset(std::fopen(args.file.c_str(), "rb"));
        if (!opened) {
            complain("cannot read " + args.file);
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
        complain("cannot read " + (args.file == "-" ? std::string("standard input") : args.file));
        return kExitUsage;
    }
    const HealthCounts& counts = check.counts();
    if (!writeErr(healthReport(counts))) return kExitFailed;
    if (args.json && !writeOut(healthJson(counts))) return kExitFailed;
    return counts.healthy() ? kExitOk : kExitUnhealthy;
}

}  // namespace cli
