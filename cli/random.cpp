// random: a source's random bytes to standard output, for piping into tests
// of randomness. Every byte has passed the framework's health tests unless
// the operator asks for the raw stream.
#include <algorithm>
#include <cstdio>
#include <optional>
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

struct RandomRequest {
    uint64_t total = 0;
    bool raw = true;
    bool fips = false;      // --check: only the blocks that pass FIPS 140-2 and repeat none
    bool checked = true;    // the framework's health tests on every byte
    double minEntropy = 0;  // > 0: claimed in place of the source type's
};

// The progress line, for runs that take a while.
class Progress {
public:
    Progress(Display& display, std::string label, uint64_t total)
        : display_(display), label_(std::move(label)), total_(total) {}

    void update(uint64_t done) {
        const uint32_t now = clock_.tickCount();
        if (!display_.live() || now - start_ < kProgressAfterMs || now - shown_ < kProgressEveryMs) return;
        if (!showing_) display_.begin({label_});
        showing_ = true;
        shown_ = now;
        const std::string percent = std::to_string(done * 100 / total_) + "%";
        display_.update(0, mebibytes(done) + " of " + mebibytes(total_) + " (" + percent + ")", true);
    }
    void finish() {
        if (showing_) display_.update(0, mebibytes(total_) + " done", true);
        stop();
    }
    void stop() {
        if (showing_) display_.end();
        showing_ = false;
    }

private:
    Display& display_;
    std::string label_;
    uint64_t total_;
    platform::Clock& clock_ = *platform::current().clock;
    uint32_t start_ = clock_.tickCount();
    uint32_t shown_ = start_;
    bool showing_ = false;
};

// --check: passes on the blocks that pass, holding back the rest of a
// hexadecimal line until it is whole.
class BlockFilter {
public:
    explicit BlockFilter(bool raw) : raw_(raw) {}

    // The bytes that may go out now, valid until the next call.
    std::pair<const uint8_t*, std::size_t> pass(const uint8_t* data, std::size_t size, bool last) {
        out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(given_));
        health_.feed(data, size, &out_);
        given_ = raw_ || last ? out_.size() : out_.size() / kHexPerLine * kHexPerLine;
        return {out_.data(), given_};
    }
    const hwds::FipsCounts& counts() const { return health_.counts(); }

private:
    bool raw_;
    hwds::FipsCheck health_;
    std::vector<uint8_t> out_;  // the blocks that passed, not yet written
    std::size_t given_ = 0;
};

// Standard output in the chosen format.
class Output {
public:
    explicit Output(bool raw) : raw_(raw) {}
    bool put(const uint8_t* data, std::size_t size) {
        written_ += size;
        if (raw_) return writeOut(std::string_view(reinterpret_cast<const char*>(data), size));
        return writeOut(hexStream(data, size, kHexPerLine));
    }
    // Ends a hexadecimal line left open.
    bool finish() { return raw_ || written_ % kHexPerLine == 0 || writeOut("\n"); }

private:
    bool raw_;
    uint64_t written_ = 0;
};

// Which health test failed, and where, once a checked draw failed.
std::string healthFailure(HwDataSource* source, CeResult result) {
    HWDSHealthReport report{};
    if (hwdsHealthReport(source, &report) != CE_OK || report.failedTest == HWDS_HEALTH_TEST_NONE)
        return describeResult(result);
    const char* test = report.failedTest == HWDS_HEALTH_TEST_RCT ? "repetition count" : "adaptive proportion";
    const char* level = result == CE_RNG_FAIL ? "failed for good" : "failed";
    return std::string("the SP 800-90B ") + test + " test " + level + " at sample " +
           std::to_string(report.failedSample) + " of the source's stream";
}

