// The wipe engine over a store in memory: the size it is told, the chunks it
// may send, every pass, the read-back, and where each failure stops it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/wipe.h"

namespace {

// Built a piece at a time: g++ 12 at -O3 warns (-Wrestrict) of a literal added to a temporary string.
std::string logEntry(char kind, uint32_t offset, uint32_t length) {
    std::string entry(1, kind);
    entry += std::to_string(offset);
    entry += '+';
    entry += std::to_string(length);
    return entry;
}

// A store of `bytes.size()` bytes that takes at most `chunk` bytes a request
// and logs each request as "w0+50", "r50+27", "size".
class MemoryStore : public HwDataSource {
public:
    explicit MemoryStore(std::size_t size, uint32_t maxChunk = 0) : HwDataSource("MEMORY"), bytes(size, 0x5A) {
        chunk = maxChunk;
    }
    bool providesRandom() override { return false; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return "MEMORY"; }
    int32_t memorySize(uint32_t* size) override {
        log.push_back("size");
        *size = static_cast<uint32_t>(bytes.size());
        return sizeStatus;
    }
    int32_t write(const uint8_t* data, uint32_t length, uint32_t offset) override {
        log.push_back(logEntry('w', offset, length));
        if (++writes == failWrite) return HWDS_WRITE_ERROR;
        if (!fits(length, offset)) return HWDS_BAD_RANGE;
        for (uint32_t i = 0; i < length; ++i)
            if (offset + i != forget) bytes[offset + i] = data[i];
        return HWDS_OK;
    }
    int32_t read(uint8_t* data, uint32_t length, uint32_t offset) override {
        log.push_back(logEntry('r', offset, length));
        if (failRead) return HWDS_FAILED;
        if (!fits(length, offset)) return HWDS_BAD_RANGE;
        for (uint32_t i = 0; i < length; ++i) data[i] = bytes[offset + i];
        return HWDS_OK;
    }

