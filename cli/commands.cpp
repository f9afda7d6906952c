// The command line: CLI11 parses it, and its exceptions stop here.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

#include "cli/check.h"
#include "cli/cli.h"
#include "cli/commands.h"

namespace cli {

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
    "  5  check, random --check: a block failed a FIPS 140-2 test or repeated one\n"
    "  When several devices fail for different reasons, the status is 1.\n";

constexpr double kDefaultTimeoutSeconds = 60;

struct TargetOptions {
    std::string type;
    std::string id;
    CLI::Option* idOption = nullptr;
    Target target() const {
        return {type, idOption->count() > 0 ? std::optional<std::string>(id) : std::nullopt};
    }
};

void addTarget(CLI::App* command, TargetOptions* options) {
    command
        ->add_option("TYPE", options->type, "source type: TUVAK, ACCORD or SOBOL (any letter case)")
        ->required()
        ->check(CLI::IsMember(
            std::vector<std::string>(std::begin(kSourceTypes), std::end(kSourceTypes)),
            CLI::ignore_case));
    options->idOption = command->add_option(
        "ID", options->id,
        "the device: a TUVAK identifier as hwds list shows it; for ACCORD the option\n"
        "unchecked-read; for SOBOL a card number in hexadecimal");
}

void addTimeout(CLI::App* command, double* seconds) {
    command
        ->add_option("--timeout", *seconds,
                     "seconds a question to the operator waits for an answer (default 60)")
        ->check(CLI::Range(1.0, 86400.0));
}

bool number(const std::string& what, const std::string& text, uint64_t max, uint64_t* value) {
    if (parseNumber(text, max, value)) return true;
    complain(what + " '" + text + "' is not a number from 0 to " + std::to_string(max));
    return false;
}

bool readFile(const std::string& path, std::vector<uint8_t>* data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int wipeCommand(const WipeRequest& request, bool json, Display& display) {
    registryBroken();
    const std::vector<WipeOutcome> outcomes = wipeDevices(request, display);
    std::vector<int> statuses;
    for (const WipeOutcome& o : outcomes) {
        statuses.push_back(o.exitStatus());
        if (!o.ok())
            complain("TUVAK " + o.id + ": " + o.failure + " (" + resultName(o.result) + ")");
    }
    const std::string table = wipeTable(outcomes, request.verify);
    const bool written =
        json ? writeErr(table) && writeOut(wipeJson(outcomes, request.verify)) : writeOut(table);
    if (!written) return kExitFailed;
    return combinedExitStatus(statuses);
}

}  // namespace cli

int hwdsCliMain(int argc, char** argv) {
    using namespace cli;
    CLI::App app{
        "hwds: list, read, write, dump, wipe and test the key stores and random\n"
        "generators that the hwds framework reaches (TUVAK, ACCORD, SOBOL).",
        "hwds"};
    app.require_subcommand(1);
    app.footer(kExitStatuses);
    app.set_version_flag("--version", "hwds 1.0.0");
    double timeout = kDefaultTimeoutSeconds;

    bool listJson = false;
    CLI::App* list =
        app.add_subcommand("list",
                           "show the attached TUVAK devices and whether an ACCORD key\n"
                           "and a SOBOL card answer");
    list->add_flag("--json", listJson, "a JSON array on standard output instead of text");

    TargetOptions readTarget;
    std::string readOffset, readLength, readFormat = "hex";
    CLI::App* read = app.add_subcommand("read", "read bytes of a source's memory");
    addTarget(read, &readTarget);
    read->add_option("--offset", readOffset, "first byte to read (default 0; decimal or 0x hex)");
    read->add_option("--length", readLength, "bytes to read (default: to the end of the memory)");
    read->add_option("--format", readFormat, "hex (default) or raw bytes")
        ->check(CLI::IsMember({"hex", "raw"}));
    addTimeout(read, &timeout);

    TargetOptions writeTarget;
    std::string writeOffset, writeHex, writeFile;
    CLI::App* write = app.add_subcommand("write", "write bytes into a source's memory");
    addTarget(write, &writeTarget);
    write->add_option("--offset", writeOffset, "first byte to write (decimal or 0x hex)")
        ->required();
    CLI::Option* hexOption =
        write->add_option("--hex", writeHex, "the bytes in hexadecimal, e.g. \"de ad be ef\"");
    CLI::Option* fileOption = write->add_option("--file", writeFile, "a file whose bytes to write");
    hexOption->excludes(fileOption);
    addTimeout(write, &timeout);

    TargetOptions dumpTarget;
    CLI::App* dump = app.add_subcommand("dump", "show a source's whole memory in a hex view");
    addTarget(dump, &dumpTarget);
    addTimeout(dump, &timeout);

    TargetOptions randomTarget;
    std::string randomBytes, randomFormat = "raw";
    CLI::App* random =
        app.add_subcommand("random", "random bytes to standard output, e.g. for rngtest");
    addTarget(random, &randomTarget);
    random
        ->add_option("--bytes", randomBytes,
                     "how many: a number with an optional K, M or G (powers of 1024)")
        ->required();
    random->add_option("--format", randomFormat, "raw (default) or hex")
        ->check(CLI::IsMember({"hex", "raw"}));
    bool randomCheck = false;
    random->add_flag("--check", randomCheck,
                     "pass on only the blocks that pass the tests of hwds check; report to\n"
                     "standard error; exit status 5 when a block failed or repeated");
    addTimeout(random, &timeout);

    std::vector<std::string> wipeIds;
    std::string passes = "FF,00,55,AA,00";
    bool verify = false, wipeJsonOut = false;
    std::size_t jobs = 0;
    CLI::App* wipe = app.add_subcommand(
        "wipe",
        "overwrite the whole memory of TUVAK devices, several at once; exit status 0\n"
        "only when every device was wiped (and verified, with --verify)");
    wipe->add_option("ID", wipeIds, "identifiers of the devices, as hwds list shows them")
        ->required();
    wipe->add_flag("--verify", verify, "read all 128 bytes back after the last pass and compare");
    wipe->add_option("--passes", passes,
                     "the byte of each pass in hexadecimal (default FF,00,55,AA,00)");
    wipe->add_option("--jobs", jobs, "devices at work at once (default: all)")
        ->check(CLI::PositiveNumber);
    wipe->add_flag("--json", wipeJsonOut, "a JSON array of the outcomes on standard output");
    addTimeout(wipe, &timeout);

    CheckArgs checkArgs;
    CLI::App* check = addCheckCommand(app, &checkArgs);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0.
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    Display display(static_cast<uint32_t>(timeout * 1000));
    if (list->parsed()) return listCommand(listJson);
    if (check->parsed()) return checkCommand(checkArgs);
    if (dump->parsed()) return dumpCommand(dumpTarget.target(), display);

    if (read->parsed()) {
        ReadArgs args{readTarget.target(), {}, {}, readFormat == "raw"};
        uint64_t value = 0;
        if (!readOffset.empty()) {
            if (!number("offset", readOffset, UINT32_MAX, &value)) return kExitUsage;
            args.offset = value;
        }
        if (!readLength.empty()) {
            if (!number("length", readLength, UINT32_MAX, &value)) return kExitUsage;
            args.length = value;
        }
        return readCommand(args, display);
    }
    if (write->parsed()) {
        WriteArgs args{writeTarget.target(), 0, {}};
        if (!number("offset", writeOffset, UINT32_MAX, &args.offset)) return kExitUsage;
        std::string error;
        if (hexOption->count() > 0) {
            if (!parseHexBytes(writeHex, &args.data, &error)) {
                complain("--hex: " + error);
                return kExitUsage;
            }
        } else if (fileOption->count() > 0) {
            if (!readFile(writeFile, &args.data)) {
                complain("cannot read " + writeFile);
                return kExitUsage;
            }
            if (args.data.empty()) {
                complain(writeFile + " is empty: nothing to write");
                return kExitUsage;
            }
        } else {
            complain("write needs --hex BYTES or --file FILE");
            return kExitUsage;
        }
        return writeCommand(args, display);
    }
    if (random->parsed()) {
        RandomArgs args{randomTarget.target(), 0, randomFormat == "raw", randomCheck};
        if (!parseSize(randomBytes, &args.bytes)) {
            complain("--bytes '" + randomBytes +
                     "' is not a count of bytes (such as 4096, 64K or 1M)");
            return kExitUsage;
        }
        return randomCommand(args, display);
    }

    WipeRequest request;
    request.ids = wipeIds;
    request.verify = verify;
    request.jobs = jobs;
    std::string error;
    if (!parsePasses(passes, &request.passes, &error)) {
        complain("--passes: " + error);
        return kExitUsage;
    }
    std::set<std::string> seen;
    for (const std::string& id : request.ids) {
        // The serial source takes an empty identifier as "any device".
        if (id.empty()) {
            complain("an empty identifier names no device");
            return kExitUsage;
        }
        if (!seen.insert(id).second) {
            complain(id + " is named twice");
            return kExitUsage;
        }
    }
    return wipeCommand(request, wipeJsonOut, display);
}
