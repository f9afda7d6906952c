// The command line: CLI11 parses it, and its exceptions stop here.
#include <memory>
#include <vector>

#include "cli/record.h"
#include "cli/subcommand.h"

namespace {

constexpr char kExitStatuses[] =
    "Exit status:\n"
    "  0  success (of every device, when several are named)\n"
    "  1  a device or its driver failed\n"
    "  2  bad command line, argument or file; offset or length out of range;\n"
    "     an identifier the source refuses; an operation the source or its\n"
    "     device does not offer (reading a SOBOL card, a key of unknown family)\n"
    "  3  device not found or not connected; the operator canceled or did not answer\n"
    "  4  wipe --verify: the memory read back differs from the last pass\n"
    "  5  random: the bytes failed an SP 800-90B health test (only bytes that passed\n"
    "     were written); check, random --check: a block failed a FIPS 140-2 test or\n"
    "     repeated one; check: an SP 800-90B test failed\n"
    "  6  journal verify: a line of the journal was changed, removed, reordered or\n"
    "     torn, or its signature does not hold\n"
    "  When several devices fail for different reasons, the status is 1.\n";

using SubcommandFactory = std::unique_ptr<cli::Subcommand> (*)();

// In the order --help lists them.
constexpr SubcommandFactory kSubcommands[] = {
    cli::listSubcommand,        cli::readSubcommand,   cli::writeSubcommand,
    cli::dumpSubcommand,        cli::randomSubcommand, cli::wipeSubcommand,
    cli::certificateSubcommand, cli::checkSubcommand,  cli::journalSubcommand,
};

}  // namespace

int hwdsCliMain(int argc, char** argv) {
    CLI::App app{
        "hwds: list, read, write, dump, wipe and test the key stores and random\n"
        "generators that the hwds framework reaches (TUVAK, ACCORD, SOBOL), and\n"
        "check the journal of erasures.",
        "hwds"};
    app.require_subcommand(1);
    app.footer(kExitStatuses);
    app.set_version_flag("--version", std::string(cli::kToolName) + " " + cli::kToolVersion);
    double timeout = 60;

    std::vector<std::pair<std::unique_ptr<cli::Subcommand>, CLI::App*>> subcommands;
    for (SubcommandFactory make : kSubcommands) {
        std::unique_ptr<cli::Subcommand> subcommand = make();
        CLI::App* command = subcommand->add(app, &timeout);
        subcommands.emplace_back(std::move(subcommand), command);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0.
        return app.exit(e) == 0 ? cli::kExitOk : cli::kExitUsage;
    }
    cli::Display display(static_cast<uint32_t>(timeout * 1000));
    for (auto& [subcommand, command] : subcommands)
        if (command->parsed()) return subcommand->run(display);
    return cli::kExitUsage;
}
