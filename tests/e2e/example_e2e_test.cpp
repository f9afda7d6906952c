// The example program against the simulated driver libraries, found the way
// an installed driver is: through the loader's search path, never through
// the current directory. With HWDS_E2E_WINE naming the Windows build, the
// same cases run hwds-example.exe under Wine, the drivers installed in
// System32 (wine_host.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>

#include "sim/control/sim_process.h"
#include "sim/drivers/sim_driver.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#if defined(HWDS_EXAMPLE_PATH)

namespace {

namespace fs = std::filesystem;
using e2e::WineHost;

constexpr const char* kDrivers[] = {"tmdrv32", "snellock"};

// The driver libraries' files as the system names them.
std::string driverFile(const char* name) {
    return WineHost::get() ? std::string(name) + ".dll" : "lib" + std::string(name) + ".so";
}
std::string driversDir() { return WineHost::get() ? WineHost::get()->built("sim/drivers") : SIM_DRIVERS_DIR; }

// The drivers in the prefix's System32, where an installer puts them, for the
// life of the guard.
class InstalledInSystem32 {
public:
    InstalledInSystem32() {
        for (const char* name : kDrivers) {
            const fs::path target = fs::path(WineHost::get()->system32()) / driverFile(name);
            std::error_code ec;
            fs::copy_file(fs::path(driversDir()) / driverFile(name), target, fs::copy_options::overwrite_existing, ec);
            if (!ec) copied_.push_back(target);
        }
    }
    ~InstalledInSystem32() {
        std::error_code ignored;
        for (const fs::path& file : copied_) fs::remove(file, ignored);
    }
    InstalledInSystem32(const InstalledInSystem32&) = delete;
    InstalledInSystem32& operator=(const InstalledInSystem32&) = delete;
    bool complete() const { return copied_.size() == std::size(kDrivers); }

private:
    std::vector<fs::path> copied_;
};

// What the program prints, as the system's console receives it.
std::string shown(const std::string& text) { return WineHost::get() ? WineHost::console(text) : text; }

sim::RunResult example(const std::vector<std::string>& args, std::vector<std::string> env) {
    if (WineHost* wine = WineHost::get()) return wine->run("examples/hwds-example.exe", args, env);
    std::vector<std::string> argv{HWDS_EXAMPLE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return sim::runProgram(argv, env);
}

std::string hexLine(simdrv::Xorshift rng, int count) {
    std::string line;
    for (int i = 0; i < count; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x%c", rng.next(), i + 1 == count ? '\n' : ' ');
        line += byte;
    }
    return line;
}

TEST(ExampleEndToEnd, ReadsAKeyAndRandomBytesThroughTheSearchPath) {
    std::optional<InstalledInSystem32> installed;
    if (WineHost::get()) {
        installed.emplace();
        ASSERT_TRUE(installed->complete()) << "cannot copy the drivers to " << WineHost::get()->system32();
    }
    const std::string search = std::string("LD_LIBRARY_PATH=") + SIM_DRIVERS_DIR;
    struct Case {
        std::vector<std::string> args;
        std::string settings;  // TMDRV32_SIM=... or SNELLOCK_SIM=...
        int exitCode;
        std::string out, err;
    };
    const Case cases[] = {
        {{"ACCORD", "-", "read", "28", "4"}, "TMDRV32_SIM=family=8 fill=0x3c", 0, "3c 3c 3c 3c\n", ""},
        {{"accord", "unchecked-read", "read", "120", "1"}, "TMDRV32_SIM=family=8", 1, "", "read: CE_CODE_CORRUPTED\n"},
        {{"ACCORD", "-", "read", "0", "1"}, "TMDRV32_SIM=present=0", 1, "",
         "ACCORD  needs attention (prompt 1)\nread: CE_CANCELED\n"},
        {{"ACCORD", "-", "random", "4"}, "TMDRV32_SIM=zero-random", 1, "", "random: CE_HW_FAIL\n"},
        {{"ACCORD", "-", "random", "16"}, "TMDRV32_SIM=seed=3", 0, hexLine(simdrv::Xorshift(3), 16), ""},
        // The library is loaded afresh for the request, but the card's
        // generator runs on: the block after the open's test request.
        {{"SOBOL", "1f", "random", "16"}, "SNELLOCK_SIM=seed=5", 0, hexLine(simdrv::Xorshift(5u * 2654435761u + 1), 16), ""},
        {{"SOBOL", "1g", "random", "16"}, "SNELLOCK_SIM=", 1, "", "open: CE_BAD_PARAM\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=card=0", 1, "", "open: CE_HW_NOT_FOUND\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=zero", 1, "", "random: CE_HW_FAIL\n"},
    };
    for (const Case& c : cases) {
        // Under Wine the drivers are in System32; Wine's own search path for
        // its Linux libraries stays as it is.
        const sim::RunResult run =
            WineHost::get() ? example(c.args, {c.settings}) : example(c.args, {search, c.settings});
        const std::string what = c.args[0] + " " + c.args[2] + " " + c.settings;
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        EXPECT_EQ(run.out, shown(c.out)) << what;
        EXPECT_EQ(run.err, shown(c.err)) << what;
    }
}

TEST(ExampleEndToEnd, DriverInTheCurrentDirectoryIsNotLoaded) {
    fakes::TempDir dir;
    for (const char* name : kDrivers)
        fs::copy_file(fs::path(driversDir()) / driverFile(name), fs::path(dir.path) / driverFile(name));
    for (const char* type : {"ACCORD", "SOBOL"}) {
        const sim::RunResult run =
            WineHost::get()
                ? WineHost::get()->run("examples/hwds-example.exe", {type, "-", "random", "4"}, {}, dir.path)
                : sim::runProgram({"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" \"$3\" - random 4", "sh", dir.path,
                                   HWDS_EXAMPLE_PATH, type},
                                  {"LD_LIBRARY_PATH=/nonexistent"});
        EXPECT_EQ(run.exitCode, 1) << type;
        EXPECT_EQ(run.err, shown("open: CE_HW_NOT_FOUND\n")) << type;
    }
}

}  // namespace

#endif
