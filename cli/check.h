// check: the health of random bytes from a file or standard input.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace cli {

struct CheckArgs {
    std::string file = "-";  // "-": standard input
    bool json = false;
};

// Adds the subcommand, its options landing in *args.
CLI::App* addCheckCommand(CLI::App& app, CheckArgs* args);
int checkCommand(const CheckArgs& args);

}  // namespace cli
