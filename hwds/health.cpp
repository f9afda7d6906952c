#include "hwds/health.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

#include "hwds/mutex_guard.h"

namespace hwds {

// ---- SP 800-90B continuous health tests ---------------------------------

uint32_t rctCutoff(double h, int alphaBits) { return 1 + static_cast<uint32_t>(std::ceil(alphaBits / h)); }

// The smallest C with P(1 + X >= C) <= 2^-alphaBits for X ~ Binomial(511,
// 2^-h), the first sample of a window being its reference. Summed in logs
// from the top: the far tail lies below what a double can hold.
uint32_t aptCutoff(double h, int alphaBits) {
    constexpr uint32_t n = kAptWindow - 1;
    const double p = std::exp2(-h);
    const double logOdds = std::log(p) - std::log1p(-p);
    double logPmf[n + 1];
    logPmf[0] = n * std::log1p(-p);
    for (uint32_t k = 0; k < n; ++k) logPmf[k + 1] = logPmf[k] + std::log(double(n - k) / (k + 1)) + logOdds;
    const double logAlpha = -alphaBits * std::log(2.0);
    double logTail = logPmf[n];
    if (logTail > logAlpha) return kAptWindow + 1;  // no count of a window can fail
    uint32_t k = n;
    while (k > 0) {
        const double below = logPmf[k - 1];
        const double high = std::max(logTail, below);
        const double widened = high + std::log1p(std::exp(std::min(logTail, below) - high));
        if (widened > logAlpha) break;
        logTail = widened;
        --k;
    }
    return k + 1;  // P(X >= k) <= alpha, and k is the least such
}

ContinuousTests::ContinuousTests(double h)
    : rct_{rctCutoff(h, kIntermittentAlphaBits), rctCutoff(h, kPermanentAlphaBits)},
      apt_{aptCutoff(h, kIntermittentAlphaBits), aptCutoff(h, kPermanentAlphaBits)} {}

unsigned ContinuousTests::test(uint8_t sample) {
    unsigned failed = 0;
    if (run_ == 0 || sample != last_) {
        last_ = sample;
        run_ = 0;
    }
    if (run_ <= rct_[1]) {
        ++run_;
        if (run_ == rct_[0]) failed |= kRctIntermittent;
        if (run_ == rct_[1]) failed |= kRctPermanent;
    }
    if (inWindow_ == kAptWindow) inWindow_ = 0;
    if (inWindow_ == 0) {
        reference_ = sample;
        referenced_ = 0;
    }
    ++inWindow_;
    if (sample == reference_ && referenced_ <= apt_[1]) {
        ++referenced_;
        if (referenced_ == apt_[0]) failed |= kAptIntermittent;
        if (referenced_ == apt_[1]) failed |= kAptPermanent;
    }
    return failed;
}

void ContinuousTests::restart() {
    run_ = 0;
    inWindow_ = 0;
}

HealthMonitor::HealthMonitor(double h) : h_(h), tests_(h) {}

void HealthMonitor::claim(double h) {
    h_ = h;
    tests_ = ContinuousTests(h);
}

CeResult HealthMonitor::screen(const uint8_t* samples, uint32_t count, bool startup) {
    if (state_ == HWDS_HEALTH_FAILED) return CE_RNG_FAIL;
    if (state_ == HWDS_HEALTH_INTERMITTENT) tests_.restart();
    unsigned all = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned failed = tests_.test(samples[i]);
        ++samples_;
        if (failed == 0) continue;
        for (unsigned bit = 0; bit < 4; ++bit)
            if (failed & (1u << bit)) ++failures_[bit];
        // The first failure at the level the request ends on is the one to tell.
        const unsigned permanent = failed & (kRctPermanent | kAptPermanent);
        if (all == 0 || (permanent != 0 && (all & (kRctPermanent | kAptPermanent)) == 0)) {
            const unsigned decisive = permanent != 0 ? permanent : failed;
            failedTest_ = decisive & (kRctIntermittent | kRctPermanent) ? HWDS_HEALTH_TEST_RCT : HWDS_HEALTH_TEST_APT;
            failedSample_ = samples_;
        }
        all |= failed;
    }
    if (all & (kRctPermanent | kAptPermanent)) {
        state_ = HWDS_HEALTH_FAILED;
        return CE_RNG_FAIL;
    }
    if (all != 0) {
        state_ = HWDS_HEALTH_INTERMITTENT;
        return CE_RNG_INSECURE;
    }
    if (startup) started_ = true;
    state_ = started_ ? HWDS_HEALTH_HEALTHY : HWDS_HEALTH_NOT_STARTED;
    return CE_OK;
}

