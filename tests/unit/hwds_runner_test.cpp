#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/sobol/hwsobol.h"
#include "hwds/tuvak/hwtuvak.h"
#include "sim/model/inprocess_ports.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"

namespace {

// A source whose operations record their arguments and answer from a
// script, each attempt taking the time the script says; it throws when the
// script runs out.
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
    int32_t memorySize(uint32_t* size) override {
        *size = 64;
        return next({3, size, 0, 0});
    }

    int32_t next(Seen call) {
        seen = call;
        if (executed >= script.size()) throw std::runtime_error("script exhausted");
        const Step step = script[executed++];
        clock->advance(step.takesMs);
        return step.status;
    }
    void run(std::vector<Step> steps) {
        script = std::move(steps);
        executed = 0;
    }
};

struct Call {
    int32_t kind;
    int32_t code;
    uint32_t at;
};

// Records every callback; answers questions from a list whose last entry repeats.
struct Asker {
    std::vector<int32_t> answers{HWDS_ANSWER_CANCEL};
    std::vector<Call> calls;
    size_t questions = 0;
    fakes::FakeClock* clock = nullptr;
    const HwDataSource* source = nullptr;
    bool argumentsMatched = true;

    static int32_t interact(void* self, const char* type, const char* id, int32_t kind, int32_t code) {
        auto* a = static_cast<Asker*>(self);
        a->argumentsMatched = a->argumentsMatched && type == a->source->type && id == a->source->id;
        a->calls.push_back({kind, code, a->clock->tickCount()});
        if (code == 0) return 99;  // the end notice's answer must be ignored
        return a->answers[std::min(a->questions++, a->answers.size() - 1)];
    }
    std::vector<int32_t> codes() const {
        std::vector<int32_t> out;
        for (const Call& c : calls) out.push_back(c.code);
        return out;
    }
};

using Codes = std::vector<int32_t>;

class RunnerTest : public ::testing::Test {
protected:
    fakes::FakeClock clock{1000};
    fakes::FakeMutexes mutexes;
    platform::ScopedServices services{platform::Services{.mutexes = &mutexes, .clock = &clock}};
    ScriptedSource source;
    Asker asker;
    HWDSInteraction interaction{nullptr, &Asker::interact, nullptr, &asker};

    RunnerTest() {
        source.clock = &clock;
        asker.clock = &clock;
        asker.source = &source;
    }
    CeResult write(const HWDSInteraction* with) {
        uint8_t byte = 0;
        return hwdsWrite(&source, with, &byte, 1, 0);
    }
    CeResult write() { return write(&interaction); }
};

TEST_F(RunnerTest, EachStatusEndsWithItsCodeOrAsksItsQuestion) {
    const std::tuple<int32_t, CeResult, Codes> table[] = {
        {HWDS_OK, CE_OK, {}},
        {HWDS_FAILED, CE_HW_FAIL, {}},
        {HWDS_NOT_SUPPORTED, CE_HW_OP_NOT_SUPPORTED, {}},
        {HWDS_ACCESS_DENIED, CE_HW_ACCESS_DENIED, {}},
        {HWDS_WRITE_ERROR, CE_HW_WRITE_FAILED, {}},
        {HWDS_NOT_PRESENT, CE_CANCELED, {1, 0}},
        {HWDS_IO_ERROR, CE_CANCELED, {2, 0}},
        {HWDS_ASK_4, CE_CANCELED, {4, 0}},
        {HWDS_NOT_ENUMERATED, CE_CANCELED, {5, 0}},
    };
    for (const auto& [status, result, codes] : table) {
        source.run({{status, 30}});
        asker.calls.clear();
        const size_t sleeps = clock.sleeps().size();
        const uint32_t start = clock.tickCount();
        EXPECT_EQ(write(), result) << "status " << status;
        EXPECT_EQ(asker.codes(), codes) << "status " << status;
        EXPECT_EQ(source.executed, 1u);
        if (codes.empty()) {
            EXPECT_EQ(clock.sleeps().size(), sleeps) << "status " << status;
        } else {  // asked 100 ms after the attempt began
            EXPECT_EQ(clock.sleeps().back(), 70u);
            EXPECT_EQ(asker.calls[0].at, start + 100);
            EXPECT_EQ(asker.calls[0].kind, HWDS_WRITE);
        }
    }
    EXPECT_TRUE(asker.argumentsMatched);
}

