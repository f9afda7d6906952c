// The health of random bytes, one place for every test the framework runs on
// them: the continuous health tests of SP 800-90B (repetition count and
// adaptive proportion, over 8-bit samples), the FIPS 140-2 tests (errata of
// 2001-10-10) on 20,000-bit blocks, counted as rngtest counts them, and the
// blocks that repeat an earlier one, which those tests cannot see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "hwds/hwds.h"

namespace hwds {

// ---- SP 800-90B continuous health tests ---------------------------------

// The false-alarm rates, as powers of two: an intermittent failure may be
// noise, a permanent one is not.
inline constexpr int kIntermittentAlphaBits = 30;
inline constexpr int kPermanentAlphaBits = 60;
inline constexpr uint32_t kAptWindow = 512;
inline constexpr uint32_t kStartupSamples = 1024;

// The cutoffs for a claimed min-entropy of `h` bits a sample (0 < h <= 8)
// at the rate 2^-alphaBits.
uint32_t rctCutoff(double h, int alphaBits);
uint32_t aptCutoff(double h, int alphaBits);

// What one sample made fail, as bits.
enum ContinuousFailure : unsigned {
    kRctIntermittent = 1,
    kRctPermanent = 2,
    kAptIntermittent = 4,
    kAptPermanent = 8,
};

// The repetition count and the adaptive proportion test at both levels.
// Each run and each window fails at most once a level.
class ContinuousTests {
public:
    explicit ContinuousTests(double h);
    // The failures this sample brings.
    unsigned test(uint8_t sample);
    // Fresh windows and runs, as after a failure.
    void restart();

    uint32_t rctIntermittentCutoff() const { return rct_[0]; }
    uint32_t rctPermanentCutoff() const { return rct_[1]; }
    uint32_t aptIntermittentCutoff() const { return apt_[0]; }
    uint32_t aptPermanentCutoff() const { return apt_[1]; }
    // The last sample tested was its window's last.
    bool windowEnded() const { return inWindow_ == kAptWindow; }

private:
    uint32_t rct_[2];
    uint32_t apt_[2];
    uint8_t last_ = 0;
    uint32_t run_ = 0;  // stops one past the highest cutoff
    uint8_t reference_ = 0;
    uint32_t inWindow_ = 0;    // samples of the window so far, 0 before its first
    uint32_t referenced_ = 0;  // stops one past the highest cutoff
};

// The continuous tests of one source: its start-up, its state and what it
// has counted. Guarded by the source's lock.
class HealthMonitor {
public:
    explicit HealthMonitor(double h);
    // Another claim: new cutoffs and fresh runs and windows; a failed source
    // stays failed.
    void claim(double h);
    bool started() const { return started_; }
    bool failed() const { return state_ == HWDS_HEALTH_FAILED; }
    // Tests one request's samples, all of them, and gives its outcome:
    // CE_OK, CE_RNG_INSECURE or CE_RNG_FAIL. The start-up's samples are
    // tested alike and, when they pass, start the source.
    CeResult screen(const uint8_t* samples, uint32_t count, bool startup);
    void report(HWDSHealthReport* out) const;

private:
    double h_;
    ContinuousTests tests_;
    int32_t state_ = HWDS_HEALTH_NOT_STARTED;
    bool started_ = false;  // the start-up passed
    uint64_t samples_ = 0;
    uint64_t failures_[4] = {};  // by the bits of ContinuousFailure
    int32_t failedTest_ = HWDS_HEALTH_TEST_NONE;
    uint64_t failedSample_ = 0;
};

// Counts over a whole stream at the intermittent level, as hwds check gives
// them; a run or window that fails counts once.
struct ContinuousCounts {
    uint64_t rct = 0, apt = 0;
};

class ContinuousCheck {
public:
    explicit ContinuousCheck(double h) : tests_(h) {}
    void feed(const uint8_t* data, std::size_t size);
    const ContinuousCounts& counts() const { return counts_; }

private:
    ContinuousTests tests_;
    ContinuousCounts counts_;
    bool windowFailed_ = false;  // counted when the window is whole
};

// ---- FIPS 140-2 and repeated blocks -------------------------------------

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

struct FipsCounts {
    uint64_t successes = 0, failures = 0;
    uint64_t monobit = 0, poker = 0, runs = 0, longRun = 0, continuousRun = 0;
    uint64_t repeated = 0;
    bool healthy() const { return failures == 0 && repeated == 0; }
};

// The stream, fed in pieces of any size. Its first 32 bits only start the
// continuous-run test; then every whole block is tested, a partial one at
// the end is not.
class FipsCheck {
public:
    // Each block that passed every test and repeats no earlier one goes to
    // *passed, when given.
    void feed(const uint8_t* data, std::size_t size, std::vector<uint8_t>* passed = nullptr);
    const FipsCounts& counts() const { return counts_; }

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

    FipsCounts counts_;
    std::vector<uint8_t> pending_;
    bool started_ = false;
    FipsCarry carry_;
    std::unordered_set<Digest, DigestHash> seen_;
};

}  // namespace hwds
