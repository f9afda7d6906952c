// The subcommands of hwds, one unit each: it adds its options to the command
// line and runs once they are parsed. The program is the table of them.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <optional>
#include <string>

#include "cli/cli.h"
#include "cli/display.h"

namespace cli {

class Subcommand {
public:
    virtual ~Subcommand() = default;
    // Adds the subcommand to the program; `timeout` takes --timeout, in
    // seconds, for the questions put to the operator.
    virtual CLI::App* add(CLI::App& program, double* timeout) = 0;
    // Runs it after a successful parse; returns the exit status.
    virtual int run(Display& display) = 0;
};

std::unique_ptr<Subcommand> listSubcommand();
std::unique_ptr<Subcommand> readSubcommand();
std::unique_ptr<Subcommand> writeSubcommand();
std::unique_ptr<Subcommand> dumpSubcommand();
std::unique_ptr<Subcommand> randomSubcommand();
std::unique_ptr<Subcommand> wipeSubcommand();
std::unique_ptr<Subcommand> checkSubcommand();
std::unique_ptr<Subcommand> certificateSubcommand();
std::unique_ptr<Subcommand> journalSubcommand();

// ---- What several subcommands share ------------------------------------------

// A source as the command line names it.
struct Target {
    std::string type;  // as hwdsSourceType spells it
    std::optional<std::string> id;
    std::string label() const { return id ? type + " " + *id : type; }
};

// The TYPE and ID arguments.
class TargetOptions {
public:
    void add(CLI::App* command);
    Target target() const;

private:
    std::string type_, id_;
    CLI::Option* idOption_ = nullptr;
};

void addTimeout(CLI::App* command, double* seconds);

// parseNumber, saying what is wrong with `text` when it fails.
bool number(const std::string& what, const std::string& text, uint64_t max, uint64_t* value);

// Whether --min-entropy's value is a claim a source can make (more than 0,
// at most 8 bits a byte); says why not when it is not.
bool minEntropyAllowed(double bits);

// Opens the source; on failure says why and gives the exit status in *status.
HwDataSource* openTarget(const Target& target, int* status);

// Whether the registry view failed to load; says so when it did.
bool registryBroken();

// The callback state that names the target to the operator.
Attention attentionFor(const Target& target, Display& display);

}  // namespace cli
