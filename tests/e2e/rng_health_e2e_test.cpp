// hwds check against rngtest on the same bytes: simulated generators, good and
// faulty, and crafted streams. The FIPS counts must be equal; only hwds check
// sees the repeated blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#ifndef HWDS_CLI_PATH
#error "this suite runs hwds: build it where that program is built"
#endif

namespace {

using Strings = std::vector<std::string>;
constexpr char kRngtest[] = "/usr/bin/rngtest";
constexpr std::size_t kBlock = 2500;

// successes, failures and the five tests, then the repeated blocks (-1 when none).
std::vector<long> figures(const std::string& text) {
    std::vector<long> out;
    for (const std::string label :
         {"successes", "failures", "Monobit", "Poker", "Runs", "Long run", "Continuous run", "repeated blocks"}) {
        std::smatch m;
        out.push_back(std::regex_search(text, m, std::regex(label + ": ([0-9]+)")) ? std::stol(m[1]) : -1);
    }
    return out;
}

// Bits that repeat the one before with the chance `keep`: 0.5 is random.
std::string noise(std::size_t n, uint64_t seed, double keep = 0.5) {
    std::string out(n, '\0');
    int bit = 0;
    for (std::size_t i = 0; i < n * 8; ++i) {
        seed += 0x9E3779B97F4A7C15ull;
        uint64_t z = (seed ^ (seed >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        if (static_cast<double>(z >> 11) / 9007199254740992.0 >= keep) bit ^= 1;
        out[i / 8] = static_cast<char>(out[i / 8] | bit << (7 - i % 8));
    }
    return out;
}

// Nibbles of which a share `skew` is 1010: the poker test fails some.
std::string skewedNibbles(std::size_t n, uint64_t seed, int skewPercent) {
    std::string out = noise(n, seed);
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<uint8_t>(out[(i * 7919) % n]) % 100 < skewPercent) out[i] = static_cast<char>(0xAA);
    return out;
}

// A block whose runs of six bits or more sit at the top of their interval
// for the zeros and one below it for the ones, ending on a run of six zeros:
// it passes only where the last run counts among the other bit's runs.
std::string runsAtTheEdge() {
    struct Lengths {
        int ones[6];
        int zeros[6];
    };
    const Lengths counts = {.ones = {2344, 1250, 625, 312, 156, 208}, .zeros = {2342, 1250, 625, 312, 156, 209}};
    std::vector<int> ones;
    std::vector<int> zeros;
    for (int n = 0; n < 6; ++n) {
        ones.insert(ones.end(), counts.ones[n], n + 1);
        zeros.insert(zeros.end(), counts.zeros[n], n + 1);
    }
    std::mt19937 order(7);
    std::shuffle(ones.begin(), ones.end(), order);
    std::shuffle(zeros.begin(), zeros.end(), order);
    zeros.push_back(6);
    std::string bits;
    for (std::size_t i = 0; i < ones.size(); ++i) {
        bits.append(static_cast<std::size_t>(ones[i]), '1');
        bits.append(static_cast<std::size_t>(zeros[i]), '0');
    }
    std::string block(bits.size() / 8, '\0');
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1') block[i / 8] = static_cast<char>(block[i / 8] | 1 << (7 - i % 8));
    return block;
}

class RngHealth : public ::testing::Test {
protected:
    void SetUp() override {
        if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
        if (!std::filesystem::exists(kRngtest)) GTEST_SKIP() << "rngtest is absent (Debian package rng-tools5)";
        ASSERT_FALSE(dir.path.empty());
    }
    sim::RunResult hwds(Strings args, Strings settings = {}) {
        args.insert(args.begin(), HWDS_CLI_PATH);
        // The first of two settings of one name is the one a program sees.
        settings.insert(settings.end(), {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "SNELLOCK_SIM=card=1"});
        return sim::runProgram(args, settings, 120000);
    }
    std::string drawn(const Strings& args, const Strings& settings = {}) {
        const sim::RunResult r = hwds(args, settings);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    fakes::TempDir dir;
};

TEST_F(RngHealth, CheckCountsAsRngtestDoesAndFindsTheRepeats) {
    // Twenty random blocks after the 4 bytes that rngtest skips, `bytes` put at `at`.
    const std::string random = noise(4 + 20 * kBlock, 1);
    auto patched = [&](std::size_t at, const std::string& bytes) {
        return std::string(random).replace(4 + at, bytes.size(), bytes);
    };
    std::string biased = random;
    for (std::size_t i = 4 + kBlock; i < 4 + 2 * kBlock; i += 3) biased[i] = static_cast<char>(biased[i] | 0x81);

    const struct {
        const char* name;
        std::string bytes;
        long repeated;
    } cases[] = {
        {"SOBOL", drawn({"random", "SOBOL", "--bytes", "1M"}), 0},
        {"SOBOL biased", drawn({"random", "SOBOL", "--bytes", "256K"}, {"SNELLOCK_SIM=card=1 ones=51"}), 0},
        // One request: every block after the first repeats it.
        {"SOBOL stuck", drawn({"random", "SOBOL", "--bytes", "64K"}, {"SNELLOCK_SIM=card=1 stuck=2500"}), 25},
        // Four equal requests of 64 KiB: their period lines up with the
        // blocks only after 16384 of them, so nothing repeats here.
        {"ACCORD restarting", drawn({"random", "ACCORD", "--bytes", "256K"}, {"TMDRV32_SIM=restart-every=1"}), 0},
        {"a biased block", biased, 0},
        {"a block of 0x55", patched(3 * kBlock, std::string(kBlock, '\x55')), 0},
        {"32 zero bits", patched(5 * kBlock + 1001, std::string(4, '\0')), 0},
        {"a repeated word", patched(7 * kBlock + 604, random.substr(4 + 7 * kBlock + 600, 4)), 0},
        {"a repeated block", patched(9 * kBlock, random.substr(4 + 2 * kBlock, kBlock)), 1},
        {"runs at the edge", patched(11 * kBlock, runsAtTheEdge()), 0},
        {"the first word repeats the skipped one", patched(0, random.substr(0, 4)), 0},
        {"correlated bits", noise(4 + 100 * kBlock, 2, 0.52), 0},
        {"skewed nibbles", skewedNibbles(4 + 100 * kBlock, 3, 4), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("bytes", c.bytes);
        const sim::RunResult theirs = sim::runProgram({"/bin/sh", "-c", std::string(kRngtest) + " < " + path});
        const sim::RunResult ours = hwds({"check", path});
        std::vector<long> expected = figures(theirs.err);
        ASSERT_EQ(expected.back(), -1) << theirs.err;
        expected.back() = c.repeated;
        EXPECT_EQ(figures(ours.err), expected) << theirs.err << ours.err;
        EXPECT_EQ(ours.exitCode, expected[1] == 0 && c.repeated == 0 ? 0 : 5);
    }
}

TEST_F(RngHealth, RandomCheckPassesOnTheGoodBlocks) {
    // The card seeds alike in every run: the checked bytes are the unchecked ones, the first block's head cut.
    const std::string all = drawn({"random", "SOBOL", "--bytes", "1M"});
    ASSERT_EQ(all.size(), 1048576u);
    // The card's generator runs on across its library's loads: no 4 KiB block twice.
    std::set<std::string> blocks;
    for (std::size_t at = 0; at < all.size(); at += 4096) blocks.insert(all.substr(at, 4096));
    EXPECT_EQ(blocks.size(), 256u);
    const sim::RunResult checked = hwds({"random", "SOBOL", "--bytes", "1M", "--check"});
    EXPECT_EQ(checked.exitCode, 0) << checked.err;
    EXPECT_EQ(checked.out, all.substr(4, 419 * kBlock));
    EXPECT_EQ(figures(checked.err), (std::vector<long>{419, 0, 0, 0, 0, 0, 0, 0}));

    // A stuck card: the first block goes on, its repeats do not.
    const sim::RunResult stuck =
        hwds({"random", "SOBOL", "--bytes", "10004", "--check"}, {"SNELLOCK_SIM=card=1 stuck=2500"});
    EXPECT_EQ(stuck.exitCode, 5);
    EXPECT_EQ(stuck.out.size(), kBlock);
    EXPECT_EQ(figures(stuck.err), (std::vector<long>{4, 0, 0, 0, 0, 0, 0, 3}));

    const sim::RunResult json = hwds({"check", "--json", dir.write("empty", "")});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out,
              "{\"successes\": 0, \"failures\": 0, \"monobit\": 0, \"poker\": 0, \"runs\": 0, \"long_run\": 0, "
              "\"continuous_run\": 0, \"repeated_blocks\": 0, \"rct_failures\": 0, \"apt_failures\": 0}\n");
    EXPECT_EQ(hwds({"check", dir.path + "/none"}).exitCode, 2);
}

TEST_F(RngHealth, CheckedDrawsCatchEveryFaultOfTheDriverSimulators) {
    const struct {
        const char* name;
        Strings args;
        std::string settings;
        int status;
        std::string says;
    } cases[] = {
        // A first byte that is not zero: the health tests see it, not the all-zero rule.
        {.name = "SOBOL stuck on one byte",
         .args = {"random", "SOBOL", "--bytes", "1M"},
         .settings = "SNELLOCK_SIM=card=1 stuck=1 seed=99999",
         .status = 5,
         .says = "the SP 800-90B repetition count test failed for good at sample 16 of the source's stream "
                 "(CE_RNG_FAIL)"},
        // 00 14 00 14 ...: the first sample is the window's reference, its 92nd time is sample 183.
        {.name = "SOBOL stuck on two bytes",
         .args = {"random", "SOBOL", "--bytes", "1M"},
         .settings = "SNELLOCK_SIM=card=1 stuck=2 seed=5",
         .status = 5,
         .says = "the SP 800-90B adaptive proportion test failed for good at sample 183 of the source's stream "
                 "(CE_RNG_FAIL)"},
        {.name = "SOBOL biased",
         .args = {"random", "SOBOL", "--bytes", "1M"},
         .settings = "SNELLOCK_SIM=card=1 ones=90",
         .status = 5,
         .says = "SOBOL: random bytes failed after 0 bytes: the SP 800-90B adaptive proportion test failed"},
        // Too slight a bias for a claim of 4 bits a byte, not for 8.
        {.name = "SOBOL claimed at 8 bits",
         .args = {"random", "SOBOL", "--bytes", "4M", "--min-entropy", "8"},
         .settings = "SNELLOCK_SIM=card=1 ones=65",
         .status = 5,
         .says = "(CE_RNG_INSECURE)"},
        {.name = "SOBOL claimed at 4 bits",
         .args = {"random", "SOBOL", "--bytes", "4M", "--min-entropy", "4"},
         .settings = "SNELLOCK_SIM=card=1 ones=65",
         .status = 0,
         .says = ""},
        {.name = "ACCORD stuck on one byte",
         .args = {"random", "ACCORD", "--bytes", "1M"},
         .settings = "TMDRV32_SIM=stuck=1 seed=99999",
         .status = 5,
         .says = "ACCORD: random bytes failed after 0 bytes: the SP 800-90B repetition count test failed for good "
                 "at sample 16"},
        {.name = "ACCORD stuck on two bytes",
         .args = {"random", "ACCORD", "--bytes", "1M"},
         .settings = "TMDRV32_SIM=stuck=2 seed=5",
         .status = 5,
         .says = "the SP 800-90B adaptive proportion test failed for good at sample 183"},
        {.name = "ACCORD biased",
         .args = {"random", "ACCORD", "--bytes", "1M"},
         .settings = "TMDRV32_SIM=ones=90",
         .status = 5,
         .says = "the SP 800-90B adaptive proportion test failed"},
        {.name = "a claim out of range",
         .args = {"random", "SOBOL", "--bytes", "1K", "--min-entropy", "0"},
         .settings = "SNELLOCK_SIM=card=1",
         .status = 2,
         .says = "--min-entropy 0.000000 is not a claim in bits a byte: more than 0, at most 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const sim::RunResult r = hwds(c.args, {c.settings});
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "");
        }
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    // Unchecked, the stuck card's bytes go out as they come.
    const sim::RunResult raw =
        hwds({"random", "SOBOL", "--bytes", "8", "--unchecked"}, {"SNELLOCK_SIM=card=1 stuck=2 seed=5"});
    EXPECT_EQ(raw.exitCode, 0);
    EXPECT_EQ(raw.out, std::string("\x00\x14\x00\x14\x00\x14\x00\x14", 8));
}

TEST_F(RngHealth, AHealthyCardGives64MiBWithoutAFalseAlarm) {
    const std::string command = std::string(HWDS_CLI_PATH) + " random SOBOL --bytes 64M | wc -c";
    const sim::RunResult r = sim::runProgram({"/bin/sh", "-c", command},
                                             {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "SNELLOCK_SIM=card=1"}, 120000);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "67108864\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(RngHealth, CheckCountsTheContinuousTestsOfCraftedFiles) {
    // Values 1 to 255 in turn: no run, no value more than twice in a window.
    std::string calm(8192, '\0');
    for (std::size_t i = 0; i < calm.size(); ++i) calm[i] = static_cast<char>(i % 255 + 1);
    auto runs = [&](std::size_t length, std::initializer_list<std::size_t> at) {
        std::string out = calm;
        for (std::size_t start : at) out.replace(start, length, length, '\0');
        return out;
    };
    // The window at `window` holds its reference `count` times.
    auto references = [&](std::size_t count, std::initializer_list<std::size_t> windows, std::size_t size = 8192) {
        std::string out = calm.substr(0, size);
        for (std::size_t window : windows)
            for (std::size_t i = 0; i < count; ++i) out[window + 2 * i] = '\0';
        return out;
    };
    const struct {
        const char* name;
        std::string bytes;
        const char* minEntropy;
        int rct;
        int apt;
    } cases[] = {
        {.name = "calm", .bytes = calm, .minEntropy = "4", .rct = 0, .apt = 0},
        {.name = "runs of 8", .bytes = runs(8, {100, 3000}), .minEntropy = "4", .rct = 0, .apt = 0},
        {.name = "runs of 9 and 30", .bytes = runs(9, {100, 3000}), .minEntropy = "4", .rct = 2, .apt = 0},
        {.name = "a run of 30", .bytes = runs(30, {5000}), .minEntropy = "4", .rct = 1, .apt = 0},
        {.name = "runs of 5 at 8 bits", .bytes = runs(5, {100, 3000, 7000}), .minEntropy = "8", .rct = 3, .apt = 0},
        {.name = "a reference 70 times", .bytes = references(70, {1024}), .minEntropy = "4", .rct = 0, .apt = 0},
        {.name = "references 71 times",
         .bytes = references(71, {0, 1024, 7680}),
         .minEntropy = "4",
         .rct = 0,
         .apt = 3},
        {.name = "in a trailing partial window",
         .bytes = references(71, {7680}, 8191),
         .minEntropy = "4",
         .rct = 0,
         .apt = 0},
        {.name = "a reference 17 times at 8 bits",
         .bytes = references(17, {512}),
         .minEntropy = "8",
         .rct = 0,
         .apt = 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("crafted", c.bytes);
        const sim::RunResult r = hwds({"check", "--json", "--min-entropy", c.minEntropy, path});
        // Some of these streams fail FIPS 140-2 too, which alone gives status 5.
        const std::vector<long> fips = figures(r.err);
        EXPECT_EQ(r.exitCode, c.rct + c.apt + fips[1] + fips[7] == 0 ? 0 : 5) << r.err;
        const std::string counts =
            "\"rct_failures\": " + std::to_string(c.rct) + ", \"apt_failures\": " + std::to_string(c.apt) + "}\n";
        EXPECT_NE(r.out.find(counts), std::string::npos) << r.out;
        const std::string lines = "SP 800-90B repetition count: " + std::to_string(c.rct) +
                                  "\nSP 800-90B adaptive proportion: " + std::to_string(c.apt) + "\n";
        EXPECT_NE(r.err.find("repeated blocks: 0\n" + lines), std::string::npos) << r.err;
    }

    // Random bytes that pass FIPS 140-2: a run of five alone gives status 5 at 8 bits a byte.
    const std::string random = noise(4 + 4 * kBlock, 1);
    const std::string path = dir.write("random", random);
    const sim::RunResult passing = hwds({"check", "--min-entropy", "8", path});
    EXPECT_EQ(passing.exitCode, 0) << passing.err;
    const std::string run = dir.write("run", std::string(random).replace(1001, 5, 5, '\x55'));
    const sim::RunResult failing = hwds({"check", "--min-entropy", "8", run});
    EXPECT_EQ(failing.exitCode, 5) << failing.err;
    EXPECT_NE(failing.err.find("FIPS 140-2 failures: 0\n"), std::string::npos) << failing.err;
    EXPECT_NE(failing.err.find("SP 800-90B repetition count: 1\n"), std::string::npos) << failing.err;

    // So does a window's reference 17 times, with no run and FIPS 140-2 passed.
    std::string reference = random;
    for (std::size_t i = 1; i < 17; ++i) reference[1024 + 20 * i] = reference[1024];
    const sim::RunResult apt = hwds({"check", "--min-entropy", "8", dir.write("reference", reference)});
    EXPECT_EQ(apt.exitCode, 5) << apt.err;
    EXPECT_NE(apt.err.find("FIPS 140-2 failures: 0\n"), std::string::npos) << apt.err;
    EXPECT_NE(apt.err.find("SP 800-90B repetition count: 0\nSP 800-90B adaptive proportion: 1\n"), std::string::npos)
        << apt.err;
}

}  // namespace
