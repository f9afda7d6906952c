#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/sobol/hwsobol.h"
#include "hwds/tuvak/hwtuvak.h"
#include "sim/model/inprocess_ports.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"

namespace {

using Codes = std::vector<int32_t>;
using Sleeps = std::vector<uint32_t>;

// Records each call's arguments; answers and takes time as scripted; throws past the script's end.
class ScriptedSource : public HwDataSource {
public:
    struct Step {
        int32_t status;
        uint32_t takesMs;
    };
    using Seen = std::tuple<int32_t, const void*, uint32_t, uint32_t>;  // kind, buffer, length, offset
    std::vector<Step> script;
    size_t executed = 0;
    Seen seen;
    fakes::FakeClock* clock = nullptr;

    ScriptedSource() : HwDataSource("SCRIPTED") {}
    bool providesRandom() override { return true; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return "SCRIPTED"; }
    int32_t write(const uint8_t* d, uint32_t l, uint32_t o) override { return next({0, d, l, o}); }
    int32_t read(uint8_t* d, uint32_t l, uint32_t o) override { return next({1, d, l, o}); }
    int32_t getRandom(uint8_t* d, uint32_t l) override { return next({2, d, l, 0}); }
    int32_t memorySize(uint32_t* size) override { return next({3, size, 0, 0}); }
    int32_t next(Seen call) {
        seen = call;
        if (executed >= script.size()) throw std::runtime_error("script exhausted");
        clock->advance(script[executed].takesMs);
        return script[executed++].status;
    }
    void run(std::vector<Step> steps) {
        script = std::move(steps);
        executed = 0;
    }
};

// Records every callback; answers from a list whose last entry repeats; may clear its own record.
struct Asker {
    struct Call {
        int32_t kind;
        int32_t code;
        uint32_t at;
    };
    std::vector<int32_t> answers{HWDS_ANSWER_CANCEL};
    fakes::FakeClock* clock = nullptr;
    const HwDataSource* source = nullptr;
    std::vector<Call> calls{};
    size_t questions = 0;
    bool argumentsMatched = true;
    HWDSInteraction* clears = nullptr;

    static int32_t interact(void* self, const char* type, const char* id, int32_t kind, int32_t code) {
        auto* a = static_cast<Asker*>(self);
        a->argumentsMatched = a->argumentsMatched && type == a->source->type && id == a->source->id;
        a->calls.push_back({kind, code, a->clock->tickCount()});
        if (a->clears) a->clears->interact = nullptr;
        if (code == 0) return 99;  // the end notice's answer must be ignored
        return a->answers[std::min(a->questions++, a->answers.size() - 1)];
    }
    Codes codes(int32_t Call::*field = &Call::code) const {
        Codes out;
        for (const Call& c : calls) out.push_back(c.*field);
        return out;
    }
};

class RunnerTest : public ::testing::Test {
protected:
    fakes::FakeClock clock{0xFFFFFFFFu - 20};  // the tick counter wraps in 21 ms
    fakes::FakeMutexes mutexes;
    platform::ScopedServices services{platform::Services{.mutexes = &mutexes, .clock = &clock}};
    ScriptedSource source;
    Asker asker{.clock = &clock, .source = &source};
    HWDSInteraction interaction{
        .reservedCallback = nullptr, .interact = &Asker::interact, .reservedData = nullptr, .userData = &asker};

