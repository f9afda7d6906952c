// The health of a random stream: the FIPS 140-2 tests (errata of
// 2001-10-10) on 20,000-bit blocks, counted as rngtest counts them, and the
// blocks that repeat an earlier one, which those tests cannot see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace cli {

inline constexpr std::size_t kFipsBlockBytes = 2500;

// The tests a block failed, as bits.
enum FipsFailure : unsigned {
    kFipsMonobit = 1,
    kFipsPoker = 2,
    kFipsRuns = 4,
    kFipsLongRun = 8,
    kFipsContinuousRun = 16,
};

// What one block's tests take over from the stream before it.
struct FipsCarry {
    uint32_t lastWord = 0;  // for the continuous-run test
    int lastBit = 0;        // the last bit of the block before, 0 before the first
};

// The tests that one block fails; *carry moves on past the block.
unsigned fipsFailures(const uint8_t* block, FipsCarry* carry);

struct HealthCounts {
    uint64_t successes = 0, failures = 0;
    uint64_t monobit = 0, poker = 0, runs = 0, longRun = 0, continuousRun = 0;
    uint64_t repeated = 0;
    bool healthy() const { return failures == 0 && repeated == 0; }
};

// The stream, fed in pieces of any size. Its first 32 bits only start the
// continuous-run test; then every whole block is tested, a partial one at
// the end is not.
class HealthCheck {
public:
    // Each block that passed every test and repeats no earlier one goes to
    // *passed, when given.
    void feed(const uint8_t* data, std::size_t size, std::vector<uint8_t>* passed = nullptr);
    const HealthCounts& counts() const { return counts_; }

private:
    struct Digest {
        uint64_t a, b;
        bool operator==(const Digest&) const = default;
    };
    struct DigestHash {
        std::size_t operator()(const Digest& d) const { return static_cast<std::size_t>(d.a); }
    };
    // Two independent 64-bit hashes of a block stand for its bytes: keeping
    // the blocks themselves would grow with the stream.
    static Digest digest(const uint8_t* block);

    HealthCounts counts_;
    std::vector<uint8_t> pending_;
    bool started_ = false;
    FipsCarry carry_;
    std::unordered_set<Digest, DigestHash> seen_;
};

// The report in rngtest's words, one figure to a line.
std::string healthReport(const HealthCounts& counts);
// The same figures as one JSON object.
std::string healthJson(const HealthCounts& counts);

}  // namespace cli
