#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <vector>

#include "hwds/hwds.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_mutexes.h"

namespace {

// A source whose operations answer from a script, each attempt taking the
// time the script says.
class ScriptedSource : public HwDataSource {
public:
    struct Step {
        int32_t status;
        uint32_t takesMs;
    };
    std::vector<Step> script;
    size_t executed = 0;
    fakes::FakeClock* clock = nullptr;

    ScriptedSource() : HwDataSource("SCRIPTED") {}
    bool providesRandom() override { return false; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return "SCRIPTED"; }
    int32_t write(const uint8_t*, uint32_t, uint32_t) override { return next(); }
    int32_t read(uint8_t*, uint32_t, uint32_t) override { return next(); }

    int32_t next() {
        if (executed >= script.size()) throw std::runtime_error("script exhausted");
        const Step step = script[executed++];
        clock->advance(step.takesMs);
        return step.status;
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
        if (code == HWDS_PROMPT_END) return 99;  // must be ignored
        return a->answers[std::min(a->questions++, a->answers.size() - 1)];
    }
    std::vector<int32_t> codes() const {
        std::vector<int32_t> out;
        for (const Call& c : calls) out.push_back(c.code);
        return out;
    }
};

class RunnerTest : public ::testing::Test {
protected:
    fakes::FakeClock clock{1000};
    fakes::FakeMutexes mutexes;
    platform::ScopedServices services{{nullptr, nullptr, &mutexes, &clock, nullptr, nullptr}};
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

TEST_F(RunnerTest, TerminalStatusesEndAtOnceWithTheirCodes) {
    const std::pair<int32_t, CeResult> table[] = {
        {HWDS_OK, CE_OK},
        {HWDS_FAILED, CE_HW_FAIL},
        {HWDS_NOT_SUPPORTED, CE_HW_OP_NOT_SUPPORTED},
        {HWDS_ACCESS_DENIED, CE_HW_ACCESS_DENIED},
        {HWDS_WRITE_ERROR, CE_HW_WRITE_FAILED},
    };
    for (auto [status, result] : table) {
        source.script = {{status, 5}};
        source.executed = 0;
        EXPECT_EQ(write(), result) << "status " << status;
        EXPECT_EQ(source.executed, 1u);
    }
    EXPECT_TRUE(asker.calls.empty());
    EXPECT_TRUE(clock.sleeps().empty());
}

TEST_F(RunnerTest, CancelAfterPacedQuestionThenEnd) {
    source.script = {{HWDS_NOT_PRESENT, 30}};
    EXPECT_EQ(write(), CE_CANCELED);
    EXPECT_EQ(asker.codes(), (std::vector<int32_t>{HWDS_PROMPT_NOT_PRESENT, HWDS_PROMPT_END}));
    // The question comes 100 ms after the attempt began, not before.
    EXPECT_EQ(clock.sleeps(), std::vector<uint32_t>{70});
    EXPECT_EQ(asker.calls[0].at, 1100u);
    EXPECT_EQ(asker.calls[0].kind, HWDS_WRITE);
    EXPECT_TRUE(asker.argumentsMatched);
}

TEST_F(RunnerTest, EachNonTerminalStatusAsksItsOwnQuestion) {
    const std::pair<int32_t, int32_t> table[] = {
        {HWDS_NOT_PRESENT, HWDS_PROMPT_NOT_PRESENT},
        {HWDS_IO_ERROR, HWDS_PROMPT_IO_ERROR},
        {HWDS_ASK_4, HWDS_PROMPT_4},
        {HWDS_NOT_ENUMERATED, HWDS_PROMPT_NOT_ENUMERATED},
    };
    for (auto [status, code] : table) {
        source.script = {{status, 0}};
        source.executed = 0;
        asker.calls.clear();
        EXPECT_EQ(write(), CE_CANCELED);
        EXPECT_EQ(asker.codes(), (std::vector<int32_t>{code, HWDS_PROMPT_END}));
    }
}

TEST_F(RunnerTest, RetryRunsTheOperationAgainUntilATerminalStatus) {
    asker.answers = {HWDS_ANSWER_RETRY};
    source.script = {{HWDS_NOT_PRESENT, 0}, {HWDS_OK, 0}};
    EXPECT_EQ(write(), CE_OK);
    EXPECT_EQ(source.executed, 2u);
    EXPECT_EQ(asker.codes(), (std::vector<int32_t>{HWDS_PROMPT_NOT_PRESENT, HWDS_PROMPT_END}));

    source.script = {{HWDS_IO_ERROR, 0}, {HWDS_WRITE_ERROR, 0}};
    source.executed = 0;
    asker.calls.clear();
    EXPECT_EQ(write(), CE_HW_WRITE_FAILED);
    EXPECT_EQ(asker.codes(), (std::vector<int32_t>{HWDS_PROMPT_IO_ERROR, HWDS_PROMPT_END}));
}

TEST_F(RunnerTest, RetriesArePacedPerAttemptAndSlowAttemptsNotDelayed) {
    asker.answers = {HWDS_ANSWER_RETRY, HWDS_ANSWER_RETRY, HWDS_ANSWER_TIMEOUT};
    source.script = {{HWDS_IO_ERROR, 0}, {HWDS_IO_ERROR, 250}, {HWDS_NOT_PRESENT, 99}};
    EXPECT_EQ(write(), CE_TIMEOUT);
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{100, 1}));
    EXPECT_EQ(asker.codes(), (std::vector<int32_t>{HWDS_PROMPT_IO_ERROR, HWDS_PROMPT_IO_ERROR,
                                                    HWDS_PROMPT_NOT_PRESENT, HWDS_PROMPT_END}));
}

