// The SP 800-90B health tests: their cutoffs, crafted streams at each cutoff
// and one below it, and checked requests on a source that gives what a test
// scripts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "hwds/health.h"
#include "hwds/hwds.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Values 1 to 255 in turn: no run, and no value more than twice in a window.
Bytes calm(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i % 255 + 1);
    return out;
}

// A run of `length` samples of 0x00 at `at`.
Bytes withRun(std::size_t n, std::size_t at, std::size_t length) {
    Bytes out = calm(n);
    std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(at), length, 0x00);
    return out;
}

// The window starting at `window` holds its reference, 0x00, `count` times,
// never twice in a row.
Bytes withReference(std::size_t n, std::size_t window, std::size_t count) {
    Bytes out = calm(n);
    for (std::size_t i = 0; i < count; ++i) out[window + 2 * i] = 0x00;
    return out;
}

TEST(HealthCutoffs, FollowFromTheClaimedMinEntropy) {
    const struct {
        double h;
        uint32_t rctIntermittent;
        uint32_t rctPermanent;
        uint32_t aptIntermittent;
        uint32_t aptPermanent;
    } cases[] = {
        {.h = 0.5, .rctIntermittent = 61, .rctPermanent = 121, .aptIntermittent = 422, .aptPermanent = 447},
        {.h = 1, .rctIntermittent = 31, .rctPermanent = 61, .aptIntermittent = 325, .aptPermanent = 355},
        {.h = 2, .rctIntermittent = 16, .rctPermanent = 31, .aptIntermittent = 191, .aptPermanent = 221},
        {.h = 3, .rctIntermittent = 11, .rctPermanent = 21, .aptIntermittent = 115, .aptPermanent = 140},
        {.h = 4, .rctIntermittent = 9, .rctPermanent = 16, .aptIntermittent = 71, .aptPermanent = 92},
        {.h = 6, .rctIntermittent = 6, .rctPermanent = 11, .aptIntermittent = 32, .aptPermanent = 45},
        {.h = 7.5, .rctIntermittent = 5, .rctPermanent = 9, .aptIntermittent = 20, .aptPermanent = 29},
        {.h = 8, .rctIntermittent = 5, .rctPermanent = 9, .aptIntermittent = 17, .aptPermanent = 26},
        // Not even a whole window of the reference is unlikely enough.
        {.h = 0.1, .rctIntermittent = 301, .rctPermanent = 601, .aptIntermittent = 507, .aptPermanent = 513},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.h);
        EXPECT_EQ(hwds::rctCutoff(c.h, 30), c.rctIntermittent);
        EXPECT_EQ(hwds::rctCutoff(c.h, 60), c.rctPermanent);
        EXPECT_EQ(hwds::aptCutoff(c.h, 30), c.aptIntermittent);
        EXPECT_EQ(hwds::aptCutoff(c.h, 60), c.aptPermanent);
    }
}

