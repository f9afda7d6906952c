#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "hwds/tuvak/hwtuvak.h"
#include "hwds/tuvak/tuvak_devices.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/tool_support.h"

namespace {

using Tree = platform::RegTree;
using fakes::Adapter;
using fakes::instancePath;

class ConnectionTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    platform::ScopedServices services{platform::Services{.registry = &registry, .serial = &serial}};
    sim::TuvakDevice device;

    void TearDown() override {
        EXPECT_EQ(registry.openKeyCount(), 0) << "a registry key was left open";
        EXPECT_EQ(serial.openPorts(), 0) << "a port was left open";
    }
    // Connects and disconnects; returns the status and the port path opened, if any.
    std::pair<int32_t, std::string> probe(const char* id) {
        HwTuvak source(id);
        const size_t before = serial.openedPaths().size();
        const int32_t status = source.probe();
        EXPECT_EQ(source.portHandle, platform::kInvalidPort);
        const auto paths = serial.openedPaths();
        return {status, paths.size() > before ? paths.back() : std::string()};
    }
};

TEST_F(ConnectionTest, DriverDataTellsAbsentFromFaultyAndEntryAndPortAreTakenAsListed) {
    const std::string id1 = instancePath("ID1"), id1b = "FTDIBUS\\VID_0403+PID_6001+ID1\\0001", longId(37, 'A');
    const std::string unterminated = (id1 + std::string(64, '0')).substr(0, 64);
    const std::vector<Adapter> strangers = {{instancePath("ABCD"), "COM3"},
                                            {instancePath("abc"), "COM3"},
                                            {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM3"},
                                            {"FTDIBUS\\VID_0403+PID_6001+ABC", "COM3"}};
    const std::vector<Adapter> oversized = {{id1, "COM3"}, {std::string(64, 'x'), ""}, {instancePath("ID2"), "COM4"}};
    struct Case {
        const char* what;
        std::vector<Adapter> adapters;
        std::function<void(Tree&)> more;
        const char* id;
        int32_t status;
        std::string port;
    };
    const Case cases[] = {
        {"no driver key", {}, [](Tree& t) { t.removeKey(""); }, "ID1", HWDS_FAILED, ""},
        {"no Enum key", {}, [](Tree& t) { t.removeKey(fakes::kEnumKey); }, "ID1", HWDS_NOT_PRESENT, ""},
        {"no Count", {}, [](Tree& t) { t.removeValue(fakes::kEnumKey, "Count"); }, "ID1", HWDS_FAILED, ""},
        {"Count not fitting 4 bytes",
         {},
         [](Tree& t) {
             t.setValue(fakes::kEnumKey, "Count", platform::kRegBinary, {1, 0, 0, 0, 0});
         },
         "ID1",
         HWDS_FAILED,
         ""},
        {"Count 0", {}, nullptr, "ID1", HWDS_NOT_PRESENT, ""},
        // The walk begins at Count - 1: an entry it cannot read ends it at once.
        {"walk from Count - 1",
         {{id1, "COM3"}},
         [](Tree& t) { t.setDword(fakes::kEnumKey, "Count", 0xFFFFFFFF); },
         "ID1",
         HWDS_FAILED,
         ""},
        {"highest matching entry wins",
         {{id1, "COM3"}, {id1 + "X", "COM4"}, {id1b, "COM5"}},
         nullptr,
         "ID1",
         HWDS_OK,
         "COM5"},
        {"exact identifier up to the backslash", strangers, nullptr, "ABC", HWDS_NOT_ENUMERATED, ""},
        {"identifier longer than any entry", strangers, nullptr, longId.c_str(), HWDS_NOT_ENUMERATED, ""},
        {"no identifier: highest entry", {{id1, "COM3"}, {"garbage", "COM7"}}, nullptr, nullptr, HWDS_OK, "COM7"},
        {"empty identifier: highest entry", {{id1, "COM3"}, {"garbage", "COM7"}}, nullptr, "", HWDS_OK, "COM7"},
        {"65-byte entry reached", oversized, nullptr, "ID1", HWDS_FAILED, ""},
        {"65-byte entry not reached", oversized, nullptr, "ID2", HWDS_OK, "COM4"},
        {"64-byte entry fits", oversized,
         [](Tree& t) { t.setValue(fakes::kEnumKey, "1", platform::kRegBinary, std::vector<uint8_t>(64, 'y')); }, "ID1",
         HWDS_OK, "COM3"},
        {"unterminated entry read within its size",
         {{unterminated, "COM9"}},
         [&](Tree& t) {
             t.setValue(fakes::kEnumKey, "0", platform::kRegBinary,
                        std::vector<uint8_t>(unterminated.begin(), unterminated.end()));
         },
         "ID1",
         HWDS_OK,
         "COM9"},
        {"two-digit port", {{id1, "COM10"}}, nullptr, "ID1", HWDS_OK, "COM10"},
        {"port not COM", {{id1, "com3"}}, nullptr, "ID1", HWDS_FAILED, ""},
        {"port name of 7 bytes", {{id1, "COM123"}}, nullptr, "ID1", HWDS_NOT_PRESENT, "COM123"},
        {"port name of 8 bytes", {{id1, "COM1234"}}, nullptr, "ID1", HWDS_FAILED, ""},
        {"7 raw bytes, no zero",
         {{id1, "COM3"}},
         [&](Tree& t) {
             t.setValue(fakes::deviceParametersKey(id1), "PortName", platform::kRegBinary,
                        {'C', 'O', 'M', '1', '2', '3', '4'});
         },
         "ID1",
         HWDS_NOT_PRESENT,
         "COM1234"},
        {"no PortName",
         {{id1, "COM3"}},
         [&](Tree& t) { t.removeValue(fakes::deviceParametersKey(id1), "PortName"); },
         "ID1",
         HWDS_FAILED,
         ""},
        {"no Device Parameters", {{id1, ""}}, nullptr, "ID1", HWDS_FAILED, ""},
    };
    for (const char* port : {"COM3", "COM4", "COM5", "COM7", "COM9", "COM10"})
        serial.attach(std::string("\\\\.\\") + port, &device);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registry.tree().removeKey("");
        fakes::addFtdiDriver(registry.tree(), c.adapters);
        if (c.more) c.more(registry.tree());
        EXPECT_EQ(probe(c.id), std::make_pair(c.status, c.port.empty() ? c.port : "\\\\.\\" + c.port));
    }
}