int randomBytes(const Target& target, const RandomRequest& request, Display& display) {
    int status = kExitOk;
    HwDataSource* source = openTarget(target, &status);
    if (source == nullptr) return status;
    if (request.minEntropy > 0 && hwdsHealthSettings(source, request.minEntropy) != CE_OK) {
        complain(target.label() + ": cannot claim that min-entropy");
        return kExitUsage;
    }

    Attention attention = attentionFor(target, display);
    const HWDSInteraction interaction = attention.record();
    platform::Terminal* terminal = platform::current().terminal;
    if (request.raw && terminal != nullptr) terminal->binaryOutput();

    Progress progress(display, target.label(), request.total);
    BlockFilter filter(request.raw);
    Output output(request.raw);
    std::vector<uint8_t> chunk(std::min<uint64_t>(kChunk, request.total));
    for (uint64_t done = 0; done < request.total;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, request.total - done));
        const CeResult result = request.checked ? hwdsRandomChecked(source, &interaction, chunk.data(), n)
                                                : hwdsRandom(source, &interaction, chunk.data(), n);
        if (result != CE_OK) {
            progress.stop();
            const bool unhealthy = result == CE_RNG_INSECURE || result == CE_RNG_FAIL;
            const std::string why = unhealthy ? healthFailure(source, result) : attention.explain(result);
            complain(target.label() + ": random bytes failed after " + std::to_string(done) + " bytes: " + why + " (" +
                     resultName(result) + ")");
            return exitStatusFor(result);
        }
        std::pair<const uint8_t*, std::size_t> out{chunk.data(), n};
        if (request.fips) out = filter.pass(chunk.data(), n, done + n == request.total);
        if (!output.put(out.first, out.second)) {
            complain("cannot write to standard output");
            return kExitFailed;
        }
        done += n;
        progress.update(done);
    }
    if (!output.finish()) return kExitFailed;
    progress.finish();
    if (!request.fips) return kExitOk;
    if (!writeErr(healthReport(filter.counts()))) return kExitFailed;
    return filter.counts().healthy() ? kExitOk : kExitUnhealthy;
}

class Random : public Subcommand {
public:
    CLI::App* add(CLI::App& program, double* timeout) override {
        CLI::App* random = program.add_subcommand("random", "random bytes to standard output, e.g. for rngtest");
        target_.add(random);
        random->add_option("--bytes", bytes_, "how many: a number with an optional K, M or G (powers of 1024)")
            ->required();
        random->add_option("--format", format_, "raw (default) or hex")->check(CLI::IsMember({"hex", "raw"}));
        random->add_flag("--check", fips_,
                         "pass on only the blocks that pass the FIPS 140-2 tests of hwds check and repeat\n"
                         "none; report to standard error; exit status 5 when a block failed or repeated");
        CLI::Option* unchecked =
            random->add_flag("--unchecked", unchecked_,
                             "the generator's raw stream, without the SP 800-90B health tests that every byte\n"
                             "passes otherwise (to study a failing generator)");
        random
            ->add_option("--min-entropy", minEntropy_,
                         "the min-entropy claimed for the source's bytes, in bits a byte (more than 0, at\n"
                         "most 8; default: its type's, 4); the health tests' cutoffs follow from it")
            ->excludes(unchecked);
        addTimeout(random, timeout);
        return random;
    }

    int run(Display& display) override {
        RandomRequest request;
        if (!parseSize(bytes_, &request.total)) {
            complain("--bytes '" + bytes_ + "' is not a count of bytes (such as 4096, 64K or 1M)");
            return kExitUsage;
        }
        if (minEntropy_ && !minEntropyAllowed(*minEntropy_)) return kExitUsage;
        request.raw = format_ == "raw";
        request.fips = fips_;
        request.checked = !unchecked_;
        request.minEntropy = minEntropy_.value_or(0);
        return randomBytes(target_.target(), request, display);
    }

private:
    TargetOptions target_;
    std::string bytes_, format_ = "raw";
    bool fips_ = false;
    bool unchecked_ = false;
    std::optional<double> minEntropy_;
};

}  // namespace

std::unique_ptr<Subcommand> randomSubcommand() { return std::make_unique<Random>(); }

}  // namespace cli
