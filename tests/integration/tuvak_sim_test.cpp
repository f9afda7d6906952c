// tuvak-sim as a program: its registry file, ptys, dumps, log and faults.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>

#include "sim/model/tuvak_device.h"
#include "tests/fakes/sim_process.h"

namespace {

using Bytes = std::vector<uint8_t>;
using fakes::SimProcess;

class Port {
public:
    explicit Port(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Port() {
        if (fd_ >= 0) ::close(fd_);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    bool isOpen() const { return fd_ >= 0; }

    // Sends the request, then collects up to `want` reply bytes within 2 s.
    // False when the request could not be sent or the line failed.
    bool exchange(const Bytes& request, std::size_t want, Bytes* reply) {
        reply->clear();
        if (::write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (reply->size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return true;
            uint8_t buffer[256];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, want - reply->size()));
            if (n <= 0) return false;
            reply->insert(reply->end(), buffer, buffer + n);
        }
        return true;
    }

private:
    int fd_;
};

Bytes writeFrame(uint8_t address, uint8_t data) {
    const uint8_t body[2] = {address, data};
    return {0x07, address, data, sim::checkByte(body, 2)};
}

Bytes readFrame(uint8_t address) { return {0x08, address, sim::checkByte(&address, 1)}; }

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string expectedRegistry(const std::vector<SimProcess::Device>& devices) {
    std::ostringstream text;
    text << "Windows Registry Editor Version 5.00\n\n"
         << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K]\n\n"
         << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n"
         << "\"Count\"=dword:0000000" << devices.size() << "\n";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        text << "\"" << i << "\"=\"FTDIBUS\\\\VID_0403+PID_6001+" << devices[i].id << "\\\\0000\"\n";
    }
    text << "\n";
    for (const auto& device : devices) {
        text << "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+"
             << device.id << "\\0000\\Device Parameters]\n"
             << "\"PortName\"=\"" << device.com << "\"\n\n";
    }
    text << "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n";
    for (const auto& device : devices) text << "\"" << device.pty << "\"=\"" << device.com << "\"\n";
    return text.str();
}

TEST(TuvakSim, ServesTwoDevicesAndReportsTheirMemoryAndFrames) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"--show-at-exit", "--first-com", "7", "--fill", "0x5a", "AB12CD34E",
                           "--reset", "--pattern", "ascending", "--seed", "9", "XY1"},
                          &error))
        << error;
    const auto& devices = sim.devices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, "AB12CD34E");
    EXPECT_EQ(devices[0].com, "COM7");
    EXPECT_EQ(devices[1].id, "XY1");
    EXPECT_EQ(devices[1].com, "COM8");
    EXPECT_NE(devices[0].pty, devices[1].pty);

    std::string registry;
    ASSERT_TRUE(fakes::readTextFile(sim.registryFile, &registry));
    EXPECT_EQ(registry, expectedRegistry(devices));

    {
        Port first(devices[0].pty);
        ASSERT_TRUE(first.isOpen());
        Bytes reply;
        ASSERT_TRUE(first.exchange(writeFrame(0x10, 0xAA), 2, &reply));
        EXPECT_EQ(reply, (Bytes{0x07, 0x07}));
        ASSERT_TRUE(first.exchange(readFrame(0x10), 3, &reply));
        EXPECT_EQ(reply, (Bytes{0x08, 0xAA, 0x55}));
    }
    {
        Port second(devices[1].pty);
        ASSERT_TRUE(second.isOpen());
        Bytes reply;
        ASSERT_TRUE(second.exchange(readFrame(0x21), 3, &reply));
        EXPECT_EQ(reply, (Bytes{0x08, 0x21, 0xDE}));
        ASSERT_TRUE(second.exchange({0x05}, 130, &reply));
        sim::TuvakDevice sameSeed(9);
        Bytes expected;
        const uint8_t random = 0x05;
        sameSeed.receive(&random, 1, &expected);
        EXPECT_EQ(reply, expected);
    }

    // A dump on request sees the memory while the simulator keeps running.
    std::string requested;
    ASSERT_TRUE(sim.requestDump(&requested, &error)) << error;
    EXPECT_EQ(fakes::parseDump(requested)["AB12CD34E"][0x10], 0xAA);

    ASSERT_TRUE(sim.stop()) << sim.errors();
    std::string dump;
    ASSERT_TRUE(fakes::readTextFile(sim.dumpFile, &dump));
    auto memories = fakes::parseDump(dump);
    ASSERT_EQ(memories.size(), 2u);
    std::array<uint8_t, 128> first;
    first.fill(0x5A);
    first[0x10] = 0xAA;
    EXPECT_EQ(memories["AB12CD34E"], first);
    for (std::size_t i = 0; i < 128; ++i) ASSERT_EQ(memories["XY1"][i], i);
    EXPECT_EQ(dump.substr(0, dump.find('\n', dump.find('\n') + 1) + 1),
              "AB12CD34E\n00: 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a 5a\n");
    EXPECT_EQ(sim.output(), dump);

    std::string log;
    ASSERT_TRUE(fakes::readTextFile(sim.logFile, &log));
    EXPECT_EQ(log, "AB12CD34E 07 10 aa 45\nAB12CD34E 08 10 ef\nXY1 08 21 de\nXY1 05\n");
}

