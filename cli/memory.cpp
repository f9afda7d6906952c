// read, write and dump: a source's memory.
#include <vector>

#include "cli/cli.h"
#include "cli/commands.h"

namespace cli {

namespace {

// Beyond this the search gives up: no source of ours is near that big.
constexpr uint64_t kLargestMemory = uint64_t{1} << 24;
constexpr int kCapacityAttempts = 3;

// Tells an out-of-range request, which the runner ends without asking,
// from a device in trouble, which it asks about.
struct Asked {
    bool asked = false;
    static int32_t interact(void* self, const char*, const char*, int32_t, int32_t code) {
        if (code != HWDS_PROMPT_END) static_cast<Asked*>(self)->asked = true;
        return HWDS_ANSWER_CANCEL;
    }
};

bool readsAt(HwDataSource* source, uint64_t offset) {
    return hwdsRead(source, nullptr, nullptr, 0, static_cast<uint32_t>(offset)) == CE_OK;
}

// Opens the target and finds its memory's size, saying what went wrong.
HwDataSource* openMemory(const Target& target, const HWDSInteraction* interaction,
                         const Attention& attention, uint32_t* capacity, int* status) {
    HwDataSource* source = openTarget(target, status);
    if (source == nullptr) return nullptr;
    const CeResult result = memoryCapacity(source, interaction, capacity);
    if (result != CE_OK) {
        complain(target.label() + ": " + attention.explain(result) + " (" + resultName(result) +
                 ")");
        *status = exitStatusFor(result);
        return nullptr;
    }
    return source;
}

bool checkRange(const Target& target, uint64_t offset, uint64_t length, uint32_t capacity) {
    if (offset <= capacity && length <= capacity - offset) return true;
    complain(target.label() + ": offset " + std::to_string(offset) + " and length " +
             std::to_string(length) + " reach past the end of its " + std::to_string(capacity) +
             "-byte memory");
    return false;
}

Attention attentionFor(const Target& target, Display& display) {
    Attention attention;
    attention.display = &display;
    attention.label = target.label();
    return attention;
}

}  // namespace

bool registryBroken() {
    platform::Registry* registry = platform::current().registry;
    const std::string error = registry ? registry->unavailableReason() : std::string();
    if (!error.empty()) complain(error);
    return !error.empty();
}

HwDataSource* openTarget(const Target& target, int* status) {
    // The serial source would take a missing identifier as "whichever device
    // the driver lists last".
    if (target.type == "TUVAK" && (!target.id || target.id->empty())) {
        complain("TUVAK needs the identifier of a device (see hwds list)");
        *status = kExitUsage;
        return nullptr;
    }
    if (target.type == "TUVAK" && registryBroken()) {
        *status = kExitFailed;
        return nullptr;
    }
    HwDataSource* source = nullptr;
    const CeResult result =
        hwdsOpen(&source, target.type.c_str(), target.id ? target.id->c_str() : nullptr);
    if (result != CE_OK) {
        complain(target.label() + ": cannot open: " + describeResult(result) + " (" +
                 resultName(result) + ")");
        *status = exitStatusFor(result);
        return nullptr;
    }
    return source;
}

CeResult memoryCapacity(HwDataSource* source, const HWDSInteraction* interaction,
                        uint32_t* capacity) {
    for (int attempt = 0; attempt < kCapacityAttempts; ++attempt) {
        // With the caller's callback: a device that is not there is asked about.
        const CeResult first = hwdsRead(source, interaction, nullptr, 0, 0);
        if (first != CE_OK) return first;

        uint64_t fits = 0;
        uint64_t beyond = 64;
        while (beyond <= kLargestMemory && readsAt(source, beyond)) {
            fits = beyond;
            beyond *= 2;
        }
        if (beyond > kLargestMemory) return CE_HW_FAIL;
        while (beyond - fits > 1) {
            const uint64_t middle = fits + (beyond - fits) / 2;
            (readsAt(source, middle) ? fits : beyond) = middle;
        }
        // The search cannot tell "past the end" from a device that was busy
        // for a moment; the runner can, by asking only about the latter.
        Asked asked;
        const HWDSInteraction record{nullptr, &Asked::interact, nullptr, &asked};
        const CeResult past =
            hwdsRead(source, &record, nullptr, 0, static_cast<uint32_t>(fits + 1));
        if (past == CE_CODE_CORRUPTED && !asked.asked) {
            *capacity = static_cast<uint32_t>(fits);
            return CE_OK;
        }
    }
    return CE_HW_FAIL;
}

namespace {

int requestFailed(const Target& target, const char* what, const Attention& attention, CeResult result) {
    complain(target.label() + ": " + what + " failed: " + attention.explain(result) + " (" +
             resultName(result) + ")");
    return exitStatusFor(result);
}

}  // namespace

int readCommand(const ReadArgs& args, Display& display) {
    Attention attention = attentionFor(args.target, display);
    const HWDSInteraction interaction = attention.record();
    uint32_t capacity = 0;
    int status = kExitOk;
    HwDataSource* source = openMemory(args.target, &interaction, attention, &capacity, &status);
    if (source == nullptr) return status;

    const uint64_t offset = args.offset.value_or(0);
    const uint64_t length =
        args.length ? *args.length : (offset <= capacity ? capacity - offset : 0);
    if (!checkRange(args.target, offset, length, capacity)) return kExitUsage;

    std::vector<uint8_t> data(length);
    const CeResult result = hwdsRead(source, &interaction, data.data(),
                                     static_cast<uint32_t>(length), static_cast<uint32_t>(offset));
    if (result != CE_OK) return requestFailed(args.target, "read", attention, result);
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    platform::Terminal* terminal = platform::current().terminal;
    if (args.raw && terminal != nullptr) terminal->binaryOutput();
    if (!writeOut(args.raw ? std::string(bytes) : hexLines(data.data(), data.size()))) {
        complain("cannot write to standard output");
        return kExitFailed;
    }
    return kExitOk;
}

int writeCommand(const WriteArgs& args, Display& display) {
    Attention attention = attentionFor(args.target, display);
    const HWDSInteraction interaction = attention.record();
    uint32_t capacity = 0;
    int status = kExitOk;
    HwDataSource* source = openMemory(args.target, &interaction, attention, &capacity, &status);
    if (source == nullptr) return status;
    if (!checkRange(args.target, args.offset, args.data.size(), capacity)) return kExitUsage;

    const CeResult result =
        hwdsWrite(source, &interaction, args.data.data(), static_cast<uint32_t>(args.data.size()),
                  static_cast<uint32_t>(args.offset));
    if (result != CE_OK) return requestFailed(args.target, "write", attention, result);
    writeErr(args.target.label() + ": wrote " + std::to_string(args.data.size()) +
             " bytes at offset " + std::to_string(args.offset) + "\n");
    return kExitOk;
}

int dumpCommand(const Target& target, Display& display) {
    Attention attention = attentionFor(target, display);
    const HWDSInteraction interaction = attention.record();
    uint32_t capacity = 0;
    int status = kExitOk;
    HwDataSource* source = openMemory(target, &interaction, attention, &capacity, &status);
    if (source == nullptr) return status;

    std::vector<uint8_t> data(capacity);
    const CeResult result = hwdsRead(source, &interaction, data.data(), capacity, 0);
    if (result != CE_OK) return requestFailed(target, "read", attention, result);
    if (!writeOut(hexView(data.data(), data.size()))) {
        complain("cannot write to standard output");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace cli
