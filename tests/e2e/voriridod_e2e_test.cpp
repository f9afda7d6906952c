// voriridod end to end against tuvak-sim over ptys: exact console bytes and exit
// statuses under a UTF-8 locale. With HWDS_E2E_WINE naming the Windows build,
// the same cases run voriridod.exe under Wine, its console in CP866.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/posix/fd_guard.h"
#include "platform/regedit.h"
#include "sim/control/sim_process.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/temp_dir.h"
#include "tests/fakes/tool_support.h"

#if !defined(VORIRIDOD_PATH) || !defined(TUVAK_SIM_PATH)
#error "this suite runs voriridod and tuvak-sim: build it where both programs are built"
#endif

namespace {

using namespace tooltest;
using e2e::WineHost;
using fakes::Adapter;
using fakes::instancePath;
using Strings = std::vector<std::string>;

constexpr char kId[] = "AB12CD34E";
constexpr uint8_t kFill = 0x5A;
constexpr char kCom[] = "COM33", kOtherCom[] = "COM37";  // high: Wine gives the low ones to the host's serial ports

// Puts a file's mode back whatever the test's outcome.
struct ModeGuard {
    explicit ModeGuard(std::string p) : path(std::move(p)) { ::stat(path.c_str(), &saved); }
    ~ModeGuard() { ::chmod(path.c_str(), saved.st_mode & 07777); }
    std::string path;
    struct stat saved {};
};

// The driver's data as a registry file: no Count without `count`, no Enum without `withEnum`.
using Ports = std::vector<std::pair<std::string, std::string>>;  // device node, COM name
std::string ftdiRegedit(bool withEnum, std::optional<uint32_t> count, const std::vector<Adapter>& adapters,
                        const Ports& serialComm) {
    platform::RegeditWriter file;
    file.key("SYSTEM\\CurrentControlSet\\Services\\FTSER2K");
    if (withEnum) {
        file.key("SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum");
        if (count) file.dword("Count", *count);
        for (std::size_t i = 0; i < adapters.size(); ++i) file.string(std::to_string(i), adapters[i].instance);
    }
    for (const Adapter& a : adapters) {
        file.key("SYSTEM\\CurrentControlSet\\Enum\\" + a.instance + "\\Device Parameters");
        file.string("PortName", a.portName);
    }
    file.key("HARDWARE\\DEVICEMAP\\SERIALCOMM");
    for (const auto& [node, com] : serialComm) file.string(node, com);
    return file.text();
}

sim::RunResult runVoriridod(const std::string& registryFile, const Strings& args, Strings prefix = {}) {
    if (WineHost* wine = WineHost::get()) return wine->runWithRegistry("tool/voriridod.exe", registryFile, args);
    prefix.push_back(VORIRIDOD_PATH);
    prefix.insert(prefix.end(), args.begin(), args.end());
    return sim::runProgram(prefix, {"LC_ALL=C.UTF-8", "HWDS_REGISTRY=" + registryFile});
}

// Exact console bytes, UTF-8 text as the console where the tool runs shows it.
void expectRun(const sim::RunResult& r, int status, const std::string& out, const std::string& err) {
    auto shown = [](const std::string& utf8) { return WineHost::get() ? WineHost::console(utf8) : utf8; };
    EXPECT_EQ(std::tuple(r.timedOut, r.exitCode, r.out, r.err), std::tuple(false, status, shown(out), shown(err)));
}

// Progress for pass 1, the message, the verdict.
void expectFailedAtFirstPass(const sim::RunResult& r, const std::string& id, const std::string& message) {
    expectRun(r, 1, failed(id), progress(id, 1) + message);
}

bool all(const std::array<uint8_t, 128>& memory, uint8_t value) {
    return std::all_of(memory.begin(), memory.end(), [&](uint8_t b) { return b == value; });
}

class VoriridodE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path.empty()) << "no temporary directory"; }
    void TearDown() override {
        if (WineHost* wine = WineHost::get(); wine != nullptr && sim.running()) wine->stop();
    }
    // A simulator serving `ids` with memory full of kFill; extra options first.
    void startSim(Strings args) {
        args.insert(args.begin(), {"--first-com", "33", "--fill", "0x5a"});
        std::string error;
        ASSERT_TRUE(sim.start(args, &error)) << error;
    }
    std::array<uint8_t, 128> memory() {
        std::string text, error;
        EXPECT_TRUE(sim.requestDump(&text, &error)) << error;
        auto memories = sim::parseDump(text);
        EXPECT_EQ(memories.count(kId), 1u) << text;
        return memories[kId];
    }
    // The fill is still there and no frame reached the device.
    bool untouched() {
        if (!all(memory(), kFill)) return false;
        std::string log;
        sim::readTextFile(sim.logFile, &log);
        return log.empty();
    }
    const std::string& pty() const { return sim.devices().at(0).pty; }

    fakes::TempDir dir;
    sim::SimProcess sim{TUVAK_SIM_PATH};
};

