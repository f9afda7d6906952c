// hwds end to end: the built front end against tuvak-sim over ptys, with the
// driver data in the simulator's regedit file.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "sim/drivers/sim_driver.h"
#include "sim/model/tuvak_device.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#if defined(HWDS_CLI_PATH) && defined(TUVAK_SIM_PATH)

namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

constexpr char kId[] = "AB12CD34E";

class HwdsE2e : public ::testing::Test {
protected:
    void SetUp() override {
        // These cases drive the Linux hwds; the Windows one runs its portable tests under Wine.
        if (e2e::WineHost::get()) GTEST_SKIP() << "hwds end to end runs the Linux build only";
        ASSERT_FALSE(dir.path.empty()) << "no temporary directory";
    }

    void startSim(const std::vector<std::string>& args) {
        std::string error;
        ASSERT_TRUE(sim.start(args, &error)) << error;
    }
    sim::RunResult hwds(const std::vector<std::string>& args, const std::string& registry = "") {
        std::vector<std::string> argv{HWDS_CLI_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = drivers;
        env.push_back("LC_ALL=C.UTF-8");
        env.push_back("HWDS_REGISTRY=" + (registry.empty() ? sim.registryFile : registry));
        return sim::runProgram(argv, env);
    }
    std::map<std::string, std::array<uint8_t, 128>> memories() {
        std::string text, error;
        EXPECT_TRUE(sim.requestDump(&text, &error)) << error;
        return sim::parseDump(text);
    }
    std::string frames() {
        std::string log;
        sim::readTextFile(sim.logFile, &log);
        return log;
    }

    fakes::TempDir dir;
    sim::SimProcess sim{TUVAK_SIM_PATH};
    // The simulated driver libraries, found through the loader's search.
    std::vector<std::string> drivers{"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "TMDRV32_SIM=present=0",
                                     "SNELLOCK_SIM=card=0"};
};

// Standard output must be one JSON array and nothing else.
json jsonArray(const sim::RunResult& r) {
    json parsed = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(parsed.is_array()) << r.out;
    return parsed.is_array() ? parsed : json::array();
}

bool allBytes(const std::array<uint8_t, 128>& memory, uint8_t value) {
    return std::all_of(memory.begin(), memory.end(), [&](uint8_t b) { return b == value; });
}

TEST_F(HwdsE2e, HelpOnEverySubcommandAndTheExitStatuses) {
    const std::vector<std::vector<std::string>> helps = {
        {"--help"}, {"list", "--help"}, {"read", "--help"}, {"write", "--help"},
        {"dump", "--help"}, {"random", "--help"}, {"wipe", "--help"},
    };
    for (const auto& args : helps) {
        const sim::RunResult r = hwds(args, dir.path + "/none.reg");
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
        if (args.size() > 1) {
            EXPECT_NE(r.out.find(args[0]), std::string::npos) << r.out;
        }
        EXPECT_NE(r.out.find("Exit status:"), std::string::npos) << r.out;
    }
    EXPECT_EQ(hwds({"--version"}).exitCode, 0);
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"list", "--bogus"}}) {
        const sim::RunResult r = hwds(args, dir.path + "/none.reg");
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

TEST_F(HwdsE2e, ListShowsTheSimulatedDevicesAndTheOtherSources) {
    startSim({kId, "FFEE0011"});
    const sim::RunResult text = hwds({"list"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    // Columns line up: the shorter identifier is padded to the longer.
    EXPECT_NE(text.out.find("TUVAK   " + sim.devices()[0].id + "  " + sim.devices()[0].com + "  " +
                            sim.devices()[0].pty + "\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("TUVAK   " + sim.devices()[1].id + "   " + sim.devices()[1].com + "  " +
                            sim.devices()[1].pty + "\n"),
              std::string::npos)
        << text.out;

    const sim::RunResult r = hwds({"list", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json entries = jsonArray(r);
    ASSERT_EQ(entries.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(entries[i]["type"], "TUVAK");
        EXPECT_EQ(entries[i]["id"], sim.devices()[i].id);
        EXPECT_EQ(entries[i]["com"], sim.devices()[i].com);
        EXPECT_EQ(entries[i]["node"], sim.devices()[i].pty);
        EXPECT_EQ(entries[i]["ok"], true);
    }
    EXPECT_EQ(entries[2]["type"], "ACCORD");
    EXPECT_EQ(entries[3]["type"], "SOBOL");
    for (std::size_t i = 2; i < 4; ++i) {
        EXPECT_TRUE(entries[i]["ok"].is_boolean());
        EXPECT_EQ(entries[i]["result"].get<std::string>().rfind("CE_", 0), 0u);
    }
    EXPECT_EQ(frames(), "") << "listing touched a device";

    const std::string broken = dir.write("broken.reg", "not a registry\n");
    const sim::RunResult bad = hwds({"list"}, broken);
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.err.find(broken), std::string::npos) << bad.err;
    // A Count too long for a number: the driver's data cannot be read.
    const std::string longCount = dir.write("count.reg", "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n\"Count\"=hex:01,00,00,00,00\n");
    EXPECT_EQ(hwds({"list"}, longCount).exitCode, 1);
}

TEST_F(HwdsE2e, ReadWriteAndDumpTheMemory) {
    startSim({"--pattern", "ascending", kId});
    const sim::RunResult part = hwds({"read", "tuvak", kId, "--offset", "0x10", "--length", "20"});
    EXPECT_EQ(part.exitCode, 0) << part.err;
    EXPECT_EQ(part.out,
              "10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n20 21 22 23\n");
    const sim::RunResult raw = hwds({"read", "TUVAK", kId, "--offset", "120", "--format", "raw"});
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(raw.out, std::string("\x78\x79\x7a\x7b\x7c\x7d\x7e\x7f"));

    sim::RunResult w = hwds({"write", "TUVAK", kId, "--offset", "124", "--hex", "de ad be ef"});
    EXPECT_EQ(w.exitCode, 0) << w.err;
    const std::string file = dir.write("bytes.bin", std::string("\x00\xff\n\r", 4));
    w = hwds({"write", "TUVAK", kId, "--offset", "0", "--file", file});
    EXPECT_EQ(w.exitCode, 0) << w.err;

    std::array<uint8_t, 128> expected;
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i);
    const uint8_t head[] = {0x00, 0xFF, 0x0A, 0x0D};
    const uint8_t tail[] = {0xDE, 0xAD, 0xBE, 0xEF};
    std::copy(std::begin(head), std::end(head), expected.begin());
    std::copy(std::begin(tail), std::end(tail), expected.begin() + 124);
    EXPECT_EQ(memories()[kId], expected);

    // The dump shows every byte where a hex view puts it.
    const sim::RunResult dump = hwds({"dump", "TUVAK", kId});
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    std::istringstream lines(dump.out);
    std::size_t row = 0;
    for (std::string line; std::getline(lines, line); ++row) {
        ASSERT_LT(row, 8u) << dump.out;
        std::istringstream fields(line);
        std::string offset;
        fields >> offset;
        EXPECT_EQ(std::stoul(offset, nullptr, 16), row * 16);
        for (std::size_t i = 0; i < 16; ++i) {
            std::string cell;
            fields >> cell;
            EXPECT_EQ(std::stoul(cell, nullptr, 16), expected[row * 16 + i]) << line;
        }
    }
    EXPECT_EQ(row, 8u);
}

TEST_F(HwdsE2e, RandomBytesComeFromTheDeviceUnchanged) {
    startSim({"--seed", "7", kId});
    sim::TuvakDevice twin(7);
    auto blocks = [&](std::size_t n) {
        Bytes stream;
        for (std::size_t i = 0; i < n; ++i) {
            Bytes reply;
            const uint8_t request = sim::kCmdRandom;
            twin.receive(&request, 1, &reply);
            stream.insert(stream.end(), reply.begin() + 1, reply.begin() + 129);
        }
        return stream;
    };

    const sim::RunResult raw = hwds({"random", "TUVAK", kId, "--bytes", "1K"});
    EXPECT_EQ(raw.exitCode, 0) << raw.err;
    EXPECT_EQ(Bytes(raw.out.begin(), raw.out.end()), blocks(8));

    // The rest of a block dies with the process that fetched it.
    const sim::RunResult hex = hwds({"random", "TUVAK", kId, "--bytes", "100", "--format", "hex"});
    EXPECT_EQ(hex.exitCode, 0) << hex.err;
    Bytes expected = blocks(1);
    expected.resize(100);
    std::string digits;
    std::istringstream lines(hex.out);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        EXPECT_LE(line.size(), 64u);
        digits += line;
    }
    EXPECT_EQ(count, 4u);
    ASSERT_EQ(digits.size(), 200u);
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(std::stoul(digits.substr(2 * i, 2), nullptr, 16), expected[i]) << i;
}

TEST_F(HwdsE2e, BadInputIsRefusedWithTheCauseAndTouchesNoDevice) {
    startSim({"--fill", "0x5a", kId});
    const std::string missing = dir.path + "/missing.bin";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {{"read", "TUVAK", "NOPE"}, 3, "TUVAK NOPE: the adapter driver lists no device with this identifier"},
        {{"wipe", "NOPE"}, 3, "TUVAK NOPE: pass 1 of 5: the adapter driver lists no device"},
        {{"read", "FOO", kId}, 2, "FOO"},
        {{"read", "TUVAK"}, 2, "TUVAK needs the identifier of a device"},
        {{"write", "TUVAK", "", "--offset", "0", "--hex", "00"}, 2, "TUVAK needs the identifier"},
        {{"read", "TUVAK", kId, "--offset", "129"}, 2, "reach past the end of its 128-byte memory"},
        {{"read", "TUVAK", kId, "--offset", "100", "--length", "29"}, 2, "offset 100 and length 29"},
        {{"read", "TUVAK", kId, "--offset", "ten"}, 2, "offset 'ten' is not a number"},
        {{"read", "TUVAK", kId, "--format", "octal"}, 2, "octal"},
        {{"write", "TUVAK", kId, "--offset", "0", "--hex", "12 3g"}, 2, "'g' at position 5"},
        {{"write", "TUVAK", kId, "--offset", "127", "--hex", "0102"}, 2, "reach past the end"},
        {{"write", "TUVAK", kId, "--offset", "0", "--file", missing}, 2, "cannot read " + missing},
        {{"write", "TUVAK", kId, "--offset", "0"}, 2, "write needs --hex BYTES or --file FILE"},
        {{"write", "TUVAK", kId, "--offset", "0", "--hex", "00", "--file", missing}, 2, "excludes"},
        {{"random", "TUVAK", kId, "--bytes", "1X"}, 2, "--bytes '1X' is not a count of bytes"},
        {{"wipe"}, 2, "ID is required"},
        {{"wipe", kId, kId}, 2, "named twice"},
        {{"wipe", ""}, 2, "an empty identifier names no device"},
        {{"wipe", kId, "--passes", "FF,,00"}, 2, "--passes: '' is not a byte"},
        {{"wipe", kId, "--jobs", "0"}, 2, "jobs"},
    };
    for (const Case& c : cases) {
        const sim::RunResult r = hwds(c.args);
        SCOPED_TRACE(c.args[0] + " ... " + c.args.back());
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, c.status) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(frames(), "");
    EXPECT_TRUE(allBytes(memories()[kId], 0x5A));
}

TEST_F(HwdsE2e, ParallelWipeReportsEveryDeviceWhenOneIsUnpluggedMidway) {
    startSim({"--fill", "0x5a", "DEV0", "DEV1", "--unplug-after", "200", "DEV2", "--reset",
              "--fill", "0x5a", "DEV3"});
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "DEV2", "DEV3", "--verify", "--json"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const json outcomes = jsonArray(r);
    ASSERT_EQ(outcomes.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(outcomes[i]["id"], "DEV" + std::to_string(i));
        const bool unplugged = i == 2;
        EXPECT_EQ(outcomes[i]["ok"], !unplugged);
        EXPECT_EQ(outcomes[i]["verified"], !unplugged);
        EXPECT_EQ(outcomes[i]["result"], unplugged ? "CE_HW_WRITE_FAILED" : "CE_OK");
        EXPECT_EQ(outcomes[i]["passes"], unplugged ? 1 : 5);
    }
    EXPECT_NE(r.err.find("TUVAK DEV2: pass 2 of 5: the device did not confirm a write"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("3 of 4 devices wiped and verified"), std::string::npos) << r.err;

    auto memory = memories();
    for (const char* id : {"DEV0", "DEV1", "DEV3"}) EXPECT_TRUE(allBytes(memory[id], 0x00)) << id;
    EXPECT_EQ(memory["DEV2"][0], 0x00);
    EXPECT_EQ(memory["DEV2"][127], 0xFF);
}

TEST_F(HwdsE2e, VerificationCatchesWritesTheDeviceDidNotKeep) {
    startSim({"--fill", "0x5a", "--forget", "0x21,0x60", kId, "--reset", "GOOD"});
    // Without reading back, the device's word is all there is.
    const sim::RunResult trusting = hwds({"wipe", kId});
    EXPECT_EQ(trusting.exitCode, 0) << trusting.err;
    EXPECT_NE(trusting.out.find("1 of 1 devices wiped"), std::string::npos) << trusting.out;

    const sim::RunResult r = hwds({"wipe", kId, "GOOD", "--verify", "--jobs", "1", "--json"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    const json outcomes = jsonArray(r);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0]["ok"], false);
    EXPECT_EQ(outcomes[0]["passes"], 5);
    EXPECT_EQ(outcomes[0]["verified"], false);
    EXPECT_EQ(outcomes[0]["mismatch"]["address"], 0x21);
    EXPECT_EQ(outcomes[0]["mismatch"]["expected"], 0x00);
    EXPECT_EQ(outcomes[0]["mismatch"]["found"], 0x5A);
    EXPECT_EQ(outcomes[1]["ok"], true);
    EXPECT_EQ(outcomes[1]["verified"], true);
    EXPECT_NE(r.err.find("TUVAK " + std::string(kId) + ": verification: address 0x21 holds 0x5A, not 0x00"),
              std::string::npos)
        << r.err;
}

TEST_F(HwdsE2e, PlainWipeShowsProgressLinesAndASummary) {
    startSim({"DEV0", "DEV1"});
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "NOPE", "--passes", "A5"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    for (const char* line : {"DEV0  pass 1 of 1 (0xA5)\n", "DEV1  pass 1 of 1 (0xA5)\n", "DEV0  wiped\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("DEVICE  RESULT"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("NOPE    CE_CANCELED  0"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2 of 3 devices wiped"), std::string::npos) << r.out;
    auto memory = memories();
    EXPECT_TRUE(allBytes(memory["DEV0"], 0xA5));
    EXPECT_TRUE(allBytes(memory["DEV1"], 0xA5));
}

// ---- ACCORD and SOBOL over the simulated driver libraries ----------------------

TEST_F(HwdsE2e, AccordKeyIsReadWrittenAndDumpedAcrossProcesses) {
    // The key's pages live in a file, so that every run sees the same key.
    const std::string key = dir.path + "/key.bin";
    drivers = {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "TMDRV32_SIM=family=0x08 fill=0x33 file=" + key,
               "SNELLOCK_SIM=card=1"};
    const sim::RunResult list = hwds({"list", "--json"}, dir.path + "/none.reg");
    const json entries = jsonArray(list);
    ASSERT_EQ(entries.size(), 3u) << list.out;
    EXPECT_EQ(entries[1]["type"], "ACCORD");
    EXPECT_EQ(entries[1]["ok"], true);
    EXPECT_EQ(entries[1]["capacity"], 120);
    EXPECT_EQ(entries[2]["type"], "SOBOL");
    EXPECT_EQ(entries[2]["ok"], true);

    // Ten bytes across the end of the first 30-byte page.
    sim::RunResult r = hwds({"write", "ACCORD", "--offset", "25", "--hex", "00112233445566778899"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = hwds({"read", "accord", "--offset", "24", "--length", "12"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "33 00 11 22 33 44 55 66 77 88 99 33\n");
    r = hwds({"read", "ACCORD", "unchecked-read", "--offset", "119", "--format", "raw"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "\x33");

    const sim::RunResult dump = hwds({"dump", "ACCORD"});
    EXPECT_EQ(dump.exitCode, 0) << dump.err;
    EXPECT_EQ(std::count(dump.out.begin(), dump.out.end(), '\n'), 8);
    EXPECT_NE(dump.out.find("00000010  33 33 33 33 33 33 33 33  33 00 11 22 33 44 55 66"),
              std::string::npos)
        << dump.out;
    EXPECT_NE(dump.out.find("00000070  33 33 33 33 33 33 33 33" + std::string(27, ' ') + "|33333333|"),
              std::string::npos)
        << dump.out;

    const struct {
        std::vector<std::string> args;
        std::string settings;
        int status;
        std::string says;
    } failures[] = {
        {{"read", "ACCORD", "--offset", "100", "--length", "21"}, "", 2, "its 120-byte memory"},
        {{"write", "ACCORD", "--offset", "120", "--hex", "00"}, "", 2, "its 120-byte memory"},
        {{"read", "ACCORD", "sideways"}, "", 2, "ACCORD sideways: cannot open: the source refuses"},
        {{"dump", "ACCORD"}, "present=0", 3, "ACCORD: the device is not attached"},
        {{"dump", "ACCORD"}, "family=0x09", 2, "does not offer this operation"},
        {{"write", "ACCORD", "--offset", "0", "--hex", "01"}, "fail-write=0", 3, "ACCORD: write failed"},
        {{"dump", "ACCORD"}, "driver=0", 3, "ACCORD: cannot open: the driver or the device was not found"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.args[0] + " " + f.settings);
        if (!f.settings.empty()) drivers[1] = "TMDRV32_SIM=family=0x08 file=" + key + " " + f.settings;
        r = hwds(f.args);
        EXPECT_EQ(r.exitCode, f.status) << r.err;
        EXPECT_NE(r.err.find(f.says), std::string::npos) << r.err;
    }
}

TEST_F(HwdsE2e, RandomBytesFromTheAccordDriverAndTheSobolCard) {
    drivers = {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "TMDRV32_SIM=seed=5", "SNELLOCK_SIM=card=1"};
    const sim::RunResult accord = hwds({"random", "ACCORD", "--bytes", "1000"});
    EXPECT_EQ(accord.exitCode, 0) << accord.err;
    simdrv::Xorshift rng(5);
    std::string expected;
    for (int i = 0; i < 1000; ++i) expected += static_cast<char>(rng.next());
    EXPECT_EQ(accord.out, expected);

    const sim::RunResult sobol = hwds({"random", "SOBOL", "0x1f", "--bytes", "3K"});
    EXPECT_EQ(sobol.exitCode, 0) << sobol.err;
    EXPECT_EQ(sobol.out.size(), 3072u);
    EXPECT_NE(sobol.out.find_first_not_of('\0'), std::string::npos);
    const sim::RunResult hex = hwds({"random", "sobol", "--bytes", "40", "--format", "hex"});
    EXPECT_EQ(hex.exitCode, 0) << hex.err;
    EXPECT_EQ(hex.out.size(), 2 * 40 + 2u) << hex.out;
    EXPECT_EQ(hex.out.find_first_not_of("0123456789abcdef\n"), std::string::npos) << hex.out;

    const struct {
        std::vector<std::string> args;
        std::string settings;
        int status;
        std::string says;
    } failures[] = {
        {{"random", "SOBOL", "--bytes", "16"}, "SNELLOCK_SIM=card=0", 3, "SOBOL: cannot open"},
        {{"random", "SOBOL", "--bytes", "16"}, "SNELLOCK_SIM=card=1 fail=1", 3, "SOBOL: cannot open"},
        // All zeros pass the card's test at open, never a request.
        {{"random", "SOBOL", "--bytes", "16"}, "SNELLOCK_SIM=card=1 zero=1", 1,
         "SOBOL: random bytes failed after 0 bytes: the device or its driver failed (CE_HW_FAIL)"},
        {{"random", "SOBOL", "1G", "--bytes", "16"}, "SNELLOCK_SIM=card=1", 2, "SOBOL 1G: cannot open"},
        {{"read", "SOBOL"}, "SNELLOCK_SIM=card=1", 2, "SOBOL: the source or its device does not offer"},
        {{"random", "ACCORD", "--bytes", "8"}, "TMDRV32_SIM=zero-random=1", 1, "ACCORD: random bytes failed"},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.args[1] + " " + f.settings);
        drivers = {"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, f.settings};
        const sim::RunResult r = hwds(f.args);
        EXPECT_EQ(r.exitCode, f.status) << r.err;
        EXPECT_NE(r.err.find(f.says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// ---- hwds.exe under Wine ---------------------------------------------------------

// The Windows build on Wine's COM ports, linked to the simulator's ptys, and
// with the simulated drivers where Windows looks for installed ones.
class HwdsWineE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (e2e::WineHost::get() == nullptr) GTEST_SKIP() << "runs hwds.exe when HWDS_E2E_WINE names the build";
    }
    void TearDown() override {
        // Before the simulator closes ptys that Wine holds as COM ports.
        if (e2e::WineHost* wine = e2e::WineHost::get(); wine != nullptr && sim.running()) wine->stop();
        std::error_code ignored;
        for (const std::string& file : installed) std::filesystem::remove(file, ignored);
    }
    sim::RunResult hwds(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        return e2e::WineHost::get()->runWithRegistry("cli/hwds.exe", sim.registryFile, args, std::move(env));
    }
    void installDrivers() {
        for (const char* dll : {"tmdrv32.dll", "snellock.dll"}) {
            const std::string target = e2e::WineHost::get()->system32() + "/" + dll;
            std::error_code ec;
            std::filesystem::copy_file(e2e::WineHost::get()->built(std::string("sim/drivers/") + dll), target,
                                       std::filesystem::copy_options::overwrite_existing, ec);
            ASSERT_FALSE(ec) << target << ": " << ec.message();
            installed.push_back(target);
        }
    }

    sim::SimProcess sim{TUVAK_SIM_PATH};
    std::vector<std::string> installed;
};

TEST_F(HwdsWineE2e, ParallelVerifiedWipeOverComPorts) {
    std::string error;
    // Wine gives the low COM numbers to the host's own serial ports.
    ASSERT_TRUE(sim.start({"--first-com", "33", "--fill", "0x5a", "DEV0", "DEV1", "--forget", "0x40", "DEV2"}, &error))
        << error;
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "DEV2", "--verify", "--json"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    const json outcomes = jsonArray(r);
    ASSERT_EQ(outcomes.size(), 3u) << r.out;
    EXPECT_EQ(outcomes[0]["ok"], true);
    EXPECT_EQ(outcomes[1]["ok"], true);
    EXPECT_EQ(outcomes[2]["ok"], false);
    EXPECT_EQ(outcomes[2]["mismatch"]["address"], 0x40);
    std::string text;
    ASSERT_TRUE(sim.requestDump(&text, &error)) << error;
    auto memory = sim::parseDump(text);
    EXPECT_TRUE(allBytes(memory["DEV0"], 0x00));
    EXPECT_TRUE(allBytes(memory["DEV1"], 0x00));
}

TEST_F(HwdsWineE2e, RawRandomBytesReachStandardOutputUntranslated) {
    std::string error;
    ASSERT_TRUE(sim.start({"--first-com", "33", "UNUSED"}, &error)) << error;
    installDrivers();
    // Enough bytes that a newline among them is certain.
    const sim::RunResult r = hwds({"random", "ACCORD", "--bytes", "4096"}, {"TMDRV32_SIM=seed=5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    simdrv::Xorshift rng(5);
    std::string expected;
    for (int i = 0; i < 4096; ++i) expected += static_cast<char>(rng.next());
    ASSERT_NE(expected.find('\n'), std::string::npos);
    EXPECT_EQ(r.out, expected);
}

}  // namespace

#endif
