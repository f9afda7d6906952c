// hwds wipe --watch against tuvak-sim's control FIFO: devices plugged while
// the station runs are wiped once each, in the order plugged, and recorded;
// a device attached before it started is left alone; a device pulled or a
// station interrupted mid-wipe leaves a failed record.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/control/sim_process.h"

#if !defined(HWDS_CLI_PATH) || !defined(TUVAK_SIM_PATH)
#error "the station's tests run hwds and tuvak-sim: build them where both programs are built"
#endif

namespace {

using Json = nlohmann::json;
using Strings = std::vector<std::string>;

constexpr auto kBound = std::chrono::seconds(20);

Strings lines(const std::string& text) {
    Strings all;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) all.push_back(line);
    return all;
}

sim::Memory filled(uint8_t byte) {
    sim::Memory memory;
    memory.fill(byte);
    return memory;
}

class Station : public ::testing::Test {
protected:
    void SetUp() override {
        sim_.withControl = true;
        std::string error;
        ASSERT_TRUE(sim_.start({"--fill", "0x77", "AB12CD34E"}, &error)) << error;
    }

    // Starts the station and waits until it has read the devices attached at the start.
    void startStation(const Strings& options) {
        Strings argv = {HWDS_CLI_PATH, "wipe", "--watch"};
        argv.insert(argv.end(), options.begin(), options.end());
        std::string error;
        ASSERT_TRUE(sim::spawn(argv, {"HWDS_REGISTRY=" + sim_.registryFile}, sim::kPipe, sim::kPipe, &station_, &error))
            << error;
        ASSERT_TRUE(awaitError("present, not wiped", "AB12CD34E")) << err_;
    }

    // Reads the station's standard error until it holds `text`, or a
    // device's line (its label padded to the widest) that begins with it.
    bool awaitError(const std::string& text, const std::string& id = "") {
        const platform::Deadline deadline = platform::deadlineIn(kBound);
        while (!holds(text, id)) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            if (!sim::readSome(station_.err.get(), &err_, deadline)) return false;
        }
        return true;
    }

    bool holds(const std::string& text, const std::string& id) const {
        if (id.empty()) return err_.find(text) != std::string::npos;
        for (const std::string& line : lines(err_)) {
            if (line.rfind(id + " ", 0) != 0) continue;
            const std::size_t from = line.find_first_not_of(' ', id.size());
            if (from != std::string::npos && line.compare(from, text.size(), text) == 0) return true;
        }
        return false;
    }

    void command(const std::string& line) {
        std::string error;
        std::string answer;
        ASSERT_TRUE(sim_.command(line, &error)) << error;
        ASSERT_TRUE(sim_.nextLine(&answer, &error)) << error;
    }

    // Plugs the device in and waits for the station to finish with it.
    void plugAndAwait(const std::string& options, const std::string& id) {
        err_.clear();  // a line of an earlier wipe of the same device must not count
        command("plug " + options + " " + id);
        ASSERT_TRUE(awaitError("wiped and verified; remove the device", id)) << err_;
    }

    // The station's exit status once it ends by itself; everything it wrote is read.
    int awaitExit() {
        while (sim::readSome(station_.err.get(), &err_, platform::deadlineIn(kBound))) {
        }
        while (sim::readSome(station_.out.get(), &out_, platform::deadlineIn(kBound))) {
        }
        const int status = station_.wait(platform::deadlineIn(kBound));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::map<std::string, sim::Memory> memories() {
        std::string text;
        std::string error;
        EXPECT_TRUE(sim_.requestDump(&text, &error)) << error;
        return sim::parseDump(text);
    }

    sim::SimProcess sim_{TUVAK_SIM_PATH};
    sim::Child station_;
    std::string out_;
    std::string err_;
};

TEST_F(Station, EachPluggedDeviceIsWipedOnceInTheOrderPluggedAndThePresentOneIsLeftAlone) {
    const std::string journal = sim_.dir + "/wipes.journal";
    const std::string records = sim_.dir + "/records";
    std::filesystem::create_directory(records);
    startStation({"--verify", "--journal", journal, "--record", records, "--max", "4"});
    plugAndAwait("--fill 0x33", "FFEE0011");
    plugAndAwait("--fill 0x33", "CAFE0001");
    plugAndAwait("--fill 0x33", "BEEF0002");
    command("unplug CAFE0001");
    ASSERT_TRUE(awaitError("wiped and verified; removed", "CAFE0001")) << err_;
    plugAndAwait("--fill 0x44", "CAFE0001");

    EXPECT_EQ(awaitExit(), 0) << err_;
    std::string text;
    ASSERT_TRUE(sim::readTextFile(journal, &text));
    Strings identifiers;
    for (const std::string& line : lines(text)) {
        const Json record = Json::parse(line);
        identifiers.push_back(record.at("identifier"));
        EXPECT_EQ(record.at("status"), "erased") << line;
    }
    EXPECT_EQ(identifiers, (Strings{"FFEE0011", "CAFE0001", "BEEF0002", "CAFE0001"}));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(records)) ++files;
    EXPECT_EQ(files, 4u);
    const std::map<std::string, sim::Memory> memory = memories();
    EXPECT_EQ(memory.at("AB12CD34E"), filled(0x77));
    for (const char* id : {"FFEE0011", "CAFE0001", "BEEF0002"}) EXPECT_EQ(memory.at(id), filled(0x00)) << id;
    EXPECT_NE(out_.find("4 of 4 devices wiped and verified"), std::string::npos) << out_;
}

