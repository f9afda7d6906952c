// A simulated Touch Memory reader and key behind the tmdrv32 call interface.
// Built twice: as the driver, and without TmCheckWritePage as a broken one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "sim/drivers/sim_carry.h"
#include "sim/drivers/sim_driver.h"

namespace {

constexpr uint32_t kPages = 256;
constexpr uint32_t kPageBuffer = 32;
constexpr std::size_t kLogLimit = 1 << 20;

struct Reader {
    bool driver = true;
    bool present = true;
    uint8_t family = 0x06;
    uint8_t fill = 0x00;
    long removeAfter = -1;  // page operations until the key is taken away
    long failRead = -1;     // page whose reads fail
    long failWrite = -1;    // page whose writes fail
    bool failId = false;
    bool failRandom = false;
    bool zeroRandom = false;
    int okStatus = 0;  // what success looks like; only its low 16 bits must be zero
    uint32_t seed = 1;
    std::string file;  // pages kept here across processes
    sim::RandomFaults faults;
    std::string stateFile;  // the generator's place, kept across processes
    std::string settings;   // the text these came from
    sim::GeneratorProgress place;

    uint8_t pages[kPages][kPageBuffer] = {};
    long pageOps = 0;
    std::string log;
};

constexpr char kCarry[] = "TMDRV32_SIM_PLACE";

std::mutex mutex;
Reader reader;
bool configured = false;

// At unload, the generator's place goes where the next load finds it.
struct Carry {
    ~Carry() {
        if (configured) simdrv::leaveProgressInEnvironment(kCarry, reader.settings, reader.place);
    }
} carry;

int failure() { return reader.okStatus | 0x0005; }

void note(const char* call, long argument = -1) {
    if (reader.log.size() > kLogLimit) return;
    if (!reader.log.empty()) reader.log += ' ';
    reader.log += call;
    if (argument >= 0) reader.log += '(' + std::to_string(argument) + ')';
}

void loadFile() {
    std::FILE* f = std::fopen(reader.file.c_str(), "rb");
    if (f == nullptr) return;
    uint8_t stored[kPages][kPageBuffer];
    if (std::fread(stored, 1, sizeof stored, f) == sizeof stored) std::memcpy(reader.pages, stored, sizeof stored);
    std::fclose(f);
}

[[maybe_unused]] void saveFile() {  // unused by the broken build
    if (reader.file.empty()) return;
    if (std::FILE* f = std::fopen(reader.file.c_str(), "wb")) {
        std::fwrite(reader.pages, 1, sizeof reader.pages, f);
        std::fclose(f);
    }
}

// `loading`: the generator goes on from where the last load of this
// process left it, unless the settings changed.
void configure(const char* text, bool loading) {
    reader = Reader{};
    reader.settings = text != nullptr ? text : "";
    simdrv::forEachSetting(text, [](const std::string& key, const std::string& value) {
        const long n = simdrv::number(value);
        if (simdrv::randomSetting(key, value, &reader.faults, &reader.stateFile)) return;
        if (key == "driver")
            reader.driver = n != 0;
        else if (key == "present")
            reader.present = n != 0;
        else if (key == "family")
            reader.family = static_cast<uint8_t>(n);
        else if (key == "fill")
            reader.fill = static_cast<uint8_t>(n);
        else if (key == "remove-after")
            reader.removeAfter = n;
        else if (key == "fail-read")
            reader.failRead = n;
        else if (key == "fail-write")
            reader.failWrite = n;
        else if (key == "fail-id")
            reader.failId = n != 0;
        else if (key == "fail-random")
            reader.failRandom = n != 0;
        else if (key == "zero-random")
            reader.zeroRandom = n != 0;
        else if (key == "ok-status")
            reader.okStatus = static_cast<int>(n) & ~0xFFFF;
        else if (key == "seed")
            reader.seed = static_cast<uint32_t>(n);
        else if (key == "file")
            reader.file = value;
    });
    std::memset(reader.pages, reader.fill, sizeof reader.pages);
    if (!reader.file.empty()) loadFile();
    reader.place = sim::GeneratorProgress{reader.seed};
    if (loading) simdrv::progressLeftInEnvironment(kCarry, reader.settings, &reader.place);
    if (!reader.stateFile.empty()) sim::loadPlace(reader.stateFile, &reader.place);
    configured = true;
}

// Every entry point starts here, under the lock.
void begin() {
    if (!configured) configure(std::getenv("TMDRV32_SIM"), true);
}

bool keyThere() { return reader.present; }

// A page operation: counts toward the key's removal.
bool pageOp(uint32_t page) {
    if (!keyThere() || page >= kPages) return false;
    if (reader.removeAfter >= 0 && ++reader.pageOps >= reader.removeAfter) reader.present = false;
    return true;
}

int readPage(const char* call, uint32_t page, unsigned char* buf32) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note(call, page);
    if (!pageOp(page) || static_cast<long>(page) == reader.failRead) return failure();
    std::memcpy(buf32, reader.pages[page], kPageBuffer);
    return reader.okStatus;
}

}  // namespace