    std::vector<uint8_t> bytes;
    std::vector<std::string> log;
    uint32_t chunk = 0;
    int32_t sizeStatus = HWDS_OK;
    int writes = 0;
    int failWrite = 0;      // the write request (from 1) that fails; 0: none
    uint32_t forget = ~0u;  // the address that keeps its byte
    bool failRead = false;

private:
    bool fits(uint32_t length, uint32_t offset) const {
        return (chunk == 0 || length <= chunk) && offset + length <= bytes.size();
    }
};

using Log = std::vector<std::string>;

struct WipeRun {
    HwdsWipeOutcome outcome;
    std::vector<std::size_t> steps;
};

WipeRun wipe(MemoryStore& store, std::vector<uint8_t> passes, bool verify, uint32_t chunk) {
    WipeRun run;
    HwdsWipeRequest request;
    request.passes = std::move(passes);
    request.verify = verify;
    request.chunk = chunk;
    request.progress = [&](std::size_t step) { run.steps.push_back(step); };
    run.outcome = hwdsWipe(&store, nullptr, request);
    return run;
}

TEST(WipeEngine, EveryPassCoversTheStoreInChunksAndTheLastIsReadBack) {
    MemoryStore store(77, 30);
    const WipeRun run = wipe(store, {0xFF, 0x00, 0x3C}, true, 30);
    EXPECT_EQ(run.outcome.result, CE_OK);
    EXPECT_EQ(run.outcome.passesDone, 3u);
    EXPECT_EQ(run.outcome.size, 77u);
    EXPECT_EQ(run.outcome.bytesErased, 77u);
    EXPECT_TRUE(run.outcome.verified);
    EXPECT_FALSE(run.outcome.mismatch);
    EXPECT_EQ(run.steps, (std::vector<std::size_t>{0, 1, 2, 3}));
    EXPECT_EQ(store.log, (Log{"size", "w0+30", "w30+30", "w60+17", "w0+30", "w30+30", "w60+17", "w0+30", "w30+30",
                              "w60+17", "r0+30", "r30+30", "r60+17"}));
    EXPECT_EQ(store.bytes, std::vector<uint8_t>(77, 0x3C));
}

TEST(WipeEngine, WithoutChunksOneRequestTakesTheWholeStore) {
    MemoryStore store(128);
    const WipeRun run = wipe(store, {std::begin(HWDS_WIPE_PASSES), std::end(HWDS_WIPE_PASSES)}, false, 0);
    EXPECT_EQ(run.outcome.result, CE_OK);
    EXPECT_EQ(run.outcome.passesDone, 5u);
    EXPECT_FALSE(run.outcome.verified);
    EXPECT_EQ(run.steps, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(store.log, (Log{"size", "w0+128", "w0+128", "w0+128", "w0+128", "w0+128"}));
    EXPECT_EQ(store.bytes, std::vector<uint8_t>(128, 0x00));
}

// Where a failure stops the wipe, and how much of the store it had overwritten by then.
TEST(WipeEngine, TheFirstFailureEndsTheWipe) {
    struct Case {
        const char* what;
        int failWrite;
        int32_t sizeStatus;
        bool failRead;
        CeResult result;
        std::size_t passesDone;
        uint32_t bytesErased;
        std::size_t lastStep;
        std::size_t requests;
    };
    const Case cases[] = {
        {.what = "the size query",
         .failWrite = 0,
         .sizeStatus = HWDS_FAILED,
         .failRead = false,
         .result = CE_HW_FAIL,
         .passesDone = 0,
         .bytesErased = 0,
         .lastStep = 0,
         .requests = 1},
        {.what = "the first chunk",
         .failWrite = 1,
         .sizeStatus = HWDS_OK,
         .failRead = false,
         .result = CE_HW_WRITE_FAILED,
         .passesDone = 0,
         .bytesErased = 0,
         .lastStep = 0,
         .requests = 2},
        {.what = "the third chunk of pass 1",
         .failWrite = 3,
         .sizeStatus = HWDS_OK,
         .failRead = false,
         .result = CE_HW_WRITE_FAILED,
         .passesDone = 0,
         .bytesErased = 40,
         .lastStep = 0,
         .requests = 4},
        {.what = "the last chunk of pass 2",
         .failWrite = 8,
         .sizeStatus = HWDS_OK,
         .failRead = false,
         .result = CE_HW_WRITE_FAILED,
         .passesDone = 1,
         .bytesErased = 100,
         .lastStep = 1,
         .requests = 9},
        {.what = "the read-back",
         .failWrite = 0,
         .sizeStatus = HWDS_OK,
         .failRead = true,
         .result = CE_HW_FAIL,
         .passesDone = 2,
         .bytesErased = 100,
         .lastStep = 2,
         .requests = 12},
    };
    for (const Case& c : cases) {
        MemoryStore store(100, 20);
        store.failWrite = c.failWrite;
        store.sizeStatus = c.sizeStatus;
        store.failRead = c.failRead;
        const WipeRun run = wipe(store, {0x11, 0x22}, true, 20);
        EXPECT_EQ(run.outcome.result, c.result) << c.what;
        EXPECT_EQ(run.outcome.passesDone, c.passesDone) << c.what;
        EXPECT_EQ(run.outcome.bytesErased, c.bytesErased) << c.what;
        EXPECT_EQ(run.steps.back(), c.lastStep) << c.what;
        EXPECT_EQ(store.log.size(), c.requests) << c.what;
        EXPECT_FALSE(run.outcome.verified) << c.what;
        EXPECT_FALSE(run.outcome.mismatch) << c.what;
    }
}

TEST(WipeEngine, AByteTheStoreDidNotKeepFailsTheReadBack) {
    MemoryStore store(64);
    store.forget = 41;
    const WipeRun run = wipe(store, {0xAA, 0x55}, true, 0);
    EXPECT_EQ(run.outcome.result, CE_HW_WRITE_FAILED);
    EXPECT_EQ(run.outcome.passesDone, 2u);
    EXPECT_TRUE(run.outcome.mismatch);
    EXPECT_FALSE(run.outcome.verified);
    EXPECT_EQ(run.outcome.address, 41u);
    EXPECT_EQ(run.outcome.expected, 0x55);
    EXPECT_EQ(run.outcome.found, 0x5A);
}

// A stop asked for between steps ends the wipe before the next one begins.
TEST(WipeEngine, AStopEndsTheWipeBeforeTheNextStep) {
    struct Case {
        std::size_t stopAt;  // the step before which stop() first says yes
        std::size_t passesDone;
        Log requests;
    };
    const Case cases[] = {
        {.stopAt = 0, .passesDone = 0, .requests = {}},
        {.stopAt = 1, .passesDone = 1, .requests = {"size", "w0+16"}},
        {.stopAt = 2, .passesDone = 2, .requests = {"size", "w0+16", "w0+16"}},
    };
    for (const Case& c : cases) {
        MemoryStore store(16);
        std::size_t asked = 0;
        HwdsWipeRequest request;
        request.passes = {0x11, 0x22};
        request.verify = true;
        request.stop = [&] { return asked++ == c.stopAt; };
        const HwdsWipeOutcome outcome = hwdsWipe(&store, nullptr, request);
        EXPECT_EQ(outcome.result, CE_CANCELED) << c.stopAt;
        EXPECT_EQ(outcome.passesDone, c.passesDone) << c.stopAt;
        EXPECT_EQ(store.log, c.requests) << c.stopAt;
        EXPECT_FALSE(outcome.verified) << c.stopAt;
    }
}

TEST(WipeEngine, NoPassesTouchNothing) {
    MemoryStore store(16);
    const WipeRun run = wipe(store, {}, true, 0);
    EXPECT_EQ(run.outcome.result, CE_OK);
    EXPECT_FALSE(run.outcome.verified);
    EXPECT_TRUE(store.log.empty());
    EXPECT_TRUE(run.steps.empty());
}

}  // namespace