TEST_F(VoriridodE2e, BannerAndHelpNeedNoRegistry) {
    const std::pair<Strings, int> runs[] = {{{}, 0}, {{kId, "extra"}, 1}, {{"/?"}, 0}, {{"-?x"}, 0}, {{""}, 1}};
    for (const auto& [args, status] : runs)
        expectRun(runVoriridod(dir.path + "/missing.reg", args), status, kBanner, "");
}

TEST_F(VoriridodE2e, UnreadableRegistryStopsListingAndWipe) {
    if (WineHost::get()) GTEST_SKIP() << "the Windows registry is no file that can fail to load";
    for (const std::string& file :
         {dir.path + "/missing.reg", dir.write("garbage.reg", "this is not a registry file\n")}) {
        for (const char* arg : {"/L", kId}) {
            const sim::RunResult r = runVoriridod(file, {arg});
            EXPECT_EQ(std::make_tuple(r.exitCode, r.out), std::make_tuple(1, std::string())) << file << " " << arg;
            EXPECT_NE(r.err.find(file), std::string::npos) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        }
    }
}

TEST_F(VoriridodE2e, DriverMissingStopsEveryRequest) {
    platform::RegeditWriter other;
    other.key("SOFTWARE\\Other");
    const std::string file = dir.write("nodriver.reg", other.text());
    for (const char* arg : {kId, "/L", "-list", "ab12cd34e"})
        expectRun(runVoriridod(file, {arg}), 1, "", kDriverMissing);
}

TEST_F(VoriridodE2e, ListingOfSimulatedDevices) {
    startSim({kId, "FFEE0011"});
    expectRun(runVoriridod(sim.registryFile, {"/L"}), 0, std::string(kListMany) + kId + "\nFFEE0011\n", "");
    ASSERT_TRUE(sim.stop());
    startSim({"CAFE01"});
    expectRun(runVoriridod(sim.registryFile, {"-list"}), 0, std::string(kListOne) + "CAFE01\n", "");

    expectRun(runVoriridod(dir.write("noenum.reg", ftdiRegedit(false, std::nullopt, {}, {})), {"/l"}), 0, kListNone,
              "");
    expectRun(runVoriridod(dir.write("zero.reg", ftdiRegedit(true, 0u, {{instancePath(kId), kCom}}, {})), {"/L"}), 0,
              kListNone, "");
}

TEST_F(VoriridodE2e, WipeWritesFivePassesAndLeavesZeros) {
    startSim({kId});
    // Lower case: upper-cased, it names the device.
    const sim::RunResult r = runVoriridod(sim.registryFile, {"ab12cd34e"});
    std::string passes;
    for (int pass = 1; pass <= 5; ++pass) passes += progress(kId, pass);
    expectRun(r, 0, succeeded(kId), passes + "\r" + std::string(38, ' '));
    EXPECT_TRUE(all(memory(), 0));

    // Every pass writes each address in turn.
    std::string log;
    ASSERT_TRUE(sim::readTextFile(sim.logFile, &log));
    std::istringstream lines(log);
    const unsigned patterns[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};
    std::size_t n = 0;
    for (std::string line, id; n < 640 && std::getline(lines, line); ++n) {
        unsigned command = 0, address = 0, data = 0;
        std::istringstream(line) >> id >> std::hex >> command >> address >> data;
        EXPECT_EQ(std::make_tuple(id, command, address, data),
                  std::make_tuple(std::string(kId), 0x07u, static_cast<unsigned>(n % 128), patterns[n / 128]))
            << n;
    }
    EXPECT_EQ(n, 640u);
    EXPECT_FALSE(std::getline(lines, log));
}

