// hwds check against rngtest on the same bytes: random bytes of every
// simulator, faulty generators and crafted streams. The FIPS counts must be
// equal; only hwds check sees the repeated blocks.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#if defined(HWDS_CLI_PATH) && defined(TUVAK_SIM_PATH)

namespace {

constexpr char kRngtest[] = "/usr/bin/rngtest";
constexpr std::size_t kBlock = 2500;

// successes, failures and the five tests, then the repeated blocks (-1 when
// the text has none).
std::vector<long> figures(const std::string& text) {
    std::vector<long> out;
    for (const char* label : {"successes", "failures", "Monobit", "Poker", "Runs", "Long run", "Continuous run",
                              "repeated blocks"}) {
        std::smatch m;
        const std::regex line(std::string(label) + ": ([0-9]+)");
        out.push_back(std::regex_search(text, m, line) ? std::stol(m[1]) : -1);
    }
    return out;
}

std::string noise(std::size_t n, uint64_t seed, double keep = 0.5) {
    // Bits that repeat the one before with the chance `keep`: 0.5 is random.
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

class RngHealth : public ::testing::Test {
protected:
    void SetUp() override {
        if (e2e::WineHost::get()) GTEST_SKIP() << "runs the Linux build only";
        if (!std::filesystem::exists(kRngtest)) GTEST_SKIP() << "rngtest is absent (Debian package rng-tools5)";
        ASSERT_FALSE(dir.path.empty());
    }
    sim::RunResult hwds(const std::vector<std::string>& args, const std::vector<std::string>& settings = {}) {
        std::vector<std::string> argv{HWDS_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        // The first of two settings of one name is the one a program sees.
        std::vector<std::string> env = settings;
        env.insert(env.end(), {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "SNELLOCK_SIM=card=1"});
        if (!registry.empty()) env.push_back("HWDS_REGISTRY=" + registry);
        return sim::runProgram(argv, env, 120000);
    }
    std::string save(const std::string& name, const std::string& bytes) {
        const std::string path = dir.path + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    fakes::TempDir dir;
    std::string registry;
};

TEST_F(RngHealth, CheckCountsAsRngtestDoesAndFindsTheRepeats) {
    sim::SimProcess tuvak{TUVAK_SIM_PATH};
    std::string error;
    ASSERT_TRUE(tuvak.start({"--random-ones", "52", "BIASED", "--reset", "GOOD"}, &error)) << error;
    registry = tuvak.registryFile;

    auto drawn = [&](const std::vector<std::string>& args, const std::vector<std::string>& settings = {}) {
        const sim::RunResult r = hwds(args, settings);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    };
    const std::string random = noise(4 + 20 * kBlock, 1);
    std::string x55 = random, zeros32 = random, word = random, block = random, biased = random;
    std::fill_n(x55.begin() + 4 + 3 * kBlock, kBlock, '\x55');
    std::fill_n(zeros32.begin() + 4 + 5 * kBlock + 1001, 4, '\0');
    std::copy_n(word.begin() + 4 + 7 * kBlock + 600, 4, word.begin() + 4 + 7 * kBlock + 604);
    std::copy_n(block.begin() + 4 + 2 * kBlock, kBlock, block.begin() + 4 + 9 * kBlock);
    for (std::size_t i = 4 + kBlock; i < 4 + 2 * kBlock; i += 3) biased[i] = static_cast<char>(biased[i] | 0x81);

    const struct {
        const char* name;
        std::string bytes;
        long repeated;
    } cases[] = {
        {"SOBOL", drawn({"random", "SOBOL", "--bytes", "1M"}), 0},
        {"ACCORD", drawn({"random", "ACCORD", "--bytes", "256K"}), 0},
        {"TUVAK", drawn({"random", "TUVAK", "GOOD", "--bytes", "64K"}), 0},
        {"TUVAK biased", drawn({"random", "TUVAK", "BIASED", "--bytes", "64K"}), 0},
        {"SOBOL biased", drawn({"random", "SOBOL", "--bytes", "256K"}, {"SNELLOCK_SIM=card=1 ones=51"}), 0},
        // One request: every block after the first repeats it.
        {"SOBOL stuck", drawn({"random", "SOBOL", "--bytes", "64K"}, {"SNELLOCK_SIM=card=1 stuck=2500"}), 25},
        // Four equal requests of 64 KiB: their period lines up with the
        // blocks only after 16384 of them, so nothing repeats here.
        {"ACCORD restarting",
         drawn({"random", "ACCORD", "--bytes", "256K"}, {"TMDRV32_SIM=restart-every=1"}), 0},
        {"a biased block", biased, 0},
        {"a block of 0x55", x55, 0},
        {"32 zero bits", zeros32, 0},
        {"a repeated word", word, 0},
        {"a repeated block", block, 1},
        {"correlated bits", noise(4 + 100 * kBlock, 2, 0.52), 0},
        {"skewed nibbles", skewedNibbles(4 + 100 * kBlock, 3, 4), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = save("bytes", c.bytes);
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
    // A whole megabyte from the card: no 4 KiB block twice.
    const sim::RunResult all = hwds({"random", "SOBOL", "--bytes", "1M"});
    ASSERT_EQ(all.out.size(), 1048576u) << all.err;
    std::set<std::string> blocks;
    for (std::size_t at = 0; at < all.out.size(); at += 4096) blocks.insert(all.out.substr(at, 4096));
    EXPECT_EQ(blocks.size(), 256u);

    const sim::RunResult checked = hwds({"random", "SOBOL", "--bytes", "1M", "--check"});
    EXPECT_EQ(checked.exitCode, 0) << checked.err;
    EXPECT_EQ(checked.out, all.out.substr(4, 419 * kBlock));
    EXPECT_EQ(figures(checked.err), (std::vector<long>{419, 0, 0, 0, 0, 0, 0, 0}));

    // A stuck card: the first block goes on, its repeats do not.
    const sim::RunResult stuck =
        hwds({"random", "SOBOL", "--bytes", "10004", "--check"}, {"SNELLOCK_SIM=card=1 stuck=2500"});
    EXPECT_EQ(stuck.exitCode, 5);
    EXPECT_EQ(stuck.out.size(), kBlock);
    EXPECT_EQ(figures(stuck.err), (std::vector<long>{4, 0, 0, 0, 0, 0, 0, 3}));

    const sim::RunResult json = hwds({"check", "--json", save("empty", "")});
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.out,
              "{\"successes\": 0, \"failures\": 0, \"monobit\": 0, \"poker\": 0, \"runs\": 0, \"long_run\": 0, "
              "\"continuous_run\": 0, \"repeated_blocks\": 0}\n");
    EXPECT_EQ(hwds({"check", dir.path + "/none"}).exitCode, 2);
}

}  // namespace

#endif