TEST_F(RunnerTest, AnswersAndLaterAttemptsDecideTheResultEachAttemptPaced) {
    struct Case {
        std::vector<int32_t> answers;
        std::vector<ScriptedSource::Step> script;
        CeResult result;
        Codes codes;
        std::vector<uint32_t> sleeps;
    };
    const Case cases[] = {
        {{HWDS_ANSWER_RETRY}, {{HWDS_NOT_PRESENT, 0}, {HWDS_OK, 0}}, CE_OK, {1, 0}, {100}},
        {{HWDS_ANSWER_RETRY}, {{HWDS_IO_ERROR, 0}, {HWDS_WRITE_ERROR, 0}}, CE_HW_WRITE_FAILED, {2, 0}, {100}},
        // A slow attempt is not delayed further.
        {{HWDS_ANSWER_RETRY, HWDS_ANSWER_RETRY, HWDS_ANSWER_TIMEOUT},
         {{HWDS_IO_ERROR, 0}, {HWDS_IO_ERROR, 250}, {HWDS_NOT_PRESENT, 99}},
         CE_TIMEOUT, {2, 2, 1, 0}, {100, 1}},
        // A status with no question is corruption after the pause, with no end notice.
        {{HWDS_ANSWER_CANCEL}, {{HWDS_BAD_RANGE, 0}}, CE_CODE_CORRUPTED, {}, {100}},
        {{HWDS_ANSWER_CANCEL}, {{10, 0}}, CE_CODE_CORRUPTED, {}, {100}},
        {{HWDS_ANSWER_CANCEL}, {{-1, 0}}, CE_CODE_CORRUPTED, {}, {100}},
        {{HWDS_ANSWER_RETRY}, {{HWDS_IO_ERROR, 0}, {HWDS_BAD_RANGE, 0}}, CE_CODE_CORRUPTED, {2}, {100, 100}},
        {{7}, {{HWDS_NOT_PRESENT, 0}}, CE_CODE_CORRUPTED, {1}, {100}},  // an unknown answer
    };
    for (const Case& c : cases) {
        const size_t before = clock.sleeps().size();
        Asker a{.answers = c.answers, .calls = {}, .questions = 0, .clock = &clock, .source = &source};
        HWDSInteraction record{nullptr, &Asker::interact, nullptr, &a};
        source.run(c.script);
        EXPECT_EQ(write(&record), c.result);
        EXPECT_EQ(source.executed, c.script.size());
        EXPECT_EQ(a.codes(), c.codes);
        const std::vector<uint32_t> sleeps = clock.sleeps();
        EXPECT_EQ(std::vector<uint32_t>(sleeps.begin() + before, sleeps.end()), c.sleeps);
    }
}

TEST_F(RunnerTest, PacingSurvivesTheTickCounterWrapping) {
    clock.advance(0xFFFFFFFFu - 1000 - 20);  // the attempt starts 20 ms before the wrap
    source.run({{HWDS_NOT_PRESENT, 50}});
    EXPECT_EQ(write(), CE_CANCELED);
    EXPECT_EQ(clock.sleeps(), std::vector<uint32_t>{50});
}

TEST_F(RunnerTest, NoCallbackMeansNeedInteractionWithoutPause) {
    source.run({{HWDS_NOT_PRESENT, 0}, {HWDS_BAD_RANGE, 0}, {HWDS_NOT_ENUMERATED, 0}});
    EXPECT_EQ(write(nullptr), CE_HW_NEED_INTERACTION);
    EXPECT_EQ(write(nullptr), CE_HW_NEED_INTERACTION);
    HWDSInteraction silent{nullptr, nullptr, nullptr, &asker};
    EXPECT_EQ(write(&silent), CE_HW_NEED_INTERACTION);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(asker.calls.empty());
}

