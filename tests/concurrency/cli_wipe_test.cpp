// hwds wipe in-process: several devices at once on simulated ports, each with its own fault, and the
// operator's answers at a terminal. Runs under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "cli/record.h"
#include "cli/wipe.h"
#include "hwds/accord/hwaccord.h"
#include "hwds/accord/tm_driver.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/cli_support.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/fake_system.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/sim_drivers.h"
#include "tests/fakes/test_framework.h"
#include "tests/fakes/tool_support.h"

namespace {

// Ports that remember how many were open at once.
class CountingPorts : public sim::InProcessPorts {
public:
    uint32_t open(const char* path, platform::PortHandle* port) override {
        const uint32_t error = InProcessPorts::open(path, port);
        if (error != platform::kErrSuccess) return error;
        const int now = ++open_;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) continue;
        return error;
    }
    bool close(platform::PortHandle port) override { return --open_, InProcessPorts::close(port); }
    std::atomic<int> most{0}, open_{0};
};

class CliWipeTest : public ::testing::Test {
protected:
    // DEV0.. on COM3.., memory full of 0x5A; unattached ones are adapters the driver lists without a port.
    void devices(const std::vector<bool>& attached) {
        std::vector<fakes::Adapter> adapters;
        for (std::size_t d = 0; d < attached.size(); ++d) {
            const std::string id = "DEV" + std::to_string(d), com = "COM" + std::to_string(d + 3);
            adapters.push_back({fakes::instancePath(id), com});
            models.push_back(std::make_unique<sim::TuvakDevice>(d + 1));
            models.back()->memory().fill(0x5A);
            if (attached[d]) serial.attach("\\\\.\\" + com, models.back().get());
            request.ids.push_back(id);
        }
        fakes::addFtdiDriver(registry.tree(), adapters);
        framework.emplace(platform::Services{.registry = &registry,
                                             .serial = &serial,
                                             .clock = &clock,
                                             .console = &console,
                                             .terminal = &terminal,
                                             .system = &system});
    }
    std::vector<cli::WipeOutcome> wipe() {
        cli::Display display(30000);
        return cli::wipeDevices(request, display, [&](std::size_t index, const cli::WipeOutcome& o) {
            finished.push_back(index);
            cli::Json& record = records.emplace_back();
            EXPECT_TRUE(cli::wipeRecord(cli::recordRun("Иван Петров", "Отдел 5"), o, &record));
        });
    }
    bool all(std::size_t d, uint8_t value) const {
        return std::ranges::all_of(models[d]->memory(), [&](uint8_t b) { return b == value; });
    }

    platform::TreeRegistry registry;
    CountingPorts serial;
    fakes::FakeClock clock;
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    fakes::FakeSystem system;
    std::vector<std::unique_ptr<sim::TuvakDevice>> models;
    std::vector<std::size_t> finished;  // the order the devices finished in
    std::vector<cli::Json> records;     // in that order
    std::optional<fakes::TestFramework> framework;
    cli::WipeRequest request;
};

