// hwds: hardware data sources (key stores and random generators) behind one
// interface, opened by type name and identifier, used through one runner.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// ---- Result codes: everything that leaves the framework -----------------

using CeResult = int32_t;

inline constexpr CeResult CE_OK = 0;
inline constexpr CeResult CE_RNG_NOT_INIT = 1;
inline constexpr CeResult CE_RNG_FAIL = 2;
inline constexpr CeResult CE_RNG_INSECURE = 3;
inline constexpr CeResult CE_RNG_FAIL_LOCK = 4;
inline constexpr CeResult CE_HW_NOT_FOUND = 5;
inline constexpr CeResult CE_BAD_PARAM = 6;
inline constexpr CeResult CE_NO_MEM = 7;
inline constexpr CeResult CE_CODE_CORRUPTED = 8;
inline constexpr CeResult CE_SIGN_BAD = 9;
inline constexpr CeResult CE_BAD_LEN = 10;
inline constexpr CeResult CE_BAD_ORDER = 11;
inline constexpr CeResult CE_ALG_NOT_SUPPORTED = 12;
inline constexpr CeResult CE_INTERNAL_ERROR = 13;
inline constexpr CeResult CE_HASH_NOT_FINISHED = 14;
inline constexpr CeResult CE_KEY_NOT_VALID = 15;
inline constexpr CeResult CE_CRC_BAD = 16;
inline constexpr CeResult CE_RNG_NEED_INTERACTIVE_INIT = 17;
inline constexpr CeResult CE_RNG_NEED_INTERACTION = 18;
inline constexpr CeResult CE_CANCELED = 19;
inline constexpr CeResult CE_HW_NOT_SUPPORTED = 20;
inline constexpr CeResult CE_HW_OP_NOT_SUPPORTED = 21;
inline constexpr CeResult CE_HW_FAIL_LOCK = 22;
inline constexpr CeResult CE_HW_FAIL = 23;
inline constexpr CeResult CE_HW_NEED_INTERACTION = 24;
inline constexpr CeResult CE_TIMEOUT = 25;
inline constexpr CeResult CE_HW_ACCESS_DENIED = 26;
inline constexpr CeResult CE_HW_WRITE_FAILED = 27;
inline constexpr CeResult CE_MAC_BAD = 28;

inline constexpr int CE_RESULT_COUNT = 29;

// Names of the codes 0 to 28, indexed by value.
extern const char* const CE_RESULT_NAMES[CE_RESULT_COUNT];

// The code's name, or null for a value outside 0 to 28.
const char* ceResultName(CeResult code);

// ---- Source statuses: what a source's operations return -----------------

inline constexpr int32_t HWDS_OK = 0;
inline constexpr int32_t HWDS_FAILED = 1;
inline constexpr int32_t HWDS_NOT_SUPPORTED = 2;
inline constexpr int32_t HWDS_NOT_PRESENT = 3;
inline constexpr int32_t HWDS_IO_ERROR = 4;
inline constexpr int32_t HWDS_BAD_RANGE = 5;
inline constexpr int32_t HWDS_ACCESS_DENIED = 6;
inline constexpr int32_t HWDS_WRITE_ERROR = 7;
inline constexpr int32_t HWDS_ASK_4 = 8;
inline constexpr int32_t HWDS_NOT_ENUMERATED = 9;

// ---- Data sources -------------------------------------------------------

namespace hwds {
class HealthMonitor;
}
// What a source can tell people of its store beyond the size its reads and
// writes reach (the description query).
struct HwStoreInfo {
    char serial[40];        // the store's own serial number or identifier, as text; empty when it has none
    uint32_t presentBytes;  // bytes the store holds, of which some may lie out of memorySize's reach
};

class HwDataSource {
public:
    const char* type;            // the class's static type-name text
    platform::MutexHandle lock;  // the source's mutex; null when the system refused
    HwDataSource* next;          // link in openSources
    char* id;                    // own copy of the identifier, or null
    // The continuous tests of checked requests, made by the first one; owned
    // and guarded by lock.
    hwds::HealthMonitor* health = nullptr;