TEST_F(RunnerTest, CallbackThatClearsItselfIsNotCalledAgain) {
    struct SelfClearing {
        HWDSInteraction record;
        int32_t answer;
        int calls = 0;
        static int32_t interact(void* self, const char*, const char*, int32_t, int32_t) {
            auto* s = static_cast<SelfClearing*>(self);
            s->record.interact = nullptr;
            return ++s->calls, s->answer;
        }
    };
    const std::tuple<int32_t, std::vector<ScriptedSource::Step>, CeResult> cases[] = {
        {HWDS_ANSWER_CANCEL, {{HWDS_NOT_PRESENT, 0}}, CE_CANCELED},
        {HWDS_ANSWER_TIMEOUT, {{HWDS_IO_ERROR, 0}}, CE_TIMEOUT},
        {HWDS_ANSWER_RETRY, {{HWDS_NOT_ENUMERATED, 0}, {HWDS_OK, 0}}, CE_OK},
        {HWDS_ANSWER_RETRY, {{HWDS_NOT_ENUMERATED, 0}, {HWDS_NOT_PRESENT, 0}}, CE_HW_NEED_INTERACTION},
    };
    for (const auto& [answer, script, result] : cases) {
        SelfClearing callback{{nullptr, &SelfClearing::interact, nullptr, &callback}, answer};
        source.run(script);
        EXPECT_EQ(write(&callback.record), result) << "answer " << answer;
        EXPECT_EQ(callback.calls, 1);
        EXPECT_EQ(source.executed, script.size());
    }
}

TEST_F(RunnerTest, LockThatCannotBeTakenRunsNothing) {
    source.run({{HWDS_OK, 0}});
    for (auto outcome : {platform::WaitResult::Failed, platform::WaitResult::Abandoned}) {
        mutexes.waitOutcome = outcome;
        const int releasesBefore = mutexes.releases();
        EXPECT_EQ(write(), CE_HW_FAIL_LOCK);
        EXPECT_EQ(mutexes.releases(), releasesBefore + 1);
    }
    EXPECT_EQ(source.executed, 0u);
    EXPECT_TRUE(asker.calls.empty());
}

TEST_F(RunnerTest, LockIsReleasedWhenAnOperationThrows) {
    source.run({});
    EXPECT_THROW(write(), std::runtime_error);
    // Another thread can take the lock: it was not left held.
    bool taken = false;
    std::thread other([&] {
        taken = mutexes.wait(source.lock) == platform::WaitResult::Acquired;
        mutexes.release(source.lock);
    });
    other.join();
    EXPECT_TRUE(taken);
}

TEST_F(RunnerTest, WrappersPassTheirKindAndArguments) {
    uint8_t buffer[8];
    uint32_t size = 0;
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
    std::vector<int32_t> kinds;
    for (const Call& c : asker.calls) kinds.push_back(c.kind);
    EXPECT_EQ(kinds, (std::vector<int32_t>{0, 0, 1, 1, 2, 2, 3, 3}));
}

TEST_F(RunnerTest, SizeQueryIsAnsweredByEachSource) {
    // A missing device is asked about, like any request.
    asker.answers = {HWDS_ANSWER_RETRY};
    source.run({{HWDS_NOT_PRESENT, 0}, {HWDS_OK, 0}});
    uint32_t size = 0;
    EXPECT_EQ(hwdsMemorySize(&source, &interaction, &size), CE_OK);
    EXPECT_EQ(size, 64u);
    EXPECT_EQ(asker.codes(), (Codes{1, 0}));

    HwSobol sobol;
    size = 7;
    EXPECT_EQ(hwdsMemorySize(&sobol, nullptr, &size), CE_HW_OP_NOT_SUPPORTED);
    EXPECT_EQ(size, 7u);

    // The Тувак key's memory is fixed: no port is opened, no pause taken.
    sim::InProcessPorts ports;
    platform::ScopedServices withPorts{
        platform::Services{.serial = &ports, .mutexes = &mutexes, .clock = &clock}};
    HwTuvak tuvak("ID1");
    const size_t sleeps = clock.sleeps().size();
    EXPECT_EQ(hwdsMemorySize(&tuvak, nullptr, &size), CE_OK);
    EXPECT_EQ(size, 128u);
    EXPECT_EQ(ports.openCount(), 0);
    EXPECT_EQ(clock.sleeps().size(), sleeps);
}

}  // namespace
