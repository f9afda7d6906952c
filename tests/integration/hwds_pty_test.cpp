// The framework and the serial source against tuvak-sim over real ptys,
// through the POSIX registry views and serial ports.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <vector>

#include "platform/posix/fd_guard.h"

#include "hwds/hwds.h"
#include "platform/posix/port_services.h"
#include "platform/posix/posix_registry.h"
#include "sim/control/sim_process.h"
#include "tests/fakes/test_framework.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// The operator: retries the first `retries` questions, then cancels,
// remembering the questions.
struct Prompts {
    std::vector<int32_t> codes;
    std::size_t retries = 0;
    static int32_t interact(void* self, const char*, const char*, int32_t, int32_t code) {
        auto* p = static_cast<Prompts*>(self);
        p->codes.push_back(code);
        return p->codes.size() <= p->retries ? HWDS_ANSWER_RETRY : HWDS_ANSWER_CANCEL;
    }
};

// Serves the framework through a registry view and real serial ports.
class PtyHost {
public:
    explicit PtyHost(std::unique_ptr<platform::PosixRegistry> registry)
        : ports_(std::move(registry)), framework_(ports_.services()) {}

private:
    platform::PortServices ports_;
    fakes::TestFramework framework_;
};

class PtyTest : public ::testing::Test {
protected:
    sim::SimProcess sim{TUVAK_SIM_PATH};
    std::unique_ptr<PtyHost> host;
    Prompts prompts;
    HWDSInteraction cancel{nullptr, &Prompts::interact, nullptr, &prompts};

    void serve(const std::vector<std::string>& args) {
        std::string error;
        ASSERT_TRUE(sim.start(args, &error)) << error;
        auto registry = platform::PosixRegistry::fromFile(sim.registryFile);
        ASSERT_EQ(registry->loadError(), "");
        host = std::make_unique<PtyHost>(std::move(registry));
    }
    HwDataSource* open(const char* id) {
        HwDataSource* source = nullptr;
        EXPECT_EQ(hwdsOpen(&source, "TUVAK", id), CE_OK);
        return source;
    }
    std::array<uint8_t, 128> memoryAfterStop(const std::string& id) {
        EXPECT_TRUE(sim.stop());
        std::string text;
        EXPECT_TRUE(sim::readTextFile(sim.dumpFile, &text));
        auto dump = sim::parseDump(text);
        EXPECT_EQ(dump.count(id), 1u);
        return dump[id];
    }
};

TEST_F(PtyTest, WriteThenReadBackTheWholeMemory) {
    serve({"--fill", "0x5a", "AB12CD34E", "--fill", "0x11", "FF00FF00A"});
    HwDataSource* source = open("AB12CD34E");
    Bytes before(128);
    Bytes pattern(128);
    Bytes back(128);
    ASSERT_EQ(hwdsRead(source, &cancel, before.data(), 128, 0), CE_OK);
    EXPECT_EQ(before, Bytes(128, 0x5A));

    std::iota(pattern.begin(), pattern.end(), 0);  // every byte value the line must carry
    std::reverse(pattern.begin(), pattern.end());
    // Line ends and the software flow-control bytes.
    pattern[3] = 0x0D;
    pattern[4] = 0x11;
    pattern[5] = 0x13;
    pattern[6] = 0x0A;
    ASSERT_EQ(hwdsWrite(source, &cancel, pattern.data(), 128, 0), CE_OK);
    ASSERT_EQ(hwdsRead(source, &cancel, back.data(), 128, 0), CE_OK);
    EXPECT_EQ(back, pattern);
    EXPECT_TRUE(prompts.codes.empty());

    const auto memory = memoryAfterStop("AB12CD34E");
    EXPECT_EQ(Bytes(memory.begin(), memory.end()), pattern);
}

TEST_F(PtyTest, UnlistedIdentifierAsksAfterThePacingAndCancels) {
    serve({"AB12CD34E"});
    HwDataSource* source = open("NOSUCHDEV");
    const auto start = std::chrono::steady_clock::now();
    const uint8_t byte = 0;
    EXPECT_EQ(hwdsWrite(source, &cancel, &byte, 1, 0), CE_CANCELED);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(99));
    EXPECT_EQ(prompts.codes, (std::vector<int32_t>{HWDS_PROMPT_NOT_ENUMERATED, HWDS_PROMPT_END}));
}

// A host killed while it held the port leaves the tty's exclusive flag set;
// the simulator must not keep the device locked for ever because of it.
TEST_F(PtyTest, HostThatDiedHoldingThePortDoesNotLockItOut) {
    serve({"AB12CD34E"});
    HwDataSource* source = open("AB12CD34E");
    // Set on a descriptor closed without TIOCNXCL, as by a killed process.
    ASSERT_EQ(::ioctl(platform::FdGuard(::open(sim.devices().at(0).pty.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)).get(),
                      TIOCEXCL),
              0);
    prompts.retries = 30;
    const uint8_t byte = 1;
    EXPECT_EQ(hwdsWrite(source, &cancel, &byte, 1, 0), CE_OK);
    EXPECT_GE(prompts.codes.size(), 1u);  // the stale flag did refuse the first attempt
}

// A Linux sysfs tree as the kernel's FTDI driver lays it out, with its tty
// node standing in for the simulator's pty.
TEST_F(PtyTest, SysfsViewFindsTheAdapterBySerialNumber) {
    std::string error;
    ASSERT_TRUE(sim.start({"--fill", "0x42", "FT1234XYA"}, &error)) << error;
    const fs::path root = fs::path(sim.dir) / "sys";
    const fs::path dev = fs::path(sim.dir) / "dev";
    const fs::path usb = root / "devices/pci0000:00/usb1/1-1";
    const fs::path iface = usb / "1-1:1.0";
    fs::create_directories(iface / "ttyUSB0");
    fs::create_directories(root / "bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(dev);
    for (const auto& [file, text] :
         {std::pair{usb / "idVendor", "0403"}, std::pair{usb / "idProduct", "6001"},
          std::pair{usb / "serial", "FT1234XY"}, std::pair{iface / "bInterfaceNumber", "00"}})
        std::ofstream(file) << text << "\n";
    fs::create_directory_symlink(iface / "ttyUSB0", root / "bus/usb-serial/drivers/ftdi_sio/ttyUSB0");
    fs::create_symlink(sim.devices().at(0).pty, dev / "ttyUSB0");

    host = std::make_unique<PtyHost>(
        platform::PosixRegistry::fromSysfs(root.string(), dev.string(), (fs::path(sim.dir) / "modules").string()));
    HwDataSource* source = open("FT1234XYA");
    uint8_t byte = 0;
    ASSERT_EQ(hwdsRead(source, &cancel, &byte, 1, 5), CE_OK);
    EXPECT_EQ(byte, 0x42);
    byte = 0x99;
    ASSERT_EQ(hwdsWrite(source, &cancel, &byte, 1, 5), CE_OK);
    EXPECT_EQ(memoryAfterStop("FT1234XYA")[5], 0x99);
}

}  // namespace
