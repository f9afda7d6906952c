// The FIPS 140-2 tests and the repeat count of the health module, on crafted streams whose counts rngtest gives alike.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <vector>

#include "cli/fips.h"
#include "hwds/health.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr std::size_t kBlock = 2500;

// Random-looking bytes, the same on every system.
Bytes noise(std::size_t n, uint64_t seed) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i % 8 == 0) seed += 0x9E3779B97F4A7C15ull;
        uint64_t z = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        out[i] = static_cast<uint8_t>((z ^ (z >> 31)) >> (8 * (i % 8)));
    }
    return out;
}

// The 32-bit start and three random blocks, with `change` applied.
Bytes stream(void (*change)(Bytes&)) {
    Bytes s = noise(4 + 3 * kBlock, 42);
    change(s);
    return s;
}

// Successes, failures, monobit, poker, runs, long run, continuous run, repeated blocks.
using Counts = std::array<uint64_t, 8>;
Counts counts(const hwds::FipsCounts& c) {
    return {c.successes, c.failures, c.monobit, c.poker, c.runs, c.longRun, c.continuousRun, c.repeated};
}

TEST(Fips, CraftedStreamsCountAsRngtestCountsThem) {
    const struct {
        const char* name;
        Bytes bytes;
        Counts expected;
    } cases[] = {
        {"random", stream([](Bytes&) {}), {3, 0, 0, 0, 0, 0, 0, 0}},
        {"all zeros", Bytes(4 + 2 * kBlock, 0), {0, 2, 2, 2, 2, 2, 2, 1}},
        {"a block of 0x55",
         stream([](Bytes& s) { std::fill_n(s.begin() + 4 + kBlock, kBlock, 0x55); }),
         {2, 1, 0, 1, 1, 0, 1, 0}},
        {"32 zero bits", stream([](Bytes& s) { std::fill_n(s.begin() + 1001, 4, 0); }), {2, 1, 0, 0, 0, 1, 0, 0}},
        {"a word twice",
         stream([](Bytes& s) { std::copy_n(s.begin() + 1000, 4, s.begin() + 1004); }),
         {2, 1, 0, 0, 0, 0, 1, 0}},
        {"a word twice across blocks",
         stream([](Bytes& s) { std::copy_n(s.begin() + kBlock, 4, s.begin() + 4 + kBlock); }),
         {2, 1, 0, 0, 0, 0, 1, 0}},
        {"the same word unaligned",
         stream([](Bytes& s) { std::copy_n(s.begin() + 1000, 4, s.begin() + 1002); }),
         {3, 0, 0, 0, 0, 0, 0, 0}},
        {"a biased block",
         stream([](Bytes& s) {
             for (std::size_t i = 4; i < 4 + kBlock; i += 4) s[i] |= 0x0F;
         }),
         {2, 1, 1, 1, 1, 0, 0, 0}},
        {"a repeated block",
         stream([](Bytes& s) { std::copy_n(s.begin() + 4, kBlock, s.begin() + 4 + 2 * kBlock); }),
         {3, 0, 0, 0, 0, 0, 0, 1}},
        {"a partial block at the end", noise(4 + 2 * kBlock - 1, 42), {1, 0, 0, 0, 0, 0, 0, 0}},
        {"only the start", noise(4, 42), {0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hwds::FipsCheck whole;
        whole.feed(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(counts(whole.counts()), c.expected);
        // Pieces of any size give the same counts.
        hwds::FipsCheck pieces;
        for (std::size_t at = 0; at < c.bytes.size(); at += 7)
            pieces.feed(&c.bytes[at], std::min<std::size_t>(7, c.bytes.size() - at));
        EXPECT_EQ(counts(pieces.counts()), c.expected);
    }
}

TEST(Fips, OnlyBlocksThatPassAndRepeatNothingGoOn) {
    Bytes s = noise(4 + 4 * kBlock, 7);
    std::fill_n(s.begin() + 4 + kBlock, kBlock, 0x55);               // fails
    std::copy_n(s.begin() + 4, kBlock, s.begin() + 4 + 3 * kBlock);  // repeats the first
    hwds::FipsCheck check;
    Bytes passed;
    check.feed(s.data(), s.size(), &passed);
    Bytes expected(s.begin() + 4, s.begin() + 4 + kBlock);
    expected.insert(expected.end(), s.begin() + 4 + 2 * kBlock, s.begin() + 4 + 3 * kBlock);
    EXPECT_EQ(passed, expected);
    EXPECT_FALSE(check.counts().healthy());
}

TEST(Fips, ReportInRngtestWordsAndAsJson) {
    const hwds::FipsCounts c{
        .successes = 9,
        .failures = 2,
        .monobit = 1,
        .poker = 2,
        .runs = 3,
        .longRun = 4,
        .continuousRun = 5,
        .repeated = 6,
    };
    const hwds::ContinuousCounts continuous{.rct = 7, .apt = 8};
    EXPECT_EQ(cli::healthReport(c),
              "FIPS 140-2 successes: 9\nFIPS 140-2 failures: 2\n"
              "FIPS 140-2(2001-10-10) Monobit: 1\nFIPS 140-2(2001-10-10) Poker: 2\n"
              "FIPS 140-2(2001-10-10) Runs: 3\nFIPS 140-2(2001-10-10) Long run: 4\n"
              "FIPS 140-2(2001-10-10) Continuous run: 5\nrepeated blocks: 6\n");
    EXPECT_EQ(cli::continuousReport(continuous), "SP 800-90B repetition count: 7\nSP 800-90B adaptive proportion: 8\n");
    const nlohmann::json j = nlohmann::json::parse(cli::healthJson(c, continuous));
    EXPECT_EQ(j, nlohmann::json({{"successes", 9},
                                 {"failures", 2},
                                 {"monobit", 1},
                                 {"poker", 2},
                                 {"runs", 3},
                                 {"long_run", 4},
                                 {"continuous_run", 5},
                                 {"repeated_blocks", 6},
                                 {"rct_failures", 7},
                                 {"apt_failures", 8}}));
}

}  // namespace
