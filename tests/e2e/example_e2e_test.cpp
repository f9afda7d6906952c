// The example program against the simulated driver libraries, found the way an
// installed driver is: by the loader's search, never in the current directory.
// Under HWDS_E2E_WINE, hwds-example.exe with the drivers in System32.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"
#include "sim/drivers/sim_driver.h"
#include "tests/e2e/wine_host.h"
#include "tests/fakes/temp_dir.h"

#ifndef HWDS_EXAMPLE_PATH
#error "this suite runs hwds-example: build it where that program is built"
#endif

namespace {

namespace fs = std::filesystem;
using e2e::WineHost;

// Copies of the driver libraries in `dir` for the life of the guard.
struct Copied {
    explicit Copied(const fs::path& dir) {
        WineHost* wine = WineHost::get();
        const fs::path from = wine ? wine->built("sim/drivers") : SIM_DRIVERS_DIR;
        for (const std::string name : {"tmdrv32", "snellock"}) {
            const std::string file = wine ? name + ".dll" : "lib" + name + ".so";
            std::error_code ec;
            fs::copy_file(from / file, dir / file, fs::copy_options::overwrite_existing, ec);
            if (!ec) files.push_back(dir / file);
        }
    }
    ~Copied() {
        std::error_code ignored;
        for (const fs::path& file : files) fs::remove(file, ignored);
    }
    std::vector<fs::path> files;
};

// What the program prints, as the system's console receives it.
std::string shown(const std::string& text) { return WineHost::get() ? WineHost::console(text) : text; }

// Sixteen bytes of the generator as the example shows them.
std::string hexLine(simdrv::Xorshift rng) {
    std::string line;
    char byte[4];
    for (int i = 0; i < 16; ++i)
        line.append(byte, std::snprintf(byte, sizeof byte, "%02x%c", rng.next(), i == 15 ? '\n' : ' '));
    return line;
}

TEST(ExampleEndToEnd, DriversAreFoundThroughTheSearchPathOnly) {
    fakes::TempDir dir;
    const Copied beside(dir.path);  // in the current directory of the `here` rows, where none is looked for
    ASSERT_EQ(beside.files.size(), 2u);
    std::optional<Copied> installed;  // under Wine, in System32; Wine's search for its own Linux libraries stays
    struct Case {
        std::vector<std::string> args;
        std::string settings;
        int exitCode;
        std::string out, err;
        bool here = false;
    };
    const Case cases[] = {
        {{"ACCORD", "-", "random", "4"}, "TMDRV32_SIM=", 1, "", "open: CE_HW_NOT_FOUND\n", true},
        {{"SOBOL", "-", "random", "4"}, "SNELLOCK_SIM=", 1, "", "open: CE_HW_NOT_FOUND\n", true},
        {{"ACCORD", "-", "read", "28", "4"}, "TMDRV32_SIM=family=8 fill=0x3c", 0, "3c 3c 3c 3c\n", ""},
        {{"accord", "unchecked-read", "read", "120", "1"}, "TMDRV32_SIM=family=8", 1, "", "read: CE_CODE_CORRUPTED\n"},
        {{"ACCORD", "-", "read", "0", "1"},
         "TMDRV32_SIM=present=0",
         1,
         "",
         "ACCORD  needs attention (prompt 1)\nread: CE_CANCELED\n"},
        {{"ACCORD", "-", "random", "4"}, "TMDRV32_SIM=zero-random", 1, "", "random: CE_HW_FAIL\n"},
        {{"ACCORD", "-", "random", "16"}, "TMDRV32_SIM=seed=3", 0, hexLine(simdrv::Xorshift(3)), ""},
        // A fresh library, but the card's generator runs on: the block after the open's test request.
        {{"SOBOL", "1f", "random", "16"},
         "SNELLOCK_SIM=seed=5",
         0,
         hexLine(simdrv::Xorshift(5u * 2654435761u + 1)),
         ""},
        {{"SOBOL", "1g", "random", "16"}, "SNELLOCK_SIM=", 1, "", "open: CE_BAD_PARAM\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=card=0", 1, "", "open: CE_HW_NOT_FOUND\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=zero", 1, "", "random: CE_HW_FAIL\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[2] + " " + c.settings);
        const std::string cwd = c.here ? dir.path : ".";
        sim::RunResult run;
        if (WineHost* wine = WineHost::get()) {
            if (!c.here && !installed) installed.emplace(wine->system32());
            ASSERT_TRUE(c.here || installed->files.size() == 2u) << "cannot copy the drivers to " << wine->system32();
            run = wine->run("examples/hwds-example.exe", c.args, {c.settings}, cwd);
        } else {
            std::vector<std::string> argv{"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\"",
                                          "sh",      cwd,  HWDS_EXAMPLE_PATH};
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            run = sim::runProgram(
                argv, {c.here ? "LD_LIBRARY_PATH=/nonexistent" : "LD_LIBRARY_PATH=" SIM_DRIVERS_DIR, c.settings});
        }
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.out, shown(c.out));
        EXPECT_EQ(run.err, shown(c.err));
    }
}

}  // namespace
