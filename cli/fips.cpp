#include "cli/fips.h"

#include "cli/json.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace cli {

namespace {

constexpr std::size_t kBlockBits = kFipsBlockBytes * 8;
constexpr std::size_t kNibbles = kBlockBits / 4;
constexpr int kLongRun = 26;

// Runs of length 1 to 5, and of 6 and more, that a block may hold.
struct Interval {
    int low, high;
};
constexpr Interval kRunIntervals[6] = {{2315, 2685}, {1114, 1386}, {527, 723}, {240, 384}, {103, 209}, {103, 209}};

bool monobitFails(const uint8_t* block) {
    int ones = 0;
    for (std::size_t i = 0; i < kFipsBlockBytes; ++i) ones += std::popcount(block[i]);
    return ones <= 9725 || ones >= 10275;
}

// rngtest counts one more nibble 1111 when a block starts with 0 after a
// block that ended with 1; so does this, to give the same counts.
bool pokerFails(const uint8_t* block, int lastBit) {
    uint64_t count[16] = {};
    if (lastBit == 1 && (block[0] & 0x80) == 0) ++count[15];
    for (std::size_t i = 0; i < kFipsBlockBytes; ++i) {
        ++count[block[i] >> 4];
        ++count[block[i] & 0x0F];
    }
    uint64_t squares = 0;
    for (uint64_t c : count) squares += c * c;
    // X = 16 / 5000 * squares - 5000 must lie strictly within (2.16, 46.17);
    // times 5000, in integers.
    const int64_t x = static_cast<int64_t>(16 * squares) - static_cast<int64_t>(kNibbles * kNibbles);
    return x <= 10800 || x >= 230850;
}

// Bits are read most significant first. The block's last run is counted
// among the runs of the other bit, as rngtest counts it.
unsigned runFailures(const uint8_t* block) {
    int runs[2][6] = {};
    bool longRun = false;
    int bit = block[0] >> 7;
    int length = 0;
    auto close = [&](int as) {
        if (length >= kLongRun) longRun = true;
        ++runs[as][std::min(length, 6) - 1];
    };
    for (std::size_t i = 0; i < kFipsBlockBytes; ++i) {
        for (int shift = 7; shift >= 0; --shift) {
            const int b = (block[i] >> shift) & 1;
            if (b == bit) {
                ++length;
            } else {
                close(bit);
                bit = b;
                length = 1;
            }
        }
    }
    close(1 - bit);
    unsigned failed = longRun ? unsigned{kFipsLongRun} : 0u;
    for (const auto& ofBit : runs)
        for (int n = 0; n < 6; ++n)
            if (ofBit[n] < kRunIntervals[n].low || ofBit[n] > kRunIntervals[n].high) failed |= kFipsRuns;
    return failed;
}

uint32_t wordAt(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

unsigned fipsFailures(const uint8_t* block, FipsCarry* carry) {
    unsigned failed = runFailures(block);
    if (monobitFails(block)) failed |= kFipsMonobit;
    if (pokerFails(block, carry->lastBit)) failed |= kFipsPoker;
    for (std::size_t i = 0; i < kFipsBlockBytes; i += 4) {
        const uint32_t word = wordAt(block + i);
        if (word == carry->lastWord) failed |= kFipsContinuousRun;
        carry->lastWord = word;
    }
    carry->lastBit = block[kFipsBlockBytes - 1] & 1;
    return failed;
}

HealthCheck::Digest HealthCheck::digest(const uint8_t* block) {
    Digest d{0x243F6A8885A308D3ull, 0x13198A2E03707344ull};
    for (std::size_t i = 0; i < kFipsBlockBytes; i += 4) {
        const uint64_t word = wordAt(block + i);
        d.a = mix(d.a ^ word) * 0x9E3779B97F4A7C15ull;
        d.b = mix(d.b + word * 0xC2B2AE3D27D4EB4Full) ^ (d.b >> 17);
    }
    return d;
}

void HealthCheck::feed(const uint8_t* data, std::size_t size, std::vector<uint8_t>* passed) {
    pending_.insert(pending_.end(), data, data + size);
    std::size_t at = 0;
    if (!started_) {
        if (pending_.size() < 4) return;
        carry_.lastWord = wordAt(pending_.data());
        started_ = true;
        at = 4;
    }
    for (; pending_.size() - at >= kFipsBlockBytes; at += kFipsBlockBytes) {
        const uint8_t* block = pending_.data() + at;
        const unsigned failed = fipsFailures(block, &carry_);
        const bool repeated = !seen_.insert(digest(block)).second;
        if (repeated) ++counts_.repeated;
        if (failed == 0) {
            ++counts_.successes;
            if (passed != nullptr && !repeated) passed->insert(passed->end(), block, block + kFipsBlockBytes);
            continue;
        }
        ++counts_.failures;
        if (failed & kFipsMonobit) ++counts_.monobit;
        if (failed & kFipsPoker) ++counts_.poker;
        if (failed & kFipsRuns) ++counts_.runs;
        if (failed & kFipsLongRun) ++counts_.longRun;
        if (failed & kFipsContinuousRun) ++counts_.continuousRun;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

std::string healthReport(const HealthCounts& c) {
    auto line = [](const char* what, uint64_t n) { return std::string(what) + ": " + std::to_string(n) + "\n"; };
    return line("FIPS 140-2 successes", c.successes) + line("FIPS 140-2 failures", c.failures) +
           line("FIPS 140-2(2001-10-10) Monobit", c.monobit) + line("FIPS 140-2(2001-10-10) Poker", c.poker) +
           line("FIPS 140-2(2001-10-10) Runs", c.runs) + line("FIPS 140-2(2001-10-10) Long run", c.longRun) +
           line("FIPS 140-2(2001-10-10) Continuous run", c.continuousRun) + line("repeated blocks", c.repeated);
}

std::string healthJson(const HealthCounts& c) {
    const Json figures = {
        {"successes", c.successes},
        {"failures", c.failures},
        {"monobit", c.monobit},
        {"poker", c.poker},
        {"runs", c.runs},
        {"long_run", c.longRun},
        {"continuous_run", c.continuousRun},
        {"repeated_blocks", c.repeated},
    };
    return jsonValue(figures) + "\n";
}

}  // namespace cli