void HealthMonitor::report(HWDSHealthReport* out) const {
    *out = HWDSHealthReport{
        .samplesTested = samples_,
        .rctIntermittentFailures = failures_[0],
        .rctPermanentFailures = failures_[1],
        .aptIntermittentFailures = failures_[2],
        .aptPermanentFailures = failures_[3],
        .rctIntermittentCutoff = tests_.rctIntermittentCutoff(),
        .rctPermanentCutoff = tests_.rctPermanentCutoff(),
        .aptIntermittentCutoff = tests_.aptIntermittentCutoff(),
        .aptPermanentCutoff = tests_.aptPermanentCutoff(),
        .minEntropyBitsPerByte = h_,
        .state = state_,
        .failedTest = failedTest_,
        .failedSample = failedSample_,
    };
}

void ContinuousCheck::feed(const uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned failed = tests_.test(data[i]);
        if (failed & kRctIntermittent) ++counts_.rct;
        if (failed & kAptIntermittent) windowFailed_ = true;
        if (!tests_.windowEnded()) continue;
        if (windowFailed_) ++counts_.apt;
        windowFailed_ = false;
    }
}

// ---- FIPS 140-2 and repeated blocks -------------------------------------

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

FipsCheck::Digest FipsCheck::digest(const uint8_t* block) {
    Digest d{0x243F6A8885A308D3ull, 0x13198A2E03707344ull};
    for (std::size_t i = 0; i < kFipsBlockBytes; i += 4) {
        const uint64_t word = wordAt(block + i);
        d.a = mix(d.a ^ word) * 0x9E3779B97F4A7C15ull;
        d.b = mix(d.b + word * 0xC2B2AE3D27D4EB4Full) ^ (d.b >> 17);
    }
    return d;
}

void FipsCheck::feed(const uint8_t* data, std::size_t size, std::vector<uint8_t>* passed) {
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

}  // namespace hwds

// ---- The framework's checked requests -----------------------------------

namespace {

bool validClaim(double h) { return h > 0 && h <= 8; }

// The source's monitor, made at its first use; null when it cannot be.
hwds::HealthMonitor* monitorOf(HwDataSource* source) {
    if (source->health == nullptr)
        source->health = new (std::nothrow) hwds::HealthMonitor(hwdsClaimedMinEntropy(source->type));
    return source->health;
}

// Nothing of a failed checked request is handed out.
CeResult withheld(CeResult result, uint8_t* data, uint32_t length) {
    if (result != CE_OK && data != nullptr) std::memset(data, 0, length);
    return result;
}

}  // namespace

CeResult hwdsRandomChecked(HwDataSource* source, const HWDSInteraction* interaction, void* data, uint32_t length) {
    auto* bytes = static_cast<uint8_t*>(data);
    hwds::MutexGuard guard(source->lock);
    if (!guard.acquired()) return withheld(CE_HW_FAIL_LOCK, bytes, length);
    hwds::HealthMonitor* monitor = monitorOf(source);
    if (monitor == nullptr) return withheld(CE_NO_MEM, bytes, length);
    if (monitor->failed()) return withheld(CE_RNG_FAIL, bytes, length);
    if (!monitor->started()) {
        uint8_t startup[hwds::kStartupSamples];
        CeResult result = hwdsRandom(source, interaction, startup, hwds::kStartupSamples);
        if (result == CE_OK) result = monitor->screen(startup, hwds::kStartupSamples, true);
        if (result != CE_OK) return withheld(result, bytes, length);
    }
    CeResult result = hwdsRandom(source, interaction, bytes, length);
    if (result == CE_OK && bytes != nullptr) result = monitor->screen(bytes, length, false);
    return withheld(result, bytes, length);
}

CeResult hwdsHealthSettings(HwDataSource* source, double minEntropyBitsPerByte) {
    if (source == nullptr || !validClaim(minEntropyBitsPerByte)) return CE_BAD_PARAM;
    hwds::MutexGuard guard(source->lock);
    if (!guard.acquired()) return CE_HW_FAIL_LOCK;
    hwds::HealthMonitor* monitor = monitorOf(source);
    if (monitor == nullptr) return CE_NO_MEM;
    monitor->claim(minEntropyBitsPerByte);
    return CE_OK;
}

CeResult hwdsHealthReport(HwDataSource* source, HWDSHealthReport* report) {
    if (source == nullptr || report == nullptr) return CE_BAD_PARAM;
    hwds::MutexGuard guard(source->lock);
    if (!guard.acquired()) return CE_HW_FAIL_LOCK;
    if (source->health != nullptr) {
        source->health->report(report);
    } else {
        hwds::HealthMonitor(hwdsClaimedMinEntropy(source->type)).report(report);
    }
    return CE_OK;
}