    virtual bool providesRandom() = 0;
    virtual bool providesStorage() = 0;
    virtual const char* typeName() = 0;
    virtual ~HwDataSource();
    virtual bool matchesId(const char* otherId);
    virtual int32_t write(const uint8_t* data, uint32_t length, uint32_t offset);
    virtual int32_t read(uint8_t* data, uint32_t length, uint32_t offset);
    virtual int32_t getRandom(uint8_t* data, uint32_t length);
    // The size of the memory that read and write address, in bytes; a source
    // without memory answers HWDS_NOT_SUPPORTED.
    virtual int32_t memorySize(uint32_t* size);
    // The store's serial and its bytes; a source without memory answers
    // HWDS_NOT_SUPPORTED.
    virtual int32_t describe(HwStoreInfo* info);

    HwDataSource(const HwDataSource&) = delete;
    HwDataSource& operator=(const HwDataSource&) = delete;

protected:
    // `keptId`, when not null, is copied into `id`; the copy can fail, which
    // adopt() reports.
    explicit HwDataSource(const char* typeText, const char* keptId = nullptr);

    // The factories' common ending: a source that could not be allocated, or
    // whose identifier copy failed, is CE_NO_MEM and leaves nothing behind.
    static CeResult adopt(HwDataSource* created, const char* keptId, HwDataSource** out);
};

// Returns the open source of that type (ASCII case ignored) and identifier,
// or creates it. The pointer is borrowed and valid until process exit.
CeResult hwdsOpen(HwDataSource** out, const char* type, const char* id);

// Run automatically at process start and normal exit.
void hwdsStartup();
void hwdsTeardown();

// The most recently opened source, for inspection; the list runs through next.
HwDataSource* hwdsOpenSources();

// The min-entropy a source type claims for its random bytes, in bits a
// byte; a type hwdsOpen does not know claims what an unassessed one does.
double hwdsClaimedMinEntropy(const char* type);

// The index-th type name hwdsOpen knows, in the order it compares them; null
// past the last.
const char* hwdsSourceType(uint32_t index);

// ---- Operations and the runner ------------------------------------------

inline constexpr int32_t HWDS_WRITE = 0;
inline constexpr int32_t HWDS_READ = 1;
inline constexpr int32_t HWDS_RANDOM = 2;
inline constexpr int32_t HWDS_SIZE = 3;
inline constexpr int32_t HWDS_DESCRIBE = 4;

class HWDSFunctor {
public:
    int32_t kind;
    HwDataSource* source;

    virtual ~HWDSFunctor() = default;
    virtual int32_t execute() = 0;

protected:
    HWDSFunctor(int32_t k, HwDataSource* s) : kind(k), source(s) {}
};

class HWDSWriteFunctor : public HWDSFunctor {
public:
    const uint8_t* data;
    uint32_t length;
    uint32_t offset;

    HWDSWriteFunctor(HwDataSource* s, const uint8_t* d, uint32_t len, uint32_t off)
        : HWDSFunctor(HWDS_WRITE, s), data(d), length(len), offset(off) {}
    int32_t execute() override { return source->write(data, length, offset); }
};

class HWDSReadFunctor : public HWDSFunctor {
public:
    uint8_t* data;
    uint32_t length;
    uint32_t offset;

    HWDSReadFunctor(HwDataSource* s, uint8_t* d, uint32_t len, uint32_t off)
        : HWDSFunctor(HWDS_READ, s), data(d), length(len), offset(off) {}
    int32_t execute() override { return source->read(data, length, offset); }
};

class HWDSRandomFunctor : public HWDSFunctor {
public:
    uint8_t* data;
    uint32_t length;

    HWDSRandomFunctor(HwDataSource* s, uint8_t* d, uint32_t len) : HWDSFunctor(HWDS_RANDOM, s), data(d), length(len) {}
    int32_t execute() override { return source->getRandom(data, length); }
};

class HWDSSizeFunctor : public HWDSFunctor {
public:
    uint32_t* size;

    HWDSSizeFunctor(HwDataSource* s, uint32_t* out) : HWDSFunctor(HWDS_SIZE, s), size(out) {}
    int32_t execute() override { return source->memorySize(size); }
};

class HWDSDescribeFunctor : public HWDSFunctor {
public:
    HwStoreInfo* info;

    HWDSDescribeFunctor(HwDataSource* s, HwStoreInfo* out) : HWDSFunctor(HWDS_DESCRIBE, s), info(out) {}
    int32_t execute() override { return source->describe(info); }
};