TEST_F(VoriridodE2e, NoUsablePortWipesNothing) {
    startSim({kId});
    // Cut to nine characters it would be kId: another device than the one named.
    expectRun(runVoriridod(sim.registryFile, {std::string(kId) + "F"}), 1, kBanner, "");
    // 64 characters and the terminating zero: one byte more than an entry may hold.
    const std::string longInstance = (instancePath(kId) + std::string(64, '0')).substr(0, 64);
    const std::vector<Adapter> ours = {{instancePath(kId), kCom}};
    const Ports port = {{pty(), kCom}};
    const struct {
        const char* what;
        std::string arg, registry, id, says;
    } cases[] = {
        // The identifier is printed literally, never taken for a format.
        {"unknown", "ZZ9", "", "ZZ9", kNotConnected},
        {"format", "%s%n%d%%x", "", "%S%N%D%%X", kNotConnected},
        {"no Enum key", kId, ftdiRegedit(false, std::nullopt, ours, port), kId, kNotConnected},
        {"Count 0", kId, ftdiRegedit(true, 0u, ours, port), kId, kNotConnected},
        {"no entry", kId, ftdiRegedit(true, 1u, {{instancePath("OTHER"), kCom}}, port), kId, kNotConnected},
        {"port missing", kId,
         ftdiRegedit(true, 1u, {{instancePath(kId), kOtherCom}}, {{dir.path + "/gone", kOtherCom}}), kId,
         kNotConnected},
        {"entry of 65 bytes", kId, ftdiRegedit(true, 1u, {{longInstance, kCom}}, port), kId, kFaulty},
        {"lower-case port", kId, ftdiRegedit(true, 1u, {{instancePath(kId), "com33"}}, {{pty(), "com33"}}), kId,
         kFaulty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = c.registry.empty() ? sim.registryFile : dir.write("case.reg", c.registry);
        expectFailedAtFirstPass(runVoriridod(file, {c.arg}), c.id, c.says);
    }
    if (!WineHost::get()) {  // Wine does not enforce exclusive opens.
        platform::FdGuard holder(::open(pty().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_GE(holder.get(), 0);
        ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
        expectFailedAtFirstPass(runVoriridod(sim.registryFile, {kId}), kId, kNotConnected);
    }
    EXPECT_TRUE(untouched());
}

TEST_F(VoriridodE2e, PortTheUserMayNotOpenIsAccessDenied) {
    if (WineHost::get() && ::geteuid() == 0)
        GTEST_SKIP() << "root opens any pty, and Wine runs only as the owner of its prefix";
    startSim({kId});
    ModeGuard mode(pty());
    Strings prefix;
    std::string file = sim.registryFile;
    if (::geteuid() == 0) {
        // Root opens anything: run as nobody against a root-only pty.
        const auto setpriv = e2e::findInPath("setpriv");
        if (!setpriv) GTEST_SKIP() << "running as root and setpriv is not installed";
        prefix = {*setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
        std::string text;
        ASSERT_TRUE(sim::readTextFile(sim.registryFile, &text));
        ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
        file = dir.write("shared.reg", text);
        ASSERT_EQ(::chmod(pty().c_str(), 0600), 0);
        const sim::RunResult probe = runVoriridod(file, {"/?"}, prefix);
        if (probe.exitCode != 0 || probe.out != kBanner)
            GTEST_SKIP() << "voriridod cannot run as user 65534: " << probe.err;
    } else {
        ASSERT_EQ(::chmod(pty().c_str(), 0), 0);
    }
    expectFailedAtFirstPass(runVoriridod(file, {kId}, prefix), kId, kNoAccess);
    EXPECT_TRUE(untouched());
}

// A device that goes silent must not hold the tool: the read times out.
TEST_F(VoriridodE2e, UnplugOrSilenceDuringSecondPassIsAWriteError) {
    for (const char* fault : {"--unplug-after", "--silent-after"}) {
        SCOPED_TRACE(fault);
        startSim({fault, "130", kId});
        expectRun(runVoriridod(sim.registryFile, {kId}), 1, failed(kId),
                  progress(kId, 1) + progress(kId, 2) + kWriteError);
        std::array<uint8_t, 128> expected;
        expected.fill(0xFF);
        expected[0] = 0x00;
        expected[1] = 0x00;
        EXPECT_EQ(memory(), expected);
        if (WineHost* wine = WineHost::get()) wine->stop();
        ASSERT_TRUE(sim.stop());
    }
}

}  // namespace