TEST_F(ConnectionTest, LineIsSetAndPurgedAndEveryFailureHasItsStatus) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}});
    serial.attach("\\\\.\\COM3", &device);
    EXPECT_EQ(probe("ID1").first, HWDS_OK);
    const platform::LineSettings line = serial.lastSettings();
    EXPECT_EQ(std::tuple(line.baudRate, line.byteSize, line.parity, line.stopBits), std::tuple(115200u, 8, 0, 0));
    EXPECT_EQ(serial.lastPurgeFlags(), 0x0Fu);

    // Open errors: not found, not ready, device gone, access denied, sharing, lock, general failure, unexpected.
    const std::pair<uint32_t, int32_t> openErrors[] = {
        {2, HWDS_NOT_PRESENT}, {21, HWDS_NOT_PRESENT}, {55, HWDS_NOT_PRESENT}, {5, HWDS_ACCESS_DENIED},
        {32, HWDS_IO_ERROR},   {33, HWDS_IO_ERROR},    {31, HWDS_FAILED},      {1167, HWDS_FAILED}};
    for (auto [error, status] : openErrors) {
        serial.failOpen("\\\\.\\COM3", error);
        EXPECT_EQ(probe("ID1").first, status) << "error " << error;
    }
    serial.failOpen("\\\\.\\COM3", 0);
    for (std::atomic<bool>* fault : {&serial.failGetSettings, &serial.failSetSettings, &serial.failPurge}) {
        const int closes = serial.closeCount();
        *fault = true;
        EXPECT_EQ(probe("ID1").first, HWDS_IO_ERROR);
        EXPECT_EQ(serial.closeCount(), closes + 1);
        *fault = false;
    }

    // A failed close spoils only success.
    HwTuvak source("ID1");
    const int closes = serial.closeCount();
    EXPECT_EQ(source.disconnect(HWDS_IO_ERROR), HWDS_IO_ERROR);  // closed port: nothing to close
    EXPECT_EQ(serial.closeCount(), closes);

    serial.failClose = true;
    for (auto [passed, returned] : {std::pair(HWDS_IO_ERROR, HWDS_IO_ERROR), std::pair(HWDS_OK, HWDS_FAILED)}) {
        ASSERT_EQ(source.connect(), HWDS_OK);
        EXPECT_EQ(source.disconnect(passed), returned);
        EXPECT_EQ(source.portHandle, platform::kInvalidPort);
    }
    EXPECT_EQ(serial.closeCount(), closes + 2);
}

