// The example program against the simulated driver libraries, found the way
// an installed driver is: through the loader's search path, never through
// the current directory.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/control/sim_process.h"
#include "sim/drivers/sim_driver.h"
#include "tests/fakes/temp_dir.h"

#if defined(HWDS_EXAMPLE_PATH)

namespace {

namespace fs = std::filesystem;

sim::RunResult example(const std::vector<std::string>& args, std::vector<std::string> env) {
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
        // The library is loaded afresh for the request, so its first block
        // comes again after the open's test request.
        {{"SOBOL", "1f", "random", "16"}, "SNELLOCK_SIM=seed=5", 0, hexLine(simdrv::Xorshift(5), 16), ""},
        {{"SOBOL", "1g", "random", "16"}, "SNELLOCK_SIM=", 1, "", "open: CE_BAD_PARAM\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=card=0", 1, "", "open: CE_HW_NOT_FOUND\n"},
        {{"SOBOL", "-", "random", "16"}, "SNELLOCK_SIM=zero", 1, "", "random: CE_HW_FAIL\n"},
    };
    for (const Case& c : cases) {
        const sim::RunResult run = example(c.args, {search, c.settings});
        const std::string what = c.args[0] + " " + c.args[2] + " " + c.settings;
        EXPECT_EQ(run.exitCode, c.exitCode) << what;
        EXPECT_EQ(run.out, c.out) << what;
        EXPECT_EQ(run.err, c.err) << what;
    }
}

TEST(ExampleEndToEnd, DriverInTheCurrentDirectoryIsNotLoaded) {
    fakes::TempDir dir;
    for (const char* name : {"libtmdrv32.so", "libsnellock.so"})
        fs::copy_file(fs::path(SIM_DRIVERS_DIR) / name, fs::path(dir.path) / name);
    for (const char* type : {"ACCORD", "SOBOL"}) {
        const sim::RunResult run = sim::runProgram(
            {"/bin/sh", "-c", "cd \"$1\" && exec \"$2\" \"$3\" - random 4", "sh", dir.path, HWDS_EXAMPLE_PATH, type},
            {"LD_LIBRARY_PATH=/nonexistent"});
        EXPECT_EQ(run.exitCode, 1) << type;
        EXPECT_EQ(run.err, "open: CE_HW_NOT_FOUND\n") << type;
    }
}

}  // namespace

#endif
