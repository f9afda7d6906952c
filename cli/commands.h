// The subcommands, each given its parsed arguments; each returns the exit
// status after reporting what went wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/display.h"
#include "cli/wipe.h"
#include "hwds/hwds.h"

namespace cli {

// A source as the command line names it.
struct Target {
    std::string type;  // one of kSourceTypes, as spelt there
    std::optional<std::string> id;
    std::string label() const { return id ? type + " " + *id : type; }
};

struct ReadArgs {
    Target target;
    std::optional<uint64_t> offset, length;
    bool raw = false;
};

struct WriteArgs {
    Target target;
    uint64_t offset = 0;
    std::vector<uint8_t> data;
};

struct RandomArgs {
    Target target;
    uint64_t bytes = 0;
    bool raw = true;
    bool check = false;  // only blocks that pass the health tests go out
};

int listCommand(bool json);
int readCommand(const ReadArgs& args, Display& display);
int writeCommand(const WriteArgs& args, Display& display);
int dumpCommand(const Target& target, Display& display);
int randomCommand(const RandomArgs& args, Display& display);
int wipeCommand(const WipeRequest& request, bool json, Display& display);

// Opens the source; on failure says why and gives the exit status in *status.
HwDataSource* openTarget(const Target& target, int* status);

// The size of the source's memory. The framework has no size query, but a
// read of no bytes succeeds exactly up to the end of the memory.
CeResult memoryCapacity(HwDataSource* source, const HWDSInteraction* interaction,
                        uint32_t* capacity);

// Whether the registry view failed to load; says so when it did.
bool registryBroken();

}  // namespace cli
