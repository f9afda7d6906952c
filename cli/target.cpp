// What the subcommands share: naming a source and opening it.
#include <vector>

#include "cli/subcommand.h"
#include "hwds/tuvak/tuvak_devices.h"

namespace cli {

void TargetOptions::add(CLI::App* command) {
    std::vector<std::string> types;
    for (uint32_t i = 0; const char* type = hwdsSourceType(i); ++i) types.emplace_back(type);
    command->add_option("TYPE", type_, "source type: TUVAK, ACCORD or SOBOL (any letter case)")
        ->required()
        ->check(CLI::IsMember(types, CLI::ignore_case));
    idOption_ = command->add_option("ID", id_,
                                    "the device: a TUVAK identifier as hwds list shows it; for ACCORD the option\n"
                                    "unchecked-read; for SOBOL a card number in hexadecimal");
}

Target TargetOptions::target() const {
    return {type_, idOption_->count() > 0 ? std::optional<std::string>(id_) : std::nullopt};
}

void addTimeout(CLI::App* command, double* seconds) {
    command->add_option("--timeout", *seconds, "seconds a question to the operator waits for an answer (default 60)")
        ->check(CLI::Range(1.0, 86400.0));
}

bool number(const std::string& what, const std::string& text, uint64_t max, uint64_t* value) {
    if (parseNumber(text, max, value)) return true;
    complain(what + " '" + text + "' is not a number from 0 to " + std::to_string(max));
    return false;
}

bool minEntropyAllowed(double bits) {
    if (bits > 0 && bits <= 8) return true;
    complain("--min-entropy " + std::to_string(bits) + " is not a claim in bits a byte: more than 0, at most 8");
    return false;
}

bool registryBroken() {
    const std::string error = tuvakRegistryProblem();
    if (!error.empty()) complain(error);
    return !error.empty();
}

HwDataSource* openTarget(const Target& target, int* status) {
    if (target.type == "TUVAK" && !tuvakIdNamesDevice(target.id ? target.id->c_str() : nullptr)) {
        complain("TUVAK needs the identifier of a device (see hwds list)");
        *status = kExitUsage;
        return nullptr;
    }
    if (target.type == "TUVAK" && registryBroken()) {
        *status = kExitFailed;
        return nullptr;
    }
    HwDataSource* source = nullptr;
    const CeResult result = hwdsOpen(&source, target.type.c_str(), target.id ? target.id->c_str() : nullptr);
    if (result != CE_OK) {
        complain(target.label() + ": cannot open: " + describeResult(result) + " (" + resultName(result) + ")");
        *status = exitStatusFor(result);
        return nullptr;
    }
    return source;
}

Attention attentionFor(const Target& target, Display& display) {
    Attention attention;
    attention.display = &display;
    attention.label = target.label();
    return attention;
}

}  // namespace cli
