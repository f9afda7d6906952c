// random: a source's random bytes to standard output, for piping into tests
// of randomness.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/fips.h"

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

}  // namespace

int randomCommand(const RandomArgs& args, Display& display) {
    int status = kExitOk;
    HwDataSource* source = openTarget(args.target, &status);
    if (source == nullptr) return status;

    Attention attention;
    attention.display = &display;
    attention.label = args.target.label();
    const HWDSInteraction interaction = attention.record();
    platform::Terminal* terminal = platform::current().terminal;
    if (args.raw && terminal != nullptr) terminal->binaryOutput();

    platform::Clock& clock = *platform::current().clock;
    const uint32_t start = clock.tickCount();
    uint32_t shown = start;
    bool showing = false;
    std::vector<uint8_t> chunk(std::min<uint64_t>(kChunk, args.bytes));
    HealthCheck health;
    std::vector<uint8_t> out;  // with --check: the blocks that passed, not yet written
    uint64_t written = 0;
    for (uint64_t done = 0; done < args.bytes;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, args.bytes - done));
        const CeResult result = hwdsRandom(source, &interaction, chunk.data(), n);
        if (result != CE_OK) {
            if (showing) display.end();
            complain(args.target.label() + ": random bytes failed after " + std::to_string(done) +
                     " bytes: " + attention.explain(result) + " (" + resultName(result) + ")");
            return exitStatusFor(result);
        }
        const uint8_t* pass = chunk.data();
        std::size_t count = n;
        if (args.check) {
            health.feed(chunk.data(), n, &out);
            // Hexadecimal lines run on only across whole lines.
            count = args.raw || done + n == args.bytes ? out.size() : out.size() / kHexPerLine * kHexPerLine;
            pass = out.data();
        }
        const std::string bytes = args.raw ? std::string(reinterpret_cast<const char*>(pass), count)
                                           : hexStream(pass, count, kHexPerLine);
        if (!writeOut(bytes)) {
            complain("cannot write to standard output");
            return kExitFailed;
        }
        if (args.check) out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(count));
        written += count;
        done += n;

        const uint32_t now = clock.tickCount();
        if (display.live() && now - start >= kProgressAfterMs && now - shown >= kProgressEveryMs) {
            if (!showing) display.begin({args.target.label()});
            showing = true;
            shown = now;
            display.update(0,
                           mebibytes(done) + " of " + mebibytes(args.bytes) + " (" +
                               std::to_string(done * 100 / args.bytes) + "%)",
                           true);
        }
    }
    if (!args.raw && written % kHexPerLine != 0 && !writeOut("\n")) return kExitFailed;
    if (showing) {
        display.update(0, mebibytes(args.bytes) + " done", true);
        display.end();
    }
    if (!args.check) return kExitOk;
    if (!writeErr(healthReport(health.counts()))) return kExitFailed;
    return health.counts().healthy() ? kExitOk : kExitUnhealthy;
}

}  // namespace cli