TEST_F(RunnerTest, PacingSurvivesTheTickCounterWrapping) {
    clock.advance(0xFFFFFFFFu - 1000 - 20);  // the attempt starts 20 ms before the wrap
    source.script = {{HWDS_NOT_PRESENT, 50}};
    EXPECT_EQ(write(), CE_CANCELED);
    EXPECT_EQ(clock.sleeps(), std::vector<uint32_t>{50});
}

TEST_F(RunnerTest, NoCallbackMeansNeedInteractionWithoutPause) {
    source.script = {{HWDS_NOT_PRESENT, 0}, {HWDS_BAD_RANGE, 0}, {HWDS_NOT_ENUMERATED, 0}};
    EXPECT_EQ(write(nullptr), CE_HW_NEED_INTERACTION);
    EXPECT_EQ(write(nullptr), CE_HW_NEED_INTERACTION);
    HWDSInteraction silent{nullptr, nullptr, nullptr, &asker};
    EXPECT_EQ(write(&silent), CE_HW_NEED_INTERACTION);
    EXPECT_TRUE(clock.sleeps().empty());
    EXPECT_TRUE(asker.calls.empty());
}

TEST_F(RunnerTest, StatusWithoutQuestionIsCorruptionAfterThePauseAndWithoutEnd) {
    for (int32_t status : {HWDS_BAD_RANGE, 10, -1}) {
        source.script = {{status, 0}};
        source.executed = 0;
        EXPECT_EQ(write(), CE_CODE_CORRUPTED) << status;
    }
    EXPECT_TRUE(asker.calls.empty());
    EXPECT_EQ(clock.sleeps(), (std::vector<uint32_t>{100, 100, 100}));

    // Even after the callback was asked once, no end notice follows.
    asker.answers = {HWDS_ANSWER_RETRY};
    source.script = {{HWDS_IO_ERROR, 0}, {HWDS_BAD_RANGE, 0}};
    source.executed = 0;
    EXPECT_EQ(write(), CE_CODE_CORRUPTED);
    EXPECT_EQ(asker.codes(), std::vector<int32_t>{HWDS_PROMPT_IO_ERROR});
}

TEST_F(RunnerTest, CallbackThatClearsItselfIsNotCalledAgain) {
    // Clears the record's callback, then answers; counts its calls.
    struct SelfClearing {
        HWDSInteraction* record = nullptr;
        int32_t answer = HWDS_ANSWER_CANCEL;
        int calls = 0;
        static int32_t interact(void* self, const char*, const char*, int32_t, int32_t) {
            auto* s = static_cast<SelfClearing*>(self);
            ++s->calls;
            s->record->interact = nullptr;
            return s->answer;
        }
    };
    struct Case {
        int32_t answer;
        std::vector<ScriptedSource::Step> script;
        CeResult result;
    };
    const Case cases[] = {
        {HWDS_ANSWER_CANCEL, {{HWDS_NOT_PRESENT, 0}}, CE_CANCELED},
        {HWDS_ANSWER_TIMEOUT, {{HWDS_IO_ERROR, 0}}, CE_TIMEOUT},
        {HWDS_ANSWER_RETRY, {{HWDS_NOT_ENUMERATED, 0}, {HWDS_OK, 0}}, CE_OK},
        {HWDS_ANSWER_RETRY, {{HWDS_NOT_ENUMERATED, 0}, {HWDS_NOT_PRESENT, 0}}, CE_HW_NEED_INTERACTION},
    };
    for (const Case& c : cases) {
        SelfClearing callback;
        HWDSInteraction record{nullptr, &SelfClearing::interact, nullptr, &callback};
        callback.record = &record;
        callback.answer = c.answer;
        source.script = c.script;
        source.executed = 0;
        EXPECT_EQ(write(&record), c.result) << "answer " << c.answer;
        EXPECT_EQ(callback.calls, 1);
        EXPECT_EQ(source.executed, c.script.size());
    }
}

TEST_F(RunnerTest, UnknownAnswerIsCorruptionWithoutEnd) {
    asker.answers = {7};
    source.script = {{HWDS_NOT_PRESENT, 0}};
    EXPECT_EQ(write(), CE_CODE_CORRUPTED);
    EXPECT_EQ(asker.codes(), std::vector<int32_t>{HWDS_PROMPT_NOT_PRESENT});
}