// Ports that can name the device node behind a COM name, as the POSIX ones do.
struct NamingPorts : sim::InProcessPorts {
    std::string deviceNode(const char* p) override {
        return std::string_view(p).starts_with("\\\\.\\COM") ? "/dev/tty" + std::string(p + 4) : "";
    }
};

std::string listed(const std::vector<HwTuvakDevice>& devices) {
    std::string text;
    for (const auto& d : devices) text += d.id + "|" + d.comName + "|" + d.node + ";";
    return text;
}

// Driver key, Enum with this Count and an instance path of ID<name> under each name.
auto heldEntries(uint32_t count, std::vector<std::string> names) {
    return [=](platform::RegTree& t) {
        t.addKey(fakes::kDriverKey);
        t.setDword(fakes::kEnumKey, "Count", count);
        for (const std::string& name : names) t.setString(fakes::kEnumKey, name, instancePath("ID" + name));
    };
}

TEST(TuvakListing, ShowsTheDevicesTheKeyHoldsAndNothingElse) {
    struct Case {
        const char* what;
        std::function<void(Tree&)> setUp;
        CeResult result;
        std::string devices;
    };
    const Case cases[] = {
        {"no driver", [](Tree&) {}, CE_HW_NOT_FOUND, ""},
        {"no Enum key", [](Tree& t) { t.addKey(fakes::kDriverKey); }, CE_OK, ""},
        {"Count unreadable",
         [](Tree& t) {
             heldEntries(0, {})(t), t.setValue(fakes::kEnumKey, "Count", platform::kRegBinary, {1, 0, 0, 0, 0});
         },
         CE_HW_FAIL, ""},
        {"Count 0", heldEntries(0, {"0"}), CE_OK, ""},
        {"Count 1", heldEntries(1, {"0", "1"}), CE_OK, "ID0||;"},
        {"mixed entries",
         [](Tree& t) {
             fakes::addFtdiDriver(t, {{instancePath("ID1"), "COM3"},
                                      {std::string(64, 'x'), ""},
                                      {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM5"},
                                      {"FTDIBUS\\VID_0403+PID_6001+NOSLASH", "COM6"},
                                      {instancePath("ID2"), ""},
                                      {instancePath("ID3"), "COM12"}});
         },
         CE_OK, "ID1|COM3|/dev/ttyCOM3;ID2||;ID3|COM12|/dev/ttyCOM12;"},
        // Only names the walk would format, below Count, in number order.
        {"holes", heldEntries(6, {"5", "07", "2", "+1", "6", "0"}), CE_OK, "ID0||;ID2||;ID5||;"},
        {"Count 0x7FFFFFFF", heldEntries(0x7FFFFFFF, {"2147483646", "3", "2147483647"}), CE_OK,
         "ID3||;ID2147483646||;"},
        {"Count 0xFFFFFFFF", heldEntries(0xFFFFFFFF, {"4294967294", "1", "4294967295", "9999999999"}), CE_OK,
         "ID1||;ID4294967294||;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tooltest::CountingRegistry registry;
        NamingPorts serial;
        platform::ScopedServices services{platform::Services{.registry = &registry, .serial = &serial}};
        c.setUp(registry.tree());
        std::vector<HwTuvakDevice> devices{{"stale", "", ""}};
        EXPECT_EQ(hwdsListTuvak(&devices), c.result);
        EXPECT_EQ(listed(devices), c.devices);
        // Count, then per entry held its size, its data and its port name.
        EXPECT_LE(registry.queries, 1 + 3 * 6);
        EXPECT_EQ(registry.openKeyCount(), 0);
        EXPECT_EQ(serial.openCount(), 0) << "the listing touched a device";
    }
    EXPECT_EQ(hwdsListTuvak(nullptr), CE_BAD_PARAM);
}

TEST_F(ConnectionTest, EveryListedDeviceIsReachedOnItsListedPort) {
    fakes::addFtdiDriver(
        registry.tree(),
        {{instancePath("ID1"), "COM3"}, {instancePath("ID2"), "COM4"}, {instancePath("ID10"), "COM9"}});
    std::vector<HwTuvakDevice> devices;
    ASSERT_EQ(hwdsListTuvak(&devices), CE_OK);
    ASSERT_EQ(devices.size(), 3u);
    for (const HwTuvakDevice& d : devices)
        EXPECT_EQ(probe(d.id.c_str()), std::make_pair(HWDS_NOT_PRESENT, "\\\\.\\" + d.comName)) << d.id;
}

}  // namespace