TEST_F(CliWipeTest, EveryDeviceFinishesOrFailsOnItsOwn) {
    devices({true, true, true, false, true});
    models[1]->faults().unplugAfter = 200;          // gone during pass 2
    models[2]->faults().forget.set(0x40);           // keeps its old byte there
    models[4]->faults().badAckAfter = 128 * 4 + 9;  // refuses a write in pass 5
    request.verify = true;
    const std::vector<cli::WipeOutcome> outcomes = wipe();
    ASSERT_EQ(outcomes.size(), 5u);
    // Id, result, passes, verified, exit status, failure, mismatch and its address.
    using Row = std::tuple<std::string, CeResult, std::size_t, bool, int, std::string, bool, uint32_t>;
    const Row expected[] = {
        {"DEV0", CE_OK, 5, true, 0, "", false, 0},
        {"DEV1", CE_HW_WRITE_FAILED, 1, false, 1, "pass 2 of 5: the device did not confirm a write", false, 0},
        {"DEV2", CE_HW_WRITE_FAILED, 5, false, 4, "verification: address 0x40 holds 0x5A, not 0x00", true, 0x40},
        // Nobody at the terminal: the first question cancels.
        {"DEV3", CE_CANCELED, 0, false, 3, "pass 1 of 5: the device is not attached, or its port is gone", false, 0},
        {"DEV4", CE_HW_WRITE_FAILED, 4, false, 1, "pass 5 of 5: the device did not confirm a write", false, 0},
    };
    for (std::size_t d = 0; d < outcomes.size(); ++d) {
        const cli::WipeOutcome& o = outcomes[d];
        EXPECT_EQ(Row(o.id, o.result, o.passesDone, o.verified, o.exitStatus(), o.failure, o.mismatch, o.address),
                  expected[d]);
    }
    EXPECT_TRUE(all(0, 0x00));
    EXPECT_EQ(terminal.questions.load(), 0);
    EXPECT_EQ(serial.openPorts(), 0);
    EXPECT_EQ(records.size(), 5u);
    std::sort(finished.begin(), finished.end());
    EXPECT_EQ(finished, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

// A good, an unverified and a failed wipe of TUVAK devices leave records that say so, with their times in order.
TEST_F(CliWipeTest, EveryWipeLeavesItsRecord) {
    devices({true, true, true});
    models[2]->faults().unplugAfter = 200;
    request.verify = true;
    wipe();
    ASSERT_EQ(records.size(), 3u);
    request.ids = {"DEV1"};
    request.verify = false;
    request.passes = {0x00};
    wipe();
    ASSERT_EQ(records.size(), 4u);
    struct Expected {
        const char* id;
        const char* port;
        std::size_t passesDone;
        uint32_t bytesErased;
        const char* verification;
        bool verified;
        const char* result;
        const char* status;
        cli::Json error;
    };
    const Expected table[] = {
        {.id = "DEV0",
         .port = "COM3",
         .passesDone = 5,
         .bytesErased = 128,
         .verification = "read back in full",
         .verified = true,
         .result = "CE_OK",
         .status = "erased",
         .error = nullptr},
        {.id = "DEV2",
         .port = "COM5",
         .passesDone = 1,
         .bytesErased = 128,
         .verification = "read back in full",
         .verified = false,
         .result = "CE_HW_WRITE_FAILED",
         .status = "failed",
         .error = "pass 2 of 5: the device did not confirm a write"},
        {.id = "DEV1",
         .port = "COM4",
         .passesDone = 1,
         .bytesErased = 128,
         .verification = "none",
         .verified = false,
         .result = "CE_OK",
         .status = "erased, not verified",
         .error = nullptr},
    };
    std::vector<std::string> seen;
    for (const cli::Json& record : records) seen.push_back(record["record_id"]);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
    for (const Expected& e : table) {
        const auto found = std::find_if(records.begin(), records.end(), [&](const cli::Json& r) {
            return r["identifier"] == e.id && r["verification"] == e.verification;
        });
        ASSERT_NE(found, records.end()) << e.id;
        const cli::Json& r = *found;
        EXPECT_EQ(r["identifier"], e.id);
        EXPECT_EQ(r["serial"], e.id);
        EXPECT_EQ(r["port"], e.port) << e.id;
        EXPECT_EQ(r["description"], "Тувак key device");
        EXPECT_EQ(r["size_bytes"], 128);
        EXPECT_EQ(r["passes_done"], e.passesDone) << e.id;
        EXPECT_EQ(r["bytes_erased"], e.bytesErased) << e.id;
        EXPECT_EQ(r["verification"], e.verification) << e.id;
        EXPECT_EQ(r["verified"], e.verified) << e.id;
        EXPECT_EQ(r["result"], e.result) << e.id;
        EXPECT_EQ(r["status"], e.status) << e.id;
        EXPECT_EQ(r["error"], e.error) << e.id;
        EXPECT_EQ(r["operator"], "Иван Петров");
        EXPECT_EQ(r["host"], "station-1");
        // The fake clock only runs forwards, a step at each reading.
        EXPECT_LT(r["started"].get<std::string>(), r["finished"].get<std::string>()) << e.id;
        EXPECT_GT(r["duration_s"].get<double>(), 0.0) << e.id;
    }
    EXPECT_LT(records[2]["finished"].get<std::string>(), records[3]["started"].get<std::string>());
}

TEST_F(CliWipeTest, JobsLimitTheDevicesAtWork) {
    devices({true, true, true, true});
    request.jobs = 1;
    request.passes = {0x11, 0x22};
    for (const cli::WipeOutcome& o : wipe()) EXPECT_TRUE(o.ok()) << o.id << ": " << o.failure;
    EXPECT_EQ(serial.most.load(), 1);
    for (std::size_t d = 0; d < models.size(); ++d) EXPECT_TRUE(all(d, 0x22)) << d;
}

TEST_F(CliWipeTest, TheOperatorAttachesTheDeviceOrGivesUp) {
    devices({false});
    terminal.live = terminal.typing = true;
    struct Case {
        std::function<platform::LineRead(std::string*)> answer;
        CeResult result;
        const char* failure;
    };
    const Case cases[] = {
        {[](std::string* line) {
             line->assign(1, 'q');
             return platform::LineRead::Line;
         },
         CE_CANCELED, "pass 1 of 5: canceled: the device is not attached, or its port is gone"},
        {[](std::string*) { return platform::LineRead::TimedOut; }, CE_TIMEOUT,
         "pass 1 of 5: no answer in time: the device is not attached, or its port is gone"},
        {[&](std::string*) {
             serial.attach("\\\\.\\COM3", models[0].get());
             return platform::LineRead::Line;
         },
         CE_OK, ""},
    };
    for (int asked = 1; const Case& c : cases) {
        terminal.answer = c.answer;
        const std::vector<cli::WipeOutcome> outcomes = wipe();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(std::pair(outcomes[0].result, outcomes[0].failure), std::pair(c.result, std::string(c.failure)));
        EXPECT_EQ(terminal.questions.load(), asked++);
    }
    EXPECT_TRUE(all(0, 0x00));
    EXPECT_NE(console.err().find("DEV0: the device is not attached, or its port is gone. Attach it."),
              std::string::npos);
}

// The key on the ACCORD reader, through the simulated driver: a family 0x0C key has 256 pages from page 4, of
// which 8-bit page numbers reach 252, so 7,560 of its 7,680 bytes.
class CliAccordWipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tm.loaded()); }
    void TearDown() override { tmDriverUnload(); }
    void configure(const std::string& settings) { tm.entry<void (*)(const char*)>("TmSimConfigure")(settings.c_str()); }
    std::vector<uint8_t> page(uint32_t number) {
        std::vector<uint8_t> bytes(TM_PAGE_BUFFER);
        tm.entry<void (*)(uint32_t, unsigned char*)>("TmSimPeek")(number, bytes.data());
        bytes.resize(TM_PAGE_DATA);
        return bytes;
    }
    std::vector<cli::WipeOutcome> wipe() {
        cli::Display display(30000);
        return cli::wipeDevices(request, display);
    }

    fakes::DriverFolder libraries{SIM_DRIVERS_DIR};
    tooltest::FakeConsole console;
    fakes::FakeTerminal terminal;
    fakes::FakeSystem system;
    fakes::TestFramework framework{
        {.libraries = &libraries, .console = &console, .terminal = &terminal, .system = &system}};
    fakes::SimLibrary tm{SIM_DRIVERS_DIR, "tmdrv32.dll"};
    cli::WipeRequest request{.type = "ACCORD", .ids = {}, .passes = {0xFF, 0x3C}, .verify = true, .jobs = 0};
};

