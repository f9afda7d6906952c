// random: a source's random bytes to standard output, for piping into tests
// of randomness.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/fips.h"
#include "cli/subcommand.h"

namespace cli {

namespace {

// A multiple of the hexadecimal line, so that lines run on across chunks.
constexpr uint32_t kChunk = 64 * 1024;
constexpr std::size_t kHexPerLine = 32;
// Progress is shown only for runs that take a while, and not too often.
constexpr uint32_t kProgressAfterMs = 1000;
constexpr uint32_t kProgressEveryMs = 250;

std::string mebibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

int randomBytes(const Target& target, uint64_t total, bool raw, bool check, Display& display) {
    int status = kExitOk;
    HwDataSource* source = openTarget(target, &status);
    if (source == nullptr) return status;

    Attention attention = attentionFor(target, display);
    const HWDSInteraction interaction = attention.record();
    platform::Terminal* terminal = platform::current().terminal;
    if (raw && terminal != nullptr) terminal->binaryOutput();

    platform::Clock& clock = *platform::current().clock;
    const uint32_t start = clock.tickCount();
    uint32_t shown = start;
    bool showing = false;
    std::vector<uint8_t> chunk(std::min<uint64_t>(kChunk, total));
    HealthCheck health;
    std::vector<uint8_t> out;  // with --check: the blocks that passed, not yet written
    uint64_t written = 0;
    for (uint64_t done = 0; done < total;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total - done));
        const CeResult result = hwdsRandom(source, &interaction, chunk.data(), n);
        if (result != CE_OK) {
            if (showing) display.end();
            complain(target.label() + ": random bytes failed after " + std::to_string(done) +
                     " bytes: " + attention.explain(result) + " (" + resultName(result) + ")");
            return exitStatusFor(result);
        }
        const uint8_t* pass = chunk.data();
        std::size_t count = n;
        if (check) {
            health.feed(chunk.data(), n, &out);
            // Hexadecimal lines run on only across whole lines.
            count = raw || done + n == total ? out.size() : out.size() / kHexPerLine * kHexPerLine;
            pass = out.data();
        }
        const std::string bytes =
            raw ? std::string(reinterpret_cast<const char*>(pass), count) : hexStream(pass, count, kHexPerLine);
        if (!writeOut(bytes)) {
            complain("cannot write to standard output");
            return kExitFailed;
        }
        if (check) out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
        written += count;
        done += n;

        const uint32_t now = clock.tickCount();
        if (display.live() && now - start >= kProgressAfterMs && now - shown >= kProgressEveryMs) {
            if (!showing) display.begin({target.label()});
            showing = true;
            shown = now;
            display.update(
                0, mebibytes(done) + " of " + mebibytes(total) + " (" + std::to_string(done * 100 / total) + "%)",
                true);
        }
    }
    if (!raw && written % kHexPerLine != 0 && !writeOut("\n")) return kExitFailed;
    if (showing) {
        display.update(0, mebibytes(total) + " done", true);
        display.end();
    }
    if (!check) return kExitOk;
    if (!writeErr(healthReport(health.counts()))) return kExitFailed;
    return health.counts().healthy() ? kExitOk : kExitUnhealthy;
}

class Random : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* random = program.add_subcommand("random", "random bytes to standard output, e.g. for rngtest");
        target_.add(random);
        random->add_option("--bytes", bytes_, "how many: a number with an optional K, M or G (powers of 1024)")
            ->required();
        random->add_option("--format", format_, "raw (default) or hex")->check(CLI::IsMember({"hex", "raw"}));
        random->add_flag("--check", check_,
                         "pass on only the blocks that pass the tests of hwds check; report to\n"
                         "standard error; exit status 5 when a block failed or repeated");
        addTimeout(random, timeout);
        return random;
    }

    int run(Display& display) override {
        uint64_t total = 0;
        if (!parseSize(bytes_, &total)) {
            complain("--bytes '" + bytes_ + "' is not a count of bytes (such as 4096, 64K or 1M)");
            return kExitUsage;
        }
        return randomBytes(target_.target(), total, format_ == "raw", check_, display);
    }

private:
    TargetOptions target_;
    std::string bytes_, format_ = "raw";
    bool check_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> randomSubcommand() { return std::make_unique<Random>(); }

}  // namespace cli