TEST_F(RunnerTest, FailedOrAbandonedLockRunsNothingAndReleases) {
    source.script = {{HWDS_OK, 0}};
    for (auto outcome : {platform::WaitResult::Failed, platform::WaitResult::Abandoned}) {
        mutexes.waitOutcome = outcome;
        const int releasesBefore = mutexes.releases();
        EXPECT_EQ(write(), CE_HW_FAIL_LOCK);
        EXPECT_EQ(mutexes.releases(), releasesBefore + 1);
    }
    EXPECT_EQ(source.executed, 0u);
    EXPECT_TRUE(asker.calls.empty());
}

TEST_F(RunnerTest, SourceWithoutLockCannotRun) {
    mutexes.refuseCreate = true;
    ScriptedSource lockless;
    lockless.clock = &clock;
    lockless.script = {{HWDS_OK, 0}};
    uint8_t byte = 0;
    EXPECT_EQ(hwdsWrite(&lockless, &interaction, &byte, 1, 0), CE_HW_FAIL_LOCK);
    EXPECT_EQ(lockless.executed, 0u);
}

TEST_F(RunnerTest, LockIsReleasedWhenAnOperationThrows) {
    source.script = {};  // the first execute throws
    EXPECT_THROW(write(), std::runtime_error);
    EXPECT_TRUE(asker.calls.empty());
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
    struct Recorder : HwDataSource {
        Recorder() : HwDataSource("REC") {}
        bool providesRandom() override { return true; }
        bool providesStorage() override { return true; }
        const char* typeName() override { return "REC"; }
        const void* data = nullptr;
        uint32_t length = 0, offset = 0;
        int32_t which = -1;
        int32_t write(const uint8_t* d, uint32_t l, uint32_t o) override { return note(0, d, l, o); }
        int32_t read(uint8_t* d, uint32_t l, uint32_t o) override { return note(1, d, l, o); }
        int32_t getRandom(uint8_t* d, uint32_t l) override { return note(2, d, l, 0); }
        int32_t note(int32_t w, const void* d, uint32_t l, uint32_t o) {
            which = w, data = d, length = l, offset = o;
            return HWDS_NOT_PRESENT;
        }
    } rec;
    asker.source = &rec;
    uint8_t buffer[8];
    EXPECT_EQ(hwdsWrite(&rec, &interaction, buffer, 3, 4), CE_CANCELED);
    EXPECT_EQ(std::tuple(rec.which, rec.data, rec.length, rec.offset),
              std::tuple(0, static_cast<const void*>(buffer), 3u, 4u));
    EXPECT_EQ(hwdsRead(&rec, &interaction, buffer + 1, 5, 6), CE_CANCELED);
    EXPECT_EQ(std::tuple(rec.which, rec.data, rec.length, rec.offset),
              std::tuple(1, static_cast<const void*>(buffer + 1), 5u, 6u));
    EXPECT_EQ(hwdsRandom(&rec, &interaction, buffer + 2, 7), CE_CANCELED);
    EXPECT_EQ(std::tuple(rec.which, rec.data, rec.length), std::tuple(2, static_cast<const void*>(buffer + 2), 7u));
    std::vector<int32_t> kinds;
    for (const Call& c : asker.calls) kinds.push_back(c.kind);
    EXPECT_EQ(kinds, (std::vector<int32_t>{HWDS_WRITE, HWDS_WRITE, HWDS_READ, HWDS_READ, HWDS_RANDOM,
                                           HWDS_RANDOM}));
}

TEST(RunnerRealClock, TheRetryPauseReallyHappens) {
    struct Absent : HwDataSource {
        Absent() : HwDataSource("ABSENT") {}
        bool providesRandom() override { return false; }
        bool providesStorage() override { return false; }
        const char* typeName() override { return "ABSENT"; }
        int32_t getRandom(uint8_t*, uint32_t) override { return HWDS_NOT_PRESENT; }
    } absent;
    struct Timer {
        uint32_t askedAt = 0;
        static int32_t interact(void* self, const char*, const char*, int32_t, int32_t code) {
            if (code != HWDS_PROMPT_END)
                static_cast<Timer*>(self)->askedAt = platform::current().clock->tickCount();
            return HWDS_ANSWER_CANCEL;
        }
    } timer;
    HWDSInteraction record{nullptr, &Timer::interact, nullptr, &timer};
    const uint32_t start = platform::current().clock->tickCount();
    uint8_t byte;
    EXPECT_EQ(hwdsRandom(&absent, &record, &byte, 1), CE_CANCELED);
    // Windows moves its tick in steps of 10 to 16 ms: the runner's pacing may
    // lose one step and this measure another.
    EXPECT_GE(timer.askedAt - start, 60u);
}

}  // namespace