TEST(TuvakSim, UnpluggedDeviceLosesItsNodeAfterNFrames) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"STAYS", "--unplug-after", "2", "GOES"}, &error)) << error;
    const std::string pty = sim.devices()[1].pty;
    {
        Port port(pty);
        ASSERT_TRUE(port.isOpen());
        Bytes reply;
        ASSERT_TRUE(port.exchange(writeFrame(0, 1), 2, &reply));
        EXPECT_EQ(reply, (Bytes{0x07, 0x07}));
        ASSERT_TRUE(port.exchange(writeFrame(1, 2), 2, &reply));
        EXPECT_EQ(reply, (Bytes{0x07, 0x07}));
        const bool sent = port.exchange(writeFrame(2, 3), 2, &reply);
        EXPECT_FALSE(sent && reply == (Bytes{0x07, 0x07}));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (exists(pty) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(exists(pty));
    EXPECT_TRUE(exists(sim.devices()[0].pty));

    ASSERT_TRUE(sim.stop()) << sim.errors();
    std::string dump;
    ASSERT_TRUE(fakes::readTextFile(sim.dumpFile, &dump));
    auto memories = fakes::parseDump(dump);
    ASSERT_EQ(memories.count("GOES"), 1u);
    EXPECT_EQ(memories["GOES"][1], 2);
    EXPECT_EQ(memories["GOES"][2], 0);
}

TEST(TuvakSim, SilentDeviceKeepsItsNodeButNeverAnswers) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"--silent-after", "1", "QUIET"}, &error)) << error;
    Port port(sim.devices()[0].pty);
    Bytes reply;
    ASSERT_TRUE(port.exchange(readFrame(0), 3, &reply));
    EXPECT_EQ(reply.size(), 3u);
    ASSERT_TRUE(port.exchange(readFrame(0), 3, &reply));
    EXPECT_TRUE(reply.empty());
    EXPECT_TRUE(exists(sim.devices()[0].pty));
    EXPECT_TRUE(sim.stop());
}

TEST(TuvakSim, DelayedDeviceHoldsEachReply) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"--delay", "300", "LATE"}, &error)) << error;
    Port port(sim.devices()[0].pty);
    const auto began = std::chrono::steady_clock::now();
    Bytes reply;
    ASSERT_TRUE(port.exchange(readFrame(0), 3, &reply));
    EXPECT_EQ(reply, (Bytes{0x08, 0x00, 0xFF}));
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::milliseconds(300));
    EXPECT_TRUE(sim.stop());
}

TEST(TuvakSim, RepeatedIdentifierGetsAnInstanceOfItsOwn) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"TWIN", "TWIN"}, &error)) << error;
    std::string registry;
    ASSERT_TRUE(fakes::readTextFile(sim.registryFile, &registry));
    EXPECT_NE(registry.find("\"1\"=\"FTDIBUS\\\\VID_0403+PID_6001+TWIN\\\\0001\"\n"), std::string::npos);
    EXPECT_NE(registry.find("+TWIN\\0001\\Device Parameters]\n\"PortName\"=\"COM4\"\n"),
              std::string::npos)
        << registry;
    EXPECT_TRUE(sim.stop());
}

TEST(TuvakSim, PacedDeviceTakesAtLeastTheLineTime) {
    SimProcess sim(TUVAK_SIM_PATH);
    std::string error;
    ASSERT_TRUE(sim.start({"--pace", "SLOW"}, &error)) << error;
    Port port(sim.devices()[0].pty);
    ASSERT_TRUE(port.isOpen());
    const auto began = std::chrono::steady_clock::now();
    for (int address = 0; address < 128; ++address) {
        Bytes reply;
        ASSERT_TRUE(port.exchange(writeFrame(static_cast<uint8_t>(address), 0xEE), 2, &reply));
        ASSERT_EQ(reply, (Bytes{0x07, 0x07})) << "address " << address;
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    EXPECT_GE(took.count(), 128 * 6 * 10 / 115200.0);
    EXPECT_LT(took.count(), 10.0);
    EXPECT_TRUE(sim.stop());
}

TEST(TuvakSim, BadUsageExitsWithTwoAndFileErrorsWithOne) {
    const std::string bin = TUVAK_SIM_PATH;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {bin, "ID"},                                         // no registry
             {bin, "--registry", "r.reg"},                        // no device
             {bin, "--registry", "r.reg", "--fill", "256", "ID"},  // byte out of range
             {bin, "--registry", "r.reg", "--pattern", "descending", "ID"},
             {bin, "--registry", "r.reg", "--bogus", "ID"},
             {bin, "--registry", "r.reg", "ID", "--pace"},  // options for no device
             {bin, "--registry", "r.reg", "A\\B"},
             {bin, "--registry"}}) {
        const fakes::RunResult run = fakes::runProgram(args);
        EXPECT_EQ(run.exitCode, 2) << args[args.size() - 1];
        EXPECT_FALSE(run.err.empty());
    }
    SimProcess sim(bin);
    std::string error;
    ASSERT_TRUE(sim.start({"ANY"}, &error)) << error;  // for a temp dir that goes away
    const fakes::RunResult run =
        fakes::runProgram({bin, "--registry", sim.dir + "/missing/r.reg", "ID"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("missing"), std::string::npos) << run.err;
    EXPECT_TRUE(sim.stop());
}

}  // namespace