TEST_F(CliAccordWipeTest, AFamily0x0CKeyIsErasedAsFarAsItsPagesReach) {
    configure("family=0x0C fill=0x5A");
    const std::vector<cli::WipeOutcome> outcomes = wipe();
    ASSERT_EQ(outcomes.size(), 1u);
    const cli::WipeOutcome& o = outcomes[0];
    EXPECT_TRUE(o.ok()) << o.failure;
    EXPECT_TRUE(o.verified);
    EXPECT_EQ(o.label(), "ACCORD");
    EXPECT_EQ(o.serial, "0C510E7A13000042");
    EXPECT_EQ(o.size, 7560u);
    EXPECT_EQ(o.presentBytes, 7680u);
    EXPECT_EQ(o.bytesErased, 7560u);
    EXPECT_EQ(o.done(), "wiped and verified, 7560 of 7680 bytes (the rest out of reach)");
    for (uint32_t number = 0; number < 4; ++number) EXPECT_EQ(page(number), std::vector<uint8_t>(30, 0x5A)) << number;
    for (uint32_t number = 4; number < TM_PAGE_LIMIT; ++number)
        EXPECT_EQ(page(number), std::vector<uint8_t>(30, 0x3C)) << number;
}

TEST_F(CliAccordWipeTest, AKeyTakenAwayOrNeverThereFailsItsRecord) {
    struct Case {
        const char* settings;
        CeResult result;
        std::size_t passesDone;
        uint32_t bytesErased;
        const char* serial;
        const char* failure;
    };
    const Case cases[] = {
        {.settings = "family=0x06 remove-after=20",
         .result = CE_CANCELED,
         .passesDone = 1,
         .bytesErased = 480,
         .serial = "06510E7A13000042",
         .failure = "pass 2 of 2: the port is busy or the exchange with the device failed"},
        {.settings = "present=0",
         .result = CE_CANCELED,
         .passesDone = 0,
         .bytesErased = 0,
         .serial = "",
         .failure = "identifying the store: the device is not attached, or its port is gone"},
        {.settings = "family=0x09",
         .result = CE_HW_OP_NOT_SUPPORTED,
         .passesDone = 0,
         .bytesErased = 0,
         .serial = "",
         .failure = "identifying the store: the source or its device does not offer this operation"},
    };
    for (const Case& c : cases) {
        configure(c.settings);
        const std::vector<cli::WipeOutcome> outcomes = wipe();
        ASSERT_EQ(outcomes.size(), 1u);
        const cli::WipeOutcome& o = outcomes[0];
        EXPECT_EQ(o.result, c.result) << c.settings;
        EXPECT_EQ(o.passesDone, c.passesDone) << c.settings;
        EXPECT_EQ(o.bytesErased, c.bytesErased) << c.settings;
        EXPECT_EQ(o.serial, c.serial) << c.settings;
        EXPECT_EQ(o.failure, c.failure) << c.settings;
        cli::Json record;
        ASSERT_TRUE(cli::wipeRecord(cli::recordRun("", ""), o, &record));
        EXPECT_EQ(record["status"], "failed") << c.settings;
        EXPECT_EQ(record["operator"], "operator1");
    }
}

}  // namespace