SIM_ENTRY int TmDriverPresent(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("TmDriverPresent");
    return reader.driver ? 1 : 0;
}

SIM_ENTRY int TmPresent(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("TmPresent");
    return keyThere() ? 1 : 0;
}

SIM_ENTRY int TmGetId(unsigned char* id) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("TmGetId");
    if (!keyThere() || reader.failId) return failure();
    // Family code, a serial number, a CRC byte: what a key's ROM holds.
    const unsigned char rom[8] = {reader.family, 0x51, 0x0E, 0x7A, 0x13, 0x00, 0x00, 0x42};
    std::memcpy(id, rom, sizeof rom);
    return reader.okStatus;
}

SIM_ENTRY int TmRawReadPage(uint32_t page, unsigned char* buf32) { return readPage("TmRawReadPage", page, buf32); }

SIM_ENTRY int TmCheckReadPage(uint32_t page, unsigned char* buf32) { return readPage("TmCheckReadPage", page, buf32); }

#ifndef TMDRV32_SIM_BROKEN
SIM_ENTRY int TmCheckWritePage(uint32_t page, const unsigned char* buf32) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("TmCheckWritePage", page);
    if (!pageOp(page) || static_cast<long>(page) == reader.failWrite) return failure();
    std::memcpy(reader.pages[page], buf32, kPageBuffer);
    saveFile();
    return reader.okStatus;
}
#endif

SIM_ENTRY int TmGetRandomBytes(unsigned char* buf, uint32_t count) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    note("TmGetRandomBytes", count);
    if (reader.failRandom) return failure();
    sim::drawRandom(reader.faults, reader.seed, &reader.place, buf, count, simdrv::xorshiftRequest);
    if (reader.zeroRandom) std::memset(buf, 0, count);
    if (!reader.stateFile.empty()) sim::savePlace(reader.stateFile, reader.place);
    return reader.okStatus;
}

// ---- Control, for tests and demos --------------------------------------

// Starts afresh with these settings (null: those of TMDRV32_SIM).
SIM_EXPORT void TmSimConfigure(const char* settings) {
    std::lock_guard<std::mutex> hold(mutex);
    configure(settings != nullptr ? settings : std::getenv("TMDRV32_SIM"), false);
}

// The calls since the last configuration, blank-separated, page numbers and
// counts in brackets: "TmPresent TmGetId TmCheckReadPage(4)".
SIM_EXPORT const char* TmSimLog(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    return reader.log.c_str();
}

SIM_EXPORT void TmSimClearLog(void) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    reader.log.clear();
}

// A page as the key holds it, without touching the log or the counters.
SIM_EXPORT void TmSimPeek(uint32_t page, unsigned char* buf32) {
    std::lock_guard<std::mutex> hold(mutex);
    begin();
    std::memcpy(buf32, reader.pages[page % kPages], kPageBuffer);
}
