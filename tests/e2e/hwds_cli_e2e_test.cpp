#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "sim/drivers/sim_driver.h"
#include "sim/model/tuvak_device.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#if !defined(HWDS_CLI_PATH) || !defined(TUVAK_SIM_PATH)
#error "this suite runs hwds and tuvak-sim: build it where both programs are built"
#endif

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using Memories = std::map<std::string, std::array<uint8_t, 128>>;
using nlohmann::json;

constexpr char kId[] = "AB12CD34E";

::testing::AssertionResult has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos ? ::testing::AssertionSuccess()
                                                : ::testing::AssertionFailure() << "no \"" << part << "\" in:\n"
                                                                                << text;
}

json jsonArray(const sim::RunResult& r) {
    json parsed = json::parse(r.out, nullptr, false);
    EXPECT_TRUE(parsed.is_array()) << r.out;
    return parsed.is_array() ? parsed : json::array();
}

// One JSON object a line, as wipe --json prints its records.
std::vector<json> jsonLines(const std::string& text) {
    std::vector<json> objects;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        objects.push_back(json::parse(text.substr(start, end - start), nullptr, false));
        EXPECT_TRUE(objects.back().is_object()) << text.substr(start, end - start);
    }
    return objects;
}

// The record's fields that say what became of the wipe.
json verdict(const json& record) {
    return {{"identifier", record["identifier"]}, {"passes_done", record["passes_done"]},
            {"verified", record["verified"]},     {"result", record["result"]},
            {"status", record["status"]},         {"error", record["error"]}};
}

Memories memories(sim::SimProcess& sim) {
    std::string text, error;
    EXPECT_TRUE(sim.requestDump(&text, &error)) << error;
    return sim::parseDump(text);
}

std::string xorshiftBytes(uint32_t seed, std::size_t n) {
    simdrv::Xorshift rng(seed);
    std::string bytes;
    while (bytes.size() < n) bytes += static_cast<char>(rng.next());
    return bytes;
}

bool allBytes(const std::array<uint8_t, 128>& memory, uint8_t value) {
    return std::all_of(memory.begin(), memory.end(), [&](uint8_t b) { return b == value; });
}