    RunnerTest() { source.clock = &clock; }
    CeResult write(const HWDSInteraction* with) {
        uint8_t byte = 0;
        return hwdsWrite(&source, with, &byte, 1, 0);
    }
};

TEST_F(RunnerTest, StatusesAnswersAndLaterAttemptsDecideTheResultEachAttemptPaced) {
    const int32_t C = HWDS_ANSWER_CANCEL;
    const int32_t R = HWDS_ANSWER_RETRY;
    struct Case {
        std::vector<int32_t> answers = {};  // none: no callback
        std::vector<ScriptedSource::Step> script = {};
        CeResult result = CE_OK;
        Codes codes = {};    // the questions asked
        Sleeps sleeps = {};  // the pauses taken
        bool clears = false;
    };
    const Case cases[] = {
        // Paced across the wrap of the tick counter.
        {.answers = {C}, .script = {{HWDS_NOT_PRESENT, 50}}, .result = CE_CANCELED, .codes = {1, 0}, .sleeps = {50}},
        {.answers = {C}, .script = {{HWDS_OK, 30}}, .result = CE_OK, .codes = {}, .sleeps = {}},
        {.answers = {C}, .script = {{HWDS_FAILED, 30}}, .result = CE_HW_FAIL, .codes = {}, .sleeps = {}},
        {.answers = {C},
         .script = {{HWDS_NOT_SUPPORTED, 30}},
         .result = CE_HW_OP_NOT_SUPPORTED,
         .codes = {},
         .sleeps = {}},
        {.answers = {C},
         .script = {{HWDS_ACCESS_DENIED, 30}},
         .result = CE_HW_ACCESS_DENIED,
         .codes = {},
         .sleeps = {}},
        {.answers = {C}, .script = {{HWDS_WRITE_ERROR, 30}}, .result = CE_HW_WRITE_FAILED, .codes = {}, .sleeps = {}},
        // Asked 100 ms after the attempt began.
        {.answers = {C}, .script = {{HWDS_NOT_PRESENT, 30}}, .result = CE_CANCELED, .codes = {1, 0}, .sleeps = {70}},
        {.answers = {C}, .script = {{HWDS_IO_ERROR, 30}}, .result = CE_CANCELED, .codes = {2, 0}, .sleeps = {70}},
        {.answers = {C}, .script = {{HWDS_ASK_4, 30}}, .result = CE_CANCELED, .codes = {4, 0}, .sleeps = {70}},
        {.answers = {C}, .script = {{HWDS_NOT_ENUMERATED, 30}}, .result = CE_CANCELED, .codes = {5, 0}, .sleeps = {70}},
        {.answers = {R},
         .script = {{HWDS_NOT_PRESENT, 0}, {HWDS_OK, 0}},
         .result = CE_OK,
         .codes = {1, 0},
         .sleeps = {100}},
        {.answers = {R},
         .script = {{HWDS_IO_ERROR, 0}, {HWDS_WRITE_ERROR, 0}},
         .result = CE_HW_WRITE_FAILED,
         .codes = {2, 0},
         .sleeps = {100}},
        // A slow attempt is not delayed further.
        {.answers = {R, R, HWDS_ANSWER_TIMEOUT},
         .script = {{HWDS_IO_ERROR, 0}, {HWDS_IO_ERROR, 250}, {HWDS_NOT_PRESENT, 99}},
         .result = CE_TIMEOUT,
         .codes = {2, 2, 1, 0},
         .sleeps = {100, 1}},
        // A status with no question is corruption after the pause, with no end notice.
        {.answers = {C}, .script = {{HWDS_BAD_RANGE, 0}}, .result = CE_CODE_CORRUPTED, .codes = {}, .sleeps = {100}},
        {.answers = {C}, .script = {{10, 0}}, .result = CE_CODE_CORRUPTED, .codes = {}, .sleeps = {100}},
        {.answers = {C}, .script = {{-1, 0}}, .result = CE_CODE_CORRUPTED, .codes = {}, .sleeps = {100}},
        {.answers = {R},
         .script = {{HWDS_IO_ERROR, 0}, {HWDS_BAD_RANGE, 0}},
         .result = CE_CODE_CORRUPTED,
         .codes = {2},
         .sleeps = {100, 100}},
        // An unknown answer.
        {.answers = {7}, .script = {{HWDS_NOT_PRESENT, 0}}, .result = CE_CODE_CORRUPTED, .codes = {1}, .sleeps = {100}},
        // No callback: no question, no pause.
        {.answers = {}, .script = {{HWDS_NOT_PRESENT, 0}}, .result = CE_HW_NEED_INTERACTION, .codes = {}, .sleeps = {}},
        {.answers = {}, .script = {{HWDS_BAD_RANGE, 0}}, .result = CE_HW_NEED_INTERACTION, .codes = {}, .sleeps = {}},
        {.answers = {},
         .script = {{HWDS_NOT_ENUMERATED, 0}},
         .result = CE_HW_NEED_INTERACTION,
         .codes = {},
         .sleeps = {}},
        // A callback that clears itself is not called again, not even for the end notice.
        {.answers = {C},
         .script = {{HWDS_NOT_PRESENT, 0}},
         .result = CE_CANCELED,
         .codes = {1},
         .sleeps = {100},
         .clears = true},
        {.answers = {HWDS_ANSWER_TIMEOUT},
         .script = {{HWDS_IO_ERROR, 0}},
         .result = CE_TIMEOUT,
         .codes = {2},
         .sleeps = {100},
         .clears = true},
        {.answers = {R},
         .script = {{HWDS_NOT_ENUMERATED, 0}, {HWDS_OK, 0}},
         .result = CE_OK,
         .codes = {5},
         .sleeps = {100},
         .clears = true},
        {.answers = {R},
         .script = {{HWDS_NOT_ENUMERATED, 0}, {HWDS_NOT_PRESENT, 0}},
         .result = CE_HW_NEED_INTERACTION,
         .codes = {5},
         .sleeps = {100},
         .clears = true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "first status " << c.script[0].status << ", answers " << c.answers.size()
                                        << ", clears " << c.clears);
        const size_t before = clock.sleeps().size();
        const uint32_t start = clock.tickCount();
        Asker a{.answers = c.answers, .clock = &clock, .source = &source};
        HWDSInteraction record{
            .reservedCallback = nullptr, .interact = &Asker::interact, .reservedData = nullptr, .userData = &a};
        if (c.clears) a.clears = &record;
        source.run(c.script);
        EXPECT_EQ(write(c.answers.empty() ? nullptr : &record), c.result);
        EXPECT_EQ(source.executed, c.script.size());
        EXPECT_EQ(a.codes(), c.codes);
        if (!a.calls.empty()) {
            EXPECT_EQ(a.calls[0].at, start + 100);
        }
        EXPECT_TRUE(a.argumentsMatched);
        const Sleeps sleeps = clock.sleeps();
        EXPECT_EQ(Sleeps(sleeps.begin() + before, sleeps.end()), c.sleeps);
    }
}

TEST_F(RunnerTest, WrappersPassTheirKindAndArgumentsAndSizeQueryIsEachSources) {
    uint8_t buffer[8];
    uint32_t size = 7;
    using Seen = ScriptedSource::Seen;
    const std::pair<std::function<CeResult()>, Seen> calls[] = {
        {[&] { return hwdsWrite(&source, &interaction, buffer, 3, 4); }, Seen(0, buffer, 3, 4)},
        {[&] { return hwdsRead(&source, &interaction, buffer + 1, 5, 6); }, Seen(1, buffer + 1, 5, 6)},
        {[&] { return hwdsRandom(&source, &interaction, buffer + 2, 7); }, Seen(2, buffer + 2, 7, 0)},
        {[&] { return hwdsMemorySize(&source, &interaction, &size); }, Seen(3, &size, 0, 0)},
    };
    for (const auto& [call, seen] : calls) {
        source.run({{HWDS_NOT_PRESENT, 0}});
        EXPECT_EQ(call(), CE_CANCELED);
        EXPECT_EQ(source.seen, seen);
    }
    EXPECT_EQ(hwdsMemorySize(&source, &interaction, nullptr), CE_BAD_PARAM);
    EXPECT_EQ(asker.codes(&Asker::Call::kind), (Codes{0, 0, 1, 1, 2, 2, 3, 3}));

    HwSobol sobol;
    EXPECT_EQ(hwdsMemorySize(&sobol, nullptr, &size), CE_HW_OP_NOT_SUPPORTED);
    EXPECT_EQ(size, 7u);
    // The Тувак key's memory is fixed: no port is opened, no pause taken.
    sim::InProcessPorts ports;
    platform::ScopedServices withPorts{platform::Services{.serial = &ports, .mutexes = &mutexes, .clock = &clock}};
    HwTuvak tuvak("ID1");
    const size_t sleeps = clock.sleeps().size();
    EXPECT_EQ(hwdsMemorySize(&tuvak, nullptr, &size), CE_OK);
    EXPECT_EQ(size, 128u);
    EXPECT_EQ(ports.openCount(), 0);
    EXPECT_EQ(clock.sleeps().size(), sleeps);
}

}  // namespace