// Interaction codes sent to the callback.
inline constexpr int32_t HWDS_PROMPT_END = 0;
inline constexpr int32_t HWDS_PROMPT_NOT_PRESENT = 1;
inline constexpr int32_t HWDS_PROMPT_IO_ERROR = 2;
inline constexpr int32_t HWDS_PROMPT_4 = 4;
inline constexpr int32_t HWDS_PROMPT_NOT_ENUMERATED = 5;

// The callback's answers.
inline constexpr int32_t HWDS_ANSWER_RETRY = 0;
inline constexpr int32_t HWDS_ANSWER_CANCEL = 1;
inline constexpr int32_t HWDS_ANSWER_TIMEOUT = 2;

using HWDSInteractFn = int32_t (*)(void* userData, const char* type, const char* id, int32_t kind, int32_t code);

using HWDSReservedFn = int32_t (*)(void* userData);

struct HWDSInteraction {
    HWDSReservedFn reservedCallback;  // carried, never called
    HWDSInteractFn interact;
    void* reservedData;  // carried, never read
    void* userData;
};

// Least time from the start of an attempt to the callback.
inline constexpr uint32_t HWDS_RETRY_PACING_MS = 100;

CeResult hwdsRun(HwDataSource* source, HWDSFunctor* functor, const HWDSInteraction* interaction);
CeResult hwdsWrite(HwDataSource* source, const HWDSInteraction* interaction, const uint8_t* data, uint32_t length,
                   uint32_t offset);
CeResult hwdsRead(HwDataSource* source, const HWDSInteraction* interaction, uint8_t* data, uint32_t length,
                  uint32_t offset);
CeResult hwdsRandom(HwDataSource* source, const HWDSInteraction* interaction, uint8_t* data, uint32_t length);
// The memory's size, asked like any request: a source that must look at its
// device asks the caller about a missing one.
CeResult hwdsMemorySize(HwDataSource* source, const HWDSInteraction* interaction, uint32_t* size);

// ---- Checked random bytes -----------------------------------------------

// The state of a source's health tests.
inline constexpr int32_t HWDS_HEALTH_NOT_STARTED = 0;
inline constexpr int32_t HWDS_HEALTH_HEALTHY = 1;
inline constexpr int32_t HWDS_HEALTH_INTERMITTENT = 2;  // the last checked request failed; the next starts afresh
inline constexpr int32_t HWDS_HEALTH_FAILED = 3;        // for good, in this process

// The test that failed last.
inline constexpr int32_t HWDS_HEALTH_TEST_NONE = 0;
inline constexpr int32_t HWDS_HEALTH_TEST_RCT = 1;  // repetition count
inline constexpr int32_t HWDS_HEALTH_TEST_APT = 2;  // adaptive proportion

struct HWDSHealthReport {
    uint64_t samplesTested;  // start-up samples included
    uint64_t rctIntermittentFailures;
    uint64_t rctPermanentFailures;
    uint64_t aptIntermittentFailures;
    uint64_t aptPermanentFailures;
    uint32_t rctIntermittentCutoff;
    uint32_t rctPermanentCutoff;
    uint32_t aptIntermittentCutoff;
    uint32_t aptPermanentCutoff;
    double minEntropyBitsPerByte;
    int32_t state;          // HWDS_HEALTH_...
    int32_t failedTest;     // of the last failure, HWDS_HEALTH_TEST_...
    uint64_t failedSample;  // its sample, counted from 1 over every sample tested; 0 before any
};

// hwdsRandom through the same runner, but every byte handed out has passed
// the source's start-up and continuous health tests. CE_RNG_INSECURE: an
// intermittent failure, nothing of this request is handed out (the buffer is
// zeroed) and the next request starts afresh. CE_RNG_FAIL: a permanent
// failure, for this and every later checked request of the source.
CeResult hwdsRandomChecked(HwDataSource* source, const HWDSInteraction* interaction, void* data, uint32_t length);
// The min-entropy claimed for the source's bytes, 0 < bits <= 8, in place of
// its type's.
CeResult hwdsHealthSettings(HwDataSource* source, double minEntropyBitsPerByte);
CeResult hwdsHealthReport(HwDataSource* source, HWDSHealthReport* report);
// The store's serial and the bytes it holds, asked as the size is.
CeResult hwdsDescribe(HwDataSource* source, const HWDSInteraction* interaction, HwStoreInfo* info);