class HwdsE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (e2e::WineHost::get()) GTEST_SKIP() << "hwds end to end runs the Linux build only";
        ASSERT_FALSE(dir.path.empty()) << "no temporary directory";
    }
    void startSim(const Strings& args) {
        std::string error;
        ASSERT_TRUE(sim.start(args, &error)) << error;
    }
    sim::RunResult hwds(Strings args, const std::string& registry = "") {
        args.insert(args.begin(), HWDS_CLI_PATH);
        Strings env = drivers;
        env.insert(env.end(), {"LC_ALL=C.UTF-8", "HWDS_REGISTRY=" + (registry.empty() ? sim.registryFile : registry)});
        return sim::runProgram(args, env);
    }
    std::string ok(const Strings& args) {  // standard output of a run that must succeed
        const sim::RunResult r = hwds(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }
    std::string frames() {
        std::string log;
        sim::readTextFile(sim.logFile, &log);
        return log;
    }

    // Runs with the simulated drivers set to `prefix` + settings that fail as they say.
    struct Failure {
        Strings args;
        std::string settings;
        int status;
        std::string says;
    };
    void expectFailures(const std::vector<Failure>& failures, const std::string& prefix) {
        for (const Failure& f : failures) {
            SCOPED_TRACE(f.args[0] + " " + f.args[1] + " " + f.settings);
            drivers = {drivers[0], prefix + f.settings};
            const sim::RunResult r = hwds(f.args);
            EXPECT_EQ(r.exitCode, f.status) << r.err;
            EXPECT_TRUE(has(r.err, f.says));
            EXPECT_EQ(r.out, "");
        }
    }

    fakes::TempDir dir;
    sim::SimProcess sim{TUVAK_SIM_PATH};
    Strings drivers{"LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, "TMDRV32_SIM=present=0", "SNELLOCK_SIM=card=0"};
};

TEST_F(HwdsE2e, HelpOnEverySubcommandAndTheExitStatuses) {
    const std::string none = dir.path + "/none.reg";
    for (const char* command : {"", "list", "read", "write", "dump", "random", "wipe", "check", "journal"}) {
        const sim::RunResult r = hwds(*command ? Strings{command, "--help"} : Strings{"--help"}, none);
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_TRUE(has(r.out, "Usage: hwds " + std::string(command)));
        EXPECT_TRUE(has(r.out, "Exit status:\n  0  success"));
    }
    EXPECT_EQ(hwds({"--version"}, none).out, "hwds 1.0.0\n");
    for (const Strings& args : std::vector<Strings>{{}, {"frobnicate"}, {"list", "--bogus"}}) {
        const sim::RunResult r = hwds(args, none);
        EXPECT_EQ(std::pair(r.exitCode, r.err.empty()), std::pair(2, false)) << r.err;
    }
}

TEST_F(HwdsE2e, ListShowsTheSimulatedDevicesAndTheOtherSources) {
    startSim({kId, "FFEE0011"});
    const std::string text = ok({"list"});
    const sim::RunResult r = hwds({"list", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const json entries = jsonArray(r);
    ASSERT_EQ(entries.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 2; ++i) {
        const auto& d = sim.devices()[i];
        // Columns line up: the shorter identifier is padded to the longer.
        EXPECT_TRUE(has(text, "TUVAK   " + d.id + (i == 0 ? "  " : "   ") + d.com + "  " + d.pty + "\n"));
        EXPECT_EQ(entries[i], json::parse(R"({"type": "TUVAK", "id": ")" + d.id + R"(", "ok": true, "result": "CE_OK",
            "com": ")" + d.com + R"(", "node": ")" +
                                          d.pty + R"(", "detail": "listed by the adapter driver"})"));
    }
    EXPECT_EQ(json::array({entries[2]["type"], entries[2]["result"], entries[3]["type"], entries[3]["ok"]}),
              json::array({"ACCORD", "CE_HW_NEED_INTERACTION", "SOBOL", false}));
    EXPECT_EQ(frames(), "") << "listing touched a device";

    // A device the driver lists without a port: "-" in the columns, null in JSON.
    const std::string noPort = dir.write("noport.reg",
                                         "REGEDIT4\n"
                                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n"
                                         "\"Count\"=dword:00000001\n"
                                         "\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+AB12CD34EA\\\\0000\"\n");
    const sim::RunResult plain = hwds({"list"}, noPort);
    EXPECT_EQ(plain.out,
              "TUVAK   AB12CD34EA  -  -\n"
              "ACCORD  the reader answers, no key is attached (CE_HW_NEED_INTERACTION)\n"
              "SOBOL   the driver or the device was not found (CE_HW_NOT_FOUND)\n");
    const json listed = jsonArray(hwds({"list", "--json"}, noPort));
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_TRUE(listed[0].at("com").is_null()) << listed[0];
    EXPECT_TRUE(listed[0].at("node").is_null()) << listed[0];

    const std::string broken = dir.write("broken.reg", "not a registry\n");
    const sim::RunResult bad = hwds({"list"}, broken);
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(has(bad.err, broken));
    // A Count too long for a number: the driver's data cannot be read.
    const std::string longCount = dir.write(
        "count.reg",
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n\"Count\"=hex:01,00,00,00,00\n");
    EXPECT_EQ(hwds({"list"}, longCount).exitCode, 1);
}

TEST_F(HwdsE2e, ReadWriteAndDumpTheMemory) {
    startSim({"--pattern", "ascending", kId});
    EXPECT_EQ(hwds({"read", "tuvak", kId, "--offset", "0x10", "--length", "20"}).out,
              "10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n20 21 22 23\n");
    EXPECT_EQ(hwds({"read", "TUVAK", kId, "--offset", "120", "--format", "raw"}).out,
              "\x78\x79\x7a\x7b\x7c\x7d\x7e\x7f");
    EXPECT_EQ(hwds({"write", "TUVAK", kId, "--offset", "124", "--hex", "de ad be ef"}).err,
              "TUVAK AB12CD34E: wrote 4 bytes at offset 124\n");
    EXPECT_EQ(
        hwds({"write", "TUVAK", kId, "--offset", "0", "--file", dir.write("bytes.bin", std::string("\x00\xff\n\r", 4))})
            .exitCode,
        0);

    // The dump shows every byte where a hex view puts it.
    const std::string dump = ok({"dump", "TUVAK", kId});
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 8);
    EXPECT_EQ(dump.rfind("00000000  00 ff 0a 0d 04 05 06 07  08 09 0a 0b 0c 0d 0e 0f  |", 0), 0u) << dump;
    EXPECT_TRUE(has(dump, "\n00000070  70 71 72 73 74 75 76 77  78 79 7a 7b de ad be ef  |pqrstuvwxyz{....|\n"));
}

TEST_F(HwdsE2e, RandomBytesComeFromTheDeviceUnchanged) {
    startSim({"--seed", "7", kId});
    sim::TuvakDevice twin(7);
    Bytes stream;
    for (int i = 0; i < 9; ++i) {
        Bytes reply;
        twin.receive(&sim::kCmdRandom, 1, &reply);
        stream.insert(stream.end(), reply.end() - 129, reply.end() - 1);
    }
    const std::string raw = ok({"random", "TUVAK", kId, "--bytes", "1K", "--unchecked"});
    EXPECT_EQ(Bytes(raw.begin(), raw.end()), Bytes(stream.begin(), stream.begin() + 1024));

    // The rest of a block dies with the process that fetched it.
    std::string expected;
    char cell[4];
    for (std::size_t i = 0; i < 100; ++i)
        std::snprintf(cell, sizeof cell, "%02x%s", stream[1024 + i], i % 32 == 31 || i == 99 ? "\n" : ""),
            expected += cell;
    EXPECT_EQ(ok({"random", "TUVAK", kId, "--bytes", "100", "--format", "hex", "--unchecked"}), expected);
}

// The device's generator gone wrong: a checked draw stops with status 5 and hands out nothing.
TEST_F(HwdsE2e, CheckedDrawsCatchTheDevicesFaultyGenerator) {
    startSim({"--random-stuck", "2", "STUCK", "--reset", "--random-ones", "90", "BIASED", "--reset", "GOOD"});
    for (const char* id : {"STUCK", "BIASED"}) {
        SCOPED_TRACE(id);
        const sim::RunResult r = hwds({"random", "TUVAK", id, "--bytes", "4K"});
        EXPECT_EQ(r.exitCode, 5) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(has(r.err, "SP 800-90B"));
    }
    EXPECT_EQ(ok({"random", "TUVAK", "GOOD", "--bytes", "4K"}).size(), 4096u);
}

TEST_F(HwdsE2e, BadInputIsRefusedWithTheCauseAndTouchesNoDevice) {
    startSim({"--fill", "0x5a", kId});
    const std::string missing = dir.path + "/missing.bin";
    struct Case {
        Strings args;
        int status;
        std::string says;
    };
    const Case cases[] = {
        {{"read", "TUVAK", "NOPE"},
         3,
         "TUVAK NOPE: read failed: the adapter driver lists no device with this identifier"},
        {{"wipe", "NOPE"}, 3, "TUVAK NOPE: pass 1 of 5: the adapter driver lists no device"},
        {{"read", "FOO", kId}, 2, "FOO"},
        {{"read", "TUVAK"}, 2, "TUVAK needs the identifier of a device"},
        {{"write", "TUVAK", "", "--offset", "0", "--hex", "00"}, 2, "TUVAK needs the identifier"},
        {{"read", "TUVAK", kId, "--offset", "129"}, 2, "reach past the end of its 128-byte memory"},
        {{"read", "TUVAK", kId, "--offset", "100", "--length", "29"}, 2, "offset 100 and length 29"},
        {{"read", "TUVAK", kId, "--offset", "ten"}, 2, "offset 'ten' is not a number"},
        {{"write", "TUVAK", kId, "--offset", "ten", "--hex", "00"}, 2, "offset 'ten' is not a number"},
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
        EXPECT_EQ(std::pair(r.timedOut, r.exitCode), std::pair(false, c.status)) << r.err;
        EXPECT_TRUE(has(r.err, c.says));
    }
    EXPECT_EQ(frames(), "");
    EXPECT_TRUE(allBytes(memories(sim)[kId], 0x5A));
}

TEST_F(HwdsE2e, ParallelWipeReportsEveryDeviceWhenOneIsUnpluggedMidway) {
    startSim({"--fill", "0x5a", "DEV0", "DEV1", "--unplug-after", "200", "DEV2", "--reset", "--fill", "0x5a", "DEV3"});
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "DEV2", "DEV3", "--verify", "--json"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    const std::vector<json> records = jsonLines(r.out);
    ASSERT_EQ(records.size(), 4u) << r.out;
    for (std::size_t i : {0, 1, 3})
        EXPECT_EQ(verdict(records[i]), json::parse(R"({"identifier": "DEV)" + std::to_string(i) + R"(",
            "passes_done": 5, "verified": true, "result": "CE_OK", "status": "erased", "error": null})"));
    EXPECT_EQ(verdict(records[2]), json::parse(R"({"identifier": "DEV2", "passes_done": 1, "verified": false,
        "result": "CE_HW_WRITE_FAILED", "status": "failed",
        "error": "pass 2 of 5: the device did not confirm a write"})"));
    EXPECT_TRUE(has(r.err, "TUVAK DEV2: pass 2 of 5: the device did not confirm a write"));
    EXPECT_TRUE(has(r.err, "3 of 4 devices wiped and verified"));
    auto memory = memories(sim);
    for (const char* id : {"DEV0", "DEV1", "DEV3"}) EXPECT_TRUE(allBytes(memory[id], 0x00)) << id;
    EXPECT_EQ(std::pair(memory["DEV2"][0], memory["DEV2"][127]), (std::pair<uint8_t, uint8_t>(0x00, 0xFF)));
}

// Three devices, one unplugged mid-wipe: a record file and a signed journal line each, a journal that holds,
// and one that no longer does once a line is changed, removed or moved.
TEST_F(HwdsE2e, WipeLeavesARecordAndAJournalLineForEveryDevice) {
    startSim({"DEV0", "--unplug-after", "200", "DEV1", "--reset", "DEV2"});
    const std::string records = dir.path + "/records";
    const std::string journal = dir.path + "/J";
    const std::string key = dir.path + "/K";
    std::filesystem::create_directory(records);
    ASSERT_EQ(hwds({"journal", "keygen", key}).exitCode, 0);
    const sim::RunResult r = hwds({"wipe", "--verify", "--record", records, "--journal", journal, "--sign",
                                   key + ".secret", "DEV0", "DEV1", "DEV2"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(records))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_TRUE(names[i].starts_with("TUVAK-DEV" + std::to_string(i) + "-")) << names[i];

    std::string text;
    ASSERT_TRUE(sim::readTextFile(journal, &text));
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 3u);
    std::map<std::string, std::string> statuses;
    for (const std::string& line : lines) {
        const json entry = json::parse(line, nullptr, false);
        statuses[entry.value("identifier", "")] = entry.value("status", "");
    }
    EXPECT_EQ(statuses,
              (std::map<std::string, std::string>{{"DEV0", "erased"}, {"DEV1", "failed"}, {"DEV2", "erased"}}));
    const Strings verify{"journal", "verify", journal, "--key", key + ".public"};
    EXPECT_EQ(hwds(verify).exitCode, 0) << hwds(verify).err;

    struct Tampering {
        const char* what;
        std::vector<std::string> lines;
    };
    std::string changed = lines[1];
    changed[changed.find("DEV")] = 'd';
    const std::vector<Tampering> tamperings = {
        {.what = "a byte changed in line 2", .lines = {lines[0], changed, lines[2]}},
        {.what = "line 2 removed", .lines = {lines[0], lines[2]}},
        {.what = "lines 2 and 3 swapped", .lines = {lines[0], lines[2], lines[1]}},
    };
    for (const Tampering& t : tamperings) {
        SCOPED_TRACE(t.what);
        std::string tampered;
        for (const std::string& line : t.lines) tampered += line + "\n";
        std::ofstream(journal, std::ios::binary | std::ios::trunc) << tampered;
        const sim::RunResult checked = hwds(verify);
        EXPECT_EQ(checked.exitCode, 6);
        EXPECT_TRUE(checked.err.starts_with(journal + ":2: ")) << checked.err;
    }
}

TEST_F(HwdsE2e, VerificationCatchesWritesTheDeviceDidNotKeep) {
    startSim({"--fill", "0x5a", "--forget", "0x21,0x60", kId, "--reset", "GOOD"});
    // Without reading back, the device's word is all there is.
    EXPECT_TRUE(has(ok({"wipe", kId}), "1 of 1 devices wiped"));

    const sim::RunResult r = hwds({"wipe", kId, "GOOD", "--verify", "--jobs", "1", "--json"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    const std::vector<json> records = jsonLines(r.out);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(verdict(records[0]), json::parse(R"({"identifier": "AB12CD34E", "passes_done": 5, "verified": false,
        "result": "CE_HW_WRITE_FAILED", "status": "failed",
        "error": "verification: address 0x21 holds 0x5A, not 0x00"})"));
    EXPECT_EQ(records[1]["verified"], true);
    EXPECT_TRUE(has(r.err, "TUVAK " + std::string(kId) + ": verification: address 0x21 holds 0x5A, not 0x00"));
}

TEST_F(HwdsE2e, PlainWipeShowsProgressLinesAndASummary) {
    startSim({"DEV0", "DEV1"});
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "NOPE", "--passes", "A5"});
    EXPECT_EQ(r.exitCode, 3) << r.err;
    for (const char* line : {"DEV0  pass 1 of 1 (0xA5)\n", "DEV1  pass 1 of 1 (0xA5)\n", "DEV0  wiped\n"})
        EXPECT_TRUE(has(r.err, line));
    for (const char* line : {"DEVICE  RESULT", "NOPE    CE_CANCELED  0", "2 of 3 devices wiped"})
        EXPECT_TRUE(has(r.out, line));
    auto memory = memories(sim);
    EXPECT_TRUE(allBytes(memory["DEV0"], 0xA5) && allBytes(memory["DEV1"], 0xA5));
}

// A family 0x0C key erased as far as 8-bit page numbers reach, its record, and a certificate of two runs'
// records that pdftotext reads back with every identifier, the method and the operator's Cyrillic name.
TEST_F(HwdsE2e, AccordKeyWipeLeavesRecordsAndACertificate) {
    const std::string key = dir.path + "/key.bin";
    drivers = {drivers[0], "TMDRV32_SIM=family=0x0C fill=0x5A file=" + key, "SNELLOCK_SIM=card=0"};
    const std::string records = dir.path + "/records";
    std::filesystem::create_directory(records);
    sim::RunResult r =
        hwds({"wipe", "--type", "accord", "--verify", "--operator", "Иван Петров", "--record", records, "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"bytes_erased\": 7560"));
    EXPECT_TRUE(has(r.out, "\"size_bytes\": 7680"));
    EXPECT_TRUE(has(r.err, "wiped and verified, 7560 of 7680 bytes (the rest out of reach)"));
    std::string image;
    ASSERT_TRUE(sim::readTextFile(key, &image));
    ASSERT_EQ(image.size(), 256u * 32u);
    for (std::size_t page = 0; page < 256; ++page)
        EXPECT_EQ(image.substr(page * 32, 30), std::string(30, page < 4 ? '\x5A' : '\x00')) << page;

    startSim({"DEV0"});
    r = hwds({"wipe", "DEV0", "--operator", "Иван Петров", "--record", records});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    Strings args{"certificate"};
    for (const auto& entry : std::filesystem::directory_iterator(records)) args.push_back(entry.path().string());
    ASSERT_EQ(args.size(), 3u);
    args.insert(args.end(), {"--output", dir.path + "/c.pdf"});
    r = hwds(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const sim::RunResult text = sim::runProgram({"/usr/bin/pdftotext", dir.path + "/c.pdf", "-"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    for (const char* part : {"0C510E7A13000042", "DEV0", "Overwrite", "FF,00,55,AA,00", "7560 of 7680", "Validator"})
        EXPECT_TRUE(has(text.out, part)) << part;
    // The operator of both runs, named once.
    const std::string name = "Иван Петров";
    const std::size_t first = text.out.find(name);
    EXPECT_NE(first, std::string::npos) << text.out;
    EXPECT_EQ(text.out.find(name, first + 1), std::string::npos) << text.out;
}

TEST_F(HwdsE2e, AccordKeyIsReadWrittenAndDumpedAcrossProcesses) {
    const std::string key = dir.path + "/key.bin";
    drivers = {drivers[0], "TMDRV32_SIM=family=0x08 fill=0x33 file=" + key, "SNELLOCK_SIM=card=1"};
    const sim::RunResult list = hwds({"list", "--json"}, dir.path + "/none.reg");
    const json entries = jsonArray(list);
    ASSERT_EQ(entries.size(), 3u) << list.out;
    EXPECT_EQ(json::array(
                  {entries[1]["type"], entries[1]["ok"], entries[1]["capacity"], entries[2]["type"], entries[2]["ok"]}),
              json::array({"ACCORD", true, 120, "SOBOL", true}));

    // Ten bytes across the end of the first 30-byte page.
    ok({"write", "ACCORD", "--offset", "25", "--hex", "00112233445566778899"});
    EXPECT_EQ(ok({"read", "accord", "--offset", "24", "--length", "12"}), "33 00 11 22 33 44 55 66 77 88 99 33\n");
    EXPECT_EQ(ok({"read", "ACCORD", "unchecked-read", "--offset", "119", "--format", "raw"}), "\x33");
    const std::string dump = ok({"dump", "ACCORD"});
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 8);
    EXPECT_TRUE(has(dump, "00000010  33 33 33 33 33 33 33 33  33 00 11 22 33 44 55 66"));
    EXPECT_TRUE(has(dump, "00000070  33 33 33 33 33 33 33 33" + std::string(27, ' ') + "|33333333|"));

    expectFailures(
        {
            {{"read", "ACCORD", "--offset", "100", "--length", "21"}, "", 2, "its 120-byte memory"},
            {{"write", "ACCORD", "--offset", "120", "--hex", "00"}, "", 2, "its 120-byte memory"},
            {{"read", "ACCORD", "sideways"}, "", 2, "ACCORD sideways: cannot open: the source refuses"},
            {{"dump", "ACCORD"}, "present=0", 3, "ACCORD: the device is not attached"},
            {{"dump", "ACCORD"}, "family=0x09", 2, "does not offer this operation"},
            {{"write", "ACCORD", "--offset", "0", "--hex", "01"}, "fail-write=0", 3, "ACCORD: write failed"},
            {{"dump", "ACCORD"}, "driver=0", 3, "ACCORD: cannot open: the driver or the device was not found"},
        },
        "TMDRV32_SIM=family=0x08 file=" + key + " ");
}

TEST_F(HwdsE2e, RandomBytesFromTheAccordDriverAndTheSobolCard) {
    drivers = {drivers[0], "TMDRV32_SIM=seed=5", "SNELLOCK_SIM=card=1"};
    EXPECT_EQ(ok({"random", "ACCORD", "--bytes", "1000", "--unchecked"}), xorshiftBytes(5, 1000));
    const std::string sobol = ok({"random", "SOBOL", "0x1f", "--bytes", "3K"});
    EXPECT_EQ(sobol.size(), 3072u);
    EXPECT_NE(sobol.find_first_not_of('\0'), std::string::npos);

    expectFailures(
        {
            {{"random", "SOBOL", "--bytes", "16"}, "SNELLOCK_SIM=card=0", 3, "SOBOL: cannot open"},
            {{"random", "SOBOL", "--bytes", "16"}, "SNELLOCK_SIM=card=1 fail=1", 3, "SOBOL: cannot open"},
            // All zeros pass the card's test at open, never a request.
            {{"random", "SOBOL", "--bytes", "16"},
             "SNELLOCK_SIM=card=1 zero=1",
             1,
             "SOBOL: random bytes failed after 0 bytes: the device or its driver failed (CE_HW_FAIL)"},
            {{"random", "SOBOL", "1G", "--bytes", "16"}, "SNELLOCK_SIM=card=1", 2, "SOBOL 1G: cannot open"},
            {{"read", "SOBOL"}, "SNELLOCK_SIM=card=1", 2, "SOBOL: the source or its device does not offer"},
            {{"random", "ACCORD", "--bytes", "8"}, "TMDRV32_SIM=zero-random=1", 1, "ACCORD: random bytes failed"},
        },
        "");
}

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
    // Wine gives the low COM numbers to the host's own serial ports.
    void startSim(Strings args) {
        args.insert(args.begin(), {"--first-com", "33"});
        std::string error;
        ASSERT_TRUE(sim.start(args, &error)) << error;
    }
    sim::RunResult hwds(const Strings& args, Strings env = {}) {
        return e2e::WineHost::get()->runWithRegistry("cli/hwds.exe", sim.registryFile, args, std::move(env));
    }

    sim::SimProcess sim{TUVAK_SIM_PATH};
    Strings installed;
};

TEST_F(HwdsWineE2e, ParallelVerifiedWipeOverComPorts) {
    startSim({"--fill", "0x5a", "DEV0", "DEV1", "--forget", "0x40", "DEV2"});
    const sim::RunResult r = hwds({"wipe", "DEV0", "DEV1", "DEV2", "--verify", "--json"});
    EXPECT_EQ(r.exitCode, 4) << r.err;
    const std::vector<json> records = jsonLines(r.out);
    ASSERT_EQ(records.size(), 3u) << r.out;
    EXPECT_EQ(records[2]["error"], "verification: address 0x40 holds 0x5A, not 0x00");
    auto memory = memories(sim);
    EXPECT_TRUE(allBytes(memory["DEV0"], 0x00) && allBytes(memory["DEV1"], 0x00));
}

TEST_F(HwdsWineE2e, RawRandomBytesReachStandardOutputUntranslated) {
    startSim({"UNUSED"});
    e2e::WineHost* wine = e2e::WineHost::get();
    for (const char* dll : {"tmdrv32.dll", "snellock.dll"}) {
        const std::string target = wine->system32() + "/" + dll;
        std::error_code ec;
        std::filesystem::copy_file(wine->built(std::string("sim/drivers/") + dll), target,
                                   std::filesystem::copy_options::overwrite_existing, ec);
        ASSERT_FALSE(ec) << target << ": " << ec.message();
        installed.push_back(target);
    }
    // Enough bytes that a newline among them is certain.
    const sim::RunResult r = hwds({"random", "ACCORD", "--bytes", "4096", "--unchecked"}, {"TMDRV32_SIM=seed=5"});
    EXPECT_EQ(std::pair(r.exitCode, r.out), std::pair(0, xorshiftBytes(5, 4096))) << r.err;
}

}  // namespace