TEST_F(Station, WithIncludePresentTheDeviceAttachedAtTheStartIsWiped) {
    Strings argv = {HWDS_CLI_PATH, "wipe", "--watch", "--include-present", "--max", "1", "--passes", "5A"};
    const sim::RunResult run = sim::runProgram(argv, {"HWDS_REGISTRY=" + sim_.registryFile});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(memories().at("AB12CD34E"), filled(0x5A));
}

TEST_F(Station, ADeviceUnpluggedMidWipeIsRecordedAsFailedWithThePassItReached) {
    startStation({"--json", "--max", "1"});
    command("plug --delay 10 FFEE0011");
    ASSERT_TRUE(awaitError("pass 2 of 5", "FFEE0011")) << err_;
    command("unplug FFEE0011");

    EXPECT_EQ(awaitExit(), 1) << err_;
    const Strings printed = lines(out_);
    ASSERT_EQ(printed.size(), 1u) << out_;
    const Json record = Json::parse(printed[0]);
    EXPECT_EQ(record.at("identifier"), "FFEE0011");
    EXPECT_EQ(record.at("status"), "failed");
    const int reached = record.at("passes_done");
    EXPECT_GE(reached, 1);
    EXPECT_LT(reached, 5);
    const std::string error = record.at("error");
    EXPECT_EQ(error.rfind("pass " + std::to_string(reached + 1) + " of 5: ", 0), 0u) << error;
    EXPECT_NE(err_.find("0 of 1 devices wiped"), std::string::npos) << err_;
}

// With a wipe at work, one Ctrl+C lets it finish and a second (or a SIGTERM) interrupts it.
class StationInterrupted : public Station {
protected:
    // Starts the station with a slow device at work and interrupts it once.
    void interruptOnce() {
        startStation({"--json"});
        command("plug --delay 10 FFEE0011");
        ASSERT_TRUE(awaitError("pass 2 of 5", "FFEE0011")) << err_;
        ASSERT_TRUE(station_.signal(SIGINT));
        ASSERT_TRUE(awaitError("stopping once the 1 wipes in progress finish")) << err_;
    }

    Json onlyRecord() const {
        const Strings printed = lines(out_);
        EXPECT_EQ(printed.size(), 1u) << out_;
        return printed.empty() ? Json() : Json::parse(printed[0]);
    }
};

TEST_F(StationInterrupted, OnceTheWipeInProgressFinishesAndTheStationEnds) {
    interruptOnce();

    EXPECT_EQ(awaitExit(), 0) << err_;
    const Json record = onlyRecord();
    EXPECT_EQ(record.value("status", ""), "erased, not verified");
    EXPECT_EQ(record.value("passes_done", 0), 5);
    EXPECT_EQ(memories().at("FFEE0011"), filled(0x00));
    EXPECT_NE(err_.find("1 of 1 devices wiped"), std::string::npos) << err_;
}

TEST_F(StationInterrupted, TwiceTheWipeStopsBeforeItsNextPassAndIsRecordedAsFailed) {
    interruptOnce();
    // SIGTERM counts as a Ctrl+C.
    ASSERT_TRUE(station_.signal(SIGTERM));

    EXPECT_EQ(awaitExit(), 1) << err_;
    EXPECT_NE(err_.find("interrupting the wipes in progress"), std::string::npos) << err_;
    const Json record = onlyRecord();
    EXPECT_EQ(record.value("status", ""), "failed");
    const int reached = record.value("passes_done", -1);
    EXPECT_GE(reached, 1);
    EXPECT_LT(reached, 5);
    EXPECT_EQ(record.value("error", ""), "interrupted at pass " + std::to_string(reached + 1));
    EXPECT_NE(err_.find("0 of 1 devices wiped"), std::string::npos) << err_;
}

}  // namespace