TEST(HealthStreams, EachRunAndWholeWindowThatReachesACutoffCountsOnce) {
    const struct {
        const char* name;
        Bytes bytes;
        uint64_t rct;
        uint64_t apt;
    } cases[] = {
        {"calm", calm(4096), 0, 0},
        {"a run of 8", withRun(4096, 700, 8), 0, 0},
        {"a run of 9", withRun(4096, 700, 9), 1, 0},
        {"a run of 40", withRun(4096, 700, 40), 1, 0},
        {"a run of 9 at the very start", withRun(4096, 0, 9), 1, 0},
        {"a reference 70 times", withReference(4096, 512, 70), 0, 0},
        {"a reference 71 times", withReference(4096, 512, 71), 0, 1},
        {"a reference 200 times", withReference(4096, 512, 200), 0, 1},
        {"in the first window", withReference(4096, 0, 71), 0, 1},
        {"in the last whole window", withReference(4096, 3584, 71), 0, 1},
        {"in a trailing partial window", withReference(4095, 3584, 71), 0, 0},
        // Not a window's first sample: 0x00 is no reference there.
        {"off the window's start", withReference(4096, 513, 71), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hwds::ContinuousCheck whole(4);
        whole.feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(whole.counts().rct, c.rct);
        EXPECT_EQ(whole.counts().apt, c.apt);
        hwds::ContinuousCheck pieces(4);
        for (std::size_t at = 0; at < c.bytes.size(); at += 100)
            pieces.feed(&c.bytes[at], std::min<std::size_t>(100, c.bytes.size() - at));
        EXPECT_EQ(pieces.counts().rct, c.rct);
        EXPECT_EQ(pieces.counts().apt, c.apt);
    }
}

TEST(HealthStreams, TheLevelsFailAtTheirCutoffs) {
    const struct {
        const char* name;
        Bytes bytes;
        unsigned failures;  // every level that failed along the stream
    } cases[] = {
        {"a run of 15", withRun(1024, 100, 15), hwds::kRctIntermittent},
        {"a run of 16", withRun(1024, 100, 16), hwds::kRctIntermittent | hwds::kRctPermanent},
        {"a reference 91 times", withReference(1024, 0, 91), hwds::kAptIntermittent},
        {"a reference 92 times", withReference(1024, 0, 92), hwds::kAptIntermittent | hwds::kAptPermanent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hwds::ContinuousTests tests(4);
        unsigned failures = 0;
        for (uint8_t sample : c.bytes) failures |= tests.test(sample);
        EXPECT_EQ(failures, c.failures);
    }
}

TEST(HealthStreams, ARestartBeginsARunAndAWindowAtTheNextSample) {
    const struct {
        const char* name;
        Bytes before;
        Bytes after;
        unsigned failures;  // of the samples after the restart
    } cases[] = {
        // 8 zeros on each side: two runs of 8, not one of 16.
        {.name = "a run cut", .before = withRun(8, 0, 8), .after = withRun(8, 0, 8), .failures = 0},
        // The window after the restart has 0x00 for its reference, not 0x01.
        {.name = "a window begun",
         .before = calm(100),
         .after = withReference(1024, 0, 71),
         .failures = hwds::kAptIntermittent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hwds::ContinuousTests tests(4);
        for (uint8_t sample : c.before) tests.test(sample);
        tests.restart();
        unsigned failures = 0;
        for (uint8_t sample : c.after) failures |= tests.test(sample);
        EXPECT_EQ(failures, c.failures);
    }
}

// Hands out its bytes in order, and counts what it was asked for.
class StreamSource : public HwDataSource {
public:
    Bytes stream;
    std::size_t at = 0;
    std::vector<uint32_t> requests;
    int32_t status = HWDS_OK;

    StreamSource() : HwDataSource("STREAM") {}
    bool providesRandom() override { return true; }
    bool providesStorage() override { return false; }
    const char* typeName() override { return "STREAM"; }
    int32_t getRandom(uint8_t* data, uint32_t length) override {
        requests.push_back(length);
        for (uint32_t i = 0; i < length; ++i) data[i] = at < stream.size() ? stream[at++] : 0x5A;
        return status;
    }
};

class CheckedRandom : public ::testing::Test {
protected:
    HWDSHealthReport report() {
        HWDSHealthReport r{};
        EXPECT_EQ(hwdsHealthReport(&source, &r), CE_OK);
        return r;
    }
    CeResult draw(Bytes* out) { return hwdsRandomChecked(&source, nullptr, out->data(), uint32_t(out->size())); }

    StreamSource source;
};

TEST_F(CheckedRandom, TheStartUpIsTestedAndNotHandedOut) {
    source.stream = calm(4096);
    const HWDSHealthReport before = report();
    EXPECT_EQ(before.state, HWDS_HEALTH_NOT_STARTED);
    EXPECT_EQ(before.samplesTested, 0u);
    EXPECT_EQ(before.minEntropyBitsPerByte, 4);
    EXPECT_EQ(before.rctIntermittentCutoff, 9u);
    EXPECT_EQ(before.rctPermanentCutoff, 16u);
    EXPECT_EQ(before.aptIntermittentCutoff, 71u);
    EXPECT_EQ(before.aptPermanentCutoff, 92u);

    Bytes first(16);
    EXPECT_EQ(draw(&first), CE_OK);
    EXPECT_EQ(first, Bytes(source.stream.begin() + 1024, source.stream.begin() + 1040));
    Bytes second(16);
    EXPECT_EQ(draw(&second), CE_OK);
    EXPECT_EQ(second, Bytes(source.stream.begin() + 1040, source.stream.begin() + 1056));
    EXPECT_EQ(source.requests, (std::vector<uint32_t>{1024, 16, 16}));
    EXPECT_EQ(report().state, HWDS_HEALTH_HEALTHY);
    EXPECT_EQ(report().samplesTested, 1056u);
}

TEST_F(CheckedRandom, AFailedStartUpIsRepeatedAtTheNextRequest) {
    source.stream = withRun(4096, 1000, 9);
    Bytes out(8, 0xEE);
    EXPECT_EQ(draw(&out), CE_RNG_INSECURE);
    EXPECT_EQ(out, Bytes(8, 0));
    EXPECT_EQ(report().state, HWDS_HEALTH_INTERMITTENT);
    EXPECT_EQ(report().failedTest, HWDS_HEALTH_TEST_RCT);
    EXPECT_EQ(report().failedSample, 1009u);
    EXPECT_EQ(draw(&out), CE_OK);
    EXPECT_EQ(out, Bytes(source.stream.begin() + 2048, source.stream.begin() + 2056));
    EXPECT_EQ(source.requests, (std::vector<uint32_t>{1024, 1024, 8}));
    EXPECT_EQ(report().state, HWDS_HEALTH_HEALTHY);
}

TEST_F(CheckedRandom, AnIntermittentFailureWithholdsTheRequestAndTheNextStartsAfresh) {
    // After the start-up: requests of 100; the third holds a run of 9 and
    // ends on 5 zeros that the fourth carries on for 5 more.
    Bytes stream = withRun(2048, 1024 + 250, 9);
    std::fill_n(stream.begin() + 1024 + 295, 10, 0x00);
    source.stream = stream;
    Bytes out(100);
    EXPECT_EQ(draw(&out), CE_OK);
    EXPECT_EQ(draw(&out), CE_OK);
    out.assign(100, 0xEE);
    EXPECT_EQ(draw(&out), CE_RNG_INSECURE);
    EXPECT_EQ(out, Bytes(100, 0));
    const HWDSHealthReport failed = report();
    EXPECT_EQ(failed.state, HWDS_HEALTH_INTERMITTENT);
    EXPECT_EQ(failed.rctIntermittentFailures, 1u);
    EXPECT_EQ(failed.rctPermanentFailures, 0u);
    EXPECT_EQ(failed.failedSample, 1024u + 259);
    EXPECT_EQ(draw(&out), CE_OK) << "a run is not carried into the next request";
    EXPECT_EQ(out, Bytes(stream.begin() + 1324, stream.begin() + 1424));
    EXPECT_EQ(report().state, HWDS_HEALTH_HEALTHY);
}

TEST_F(CheckedRandom, APermanentFailureEndsEveryLaterRequest) {
    source.stream = withReference(4096, 1536, 92);
    Bytes out(1024, 0xEE);
    EXPECT_EQ(draw(&out), CE_RNG_FAIL);
    EXPECT_EQ(out, Bytes(1024, 0));
    const HWDSHealthReport failed = report();
    EXPECT_EQ(failed.state, HWDS_HEALTH_FAILED);
    EXPECT_EQ(failed.aptIntermittentFailures, 1u);
    EXPECT_EQ(failed.aptPermanentFailures, 1u);
    EXPECT_EQ(failed.failedTest, HWDS_HEALTH_TEST_APT);
    EXPECT_EQ(failed.failedSample, 1536u + 2 * 91 + 1);
    source.stream = calm(4096);
    source.at = 0;
    EXPECT_EQ(draw(&out), CE_RNG_FAIL);
    EXPECT_EQ(hwdsHealthSettings(&source, 2), CE_OK);
    EXPECT_EQ(draw(&out), CE_RNG_FAIL) << "a failed source stays failed";
    EXPECT_EQ(source.requests, (std::vector<uint32_t>{1024, 1024}));
    // The unchecked request hands out what the generator gives, as ever.
    EXPECT_EQ(hwdsRandom(&source, nullptr, out.data(), 16), CE_OK);
    EXPECT_EQ(out[0], 1);
}

TEST_F(CheckedRandom, TheSourcesFailuresPassThroughWithNothingHandedOut) {
    source.stream = calm(4096);
    source.status = HWDS_FAILED;
    Bytes out(16, 0xEE);
    EXPECT_EQ(draw(&out), CE_HW_FAIL);
    EXPECT_EQ(out, Bytes(16, 0));
    EXPECT_EQ(report().state, HWDS_HEALTH_NOT_STARTED);
    EXPECT_EQ(report().samplesTested, 0u);
}

TEST_F(CheckedRandom, SettingsTakeOnlyAClaimASourceCanMake) {
    for (double bad : {0.0, -1.0, 8.01, std::nan("")}) EXPECT_EQ(hwdsHealthSettings(&source, bad), CE_BAD_PARAM) << bad;
    EXPECT_EQ(hwdsHealthSettings(nullptr, 4), CE_BAD_PARAM);
    EXPECT_EQ(hwdsHealthReport(&source, nullptr), CE_BAD_PARAM);
    EXPECT_EQ(hwdsHealthSettings(&source, 8), CE_OK);
    const HWDSHealthReport r = report();
    EXPECT_EQ(r.minEntropyBitsPerByte, 8);
    EXPECT_EQ(r.rctIntermittentCutoff, 5u);
    EXPECT_EQ(r.rctPermanentCutoff, 9u);
    EXPECT_EQ(r.aptIntermittentCutoff, 17u);
    EXPECT_EQ(r.aptPermanentCutoff, 26u);
    // At 8 bits a run of 5 is already too long.
    source.stream = withRun(4096, 1100, 5);
    Bytes out(512);
    EXPECT_EQ(draw(&out), CE_RNG_INSECURE);
}

TEST(HealthTypes, EveryTypeClaimsFourBitsUntilAssessed) {
    for (const char* type : {"TUVAK", "ACCORD", "SOBOL", "sobol"}) EXPECT_EQ(hwdsClaimedMinEntropy(type), 4) << type;
}

}  // namespace
