#include <gtest/gtest.h>

#include <optional>
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

// One change made to the driver's data after it is laid out.
struct Edit {
    enum Kind { None, RemoveKey, RemoveValue, SetBytes, SetDword };
    Kind kind = None;
    std::string key = {};
    std::string name = {};
    std::vector<uint8_t> bytes = {};  // binary data, for SetBytes
    uint32_t dword = 0;               // for SetDword
};

void apply(Tree& tree, const Edit& edit) {
    switch (edit.kind) {
        case Edit::None: break;
        case Edit::RemoveKey: tree.removeKey(edit.key); break;
        case Edit::RemoveValue: tree.removeValue(edit.key, edit.name); break;
        case Edit::SetBytes: tree.setValue(edit.key, edit.name, platform::kRegBinary, edit.bytes); break;
        case Edit::SetDword: tree.setDword(edit.key, edit.name, edit.dword); break;
    }
}

std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

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
    const std::string id1 = instancePath("ID1");
    const std::string id1b = "FTDIBUS\\VID_0403+PID_6001+ID1\\0001";
    const std::string longId(37, 'A');
    const std::string unterminated = (id1 + std::string(64, '0')).substr(0, 64);
    const std::string id1Parameters = fakes::deviceParametersKey(id1);
    const std::vector<Adapter> strangers = {
        {instancePath("ABCD"), "COM3"},
        {instancePath("abc"), "COM3"},
        {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM3"},
        {"FTDIBUS\\VID_0403+PID_6001+ABC", "COM3"},
    };
    const std::vector<Adapter> oversized = {
        {id1, "COM3"},
        {std::string(64, 'x'), ""},
        {instancePath("ID2"), "COM4"},
    };
    struct Case {
        const char* what;
        std::vector<Adapter> adapters = {};
        Edit edit = {};
        const char* id;
        int32_t status;
        std::string port = {};  // opened; empty for none
    };
    const Case cases[] = {
        {.what = "no driver key", .edit = {.kind = Edit::RemoveKey, .key = ""}, .id = "ID1", .status = HWDS_FAILED},
        {.what = "no Enum key",
         .edit = {.kind = Edit::RemoveKey, .key = fakes::kEnumKey},
         .id = "ID1",
         .status = HWDS_NOT_PRESENT},
        {.what = "no Count",
         .edit = {.kind = Edit::RemoveValue, .key = fakes::kEnumKey, .name = "Count"},
         .id = "ID1",
         .status = HWDS_FAILED},
        {.what = "Count not fitting 4 bytes",
         .edit = {.kind = Edit::SetBytes, .key = fakes::kEnumKey, .name = "Count", .bytes = {1, 0, 0, 0, 0}},
         .id = "ID1",
         .status = HWDS_FAILED},
        {.what = "Count 0", .id = "ID1", .status = HWDS_NOT_PRESENT},
        // The walk begins at Count - 1: an entry it cannot read ends it at once.
        {.what = "walk from Count - 1",
         .adapters = {{id1, "COM3"}},
         .edit = {.kind = Edit::SetDword, .key = fakes::kEnumKey, .name = "Count", .dword = 0xFFFFFFFF},
         .id = "ID1",
         .status = HWDS_FAILED},
        {.what = "highest matching entry wins",
         .adapters = {{id1, "COM3"}, {id1 + "X", "COM4"}, {id1b, "COM5"}},
         .id = "ID1",
         .status = HWDS_OK,
         .port = "COM5"},
        {.what = "exact identifier up to the backslash",
         .adapters = strangers,
         .id = "ABC",
         .status = HWDS_NOT_ENUMERATED},
        {.what = "identifier longer than any entry",
         .adapters = strangers,
         .id = longId.c_str(),
         .status = HWDS_NOT_ENUMERATED},
        {.what = "no identifier: highest entry",
         .adapters = {{id1, "COM3"}, {"garbage", "COM7"}},
         .id = nullptr,
         .status = HWDS_OK,
         .port = "COM7"},
        {.what = "empty identifier: highest entry",
         .adapters = {{id1, "COM3"}, {"garbage", "COM7"}},
         .id = "",
         .status = HWDS_OK,
         .port = "COM7"},
        {.what = "65-byte entry reached", .adapters = oversized, .id = "ID1", .status = HWDS_FAILED},
        {.what = "65-byte entry not reached", .adapters = oversized, .id = "ID2", .status = HWDS_OK, .port = "COM4"},
        {.what = "64-byte entry fits",
         .adapters = oversized,
         .edit = {.kind = Edit::SetBytes, .key = fakes::kEnumKey, .name = "1", .bytes = std::vector<uint8_t>(64, 'y')},
         .id = "ID1",
         .status = HWDS_OK,
         .port = "COM3"},
        {.what = "unterminated entry read within its size",
         .adapters = {{unterminated, "COM9"}},
         .edit = {.kind = Edit::SetBytes, .key = fakes::kEnumKey, .name = "0", .bytes = bytesOf(unterminated)},
         .id = "ID1",
         .status = HWDS_OK,
         .port = "COM9"},
        {.what = "two-digit port", .adapters = {{id1, "COM10"}}, .id = "ID1", .status = HWDS_OK, .port = "COM10"},
        {.what = "port not COM", .adapters = {{id1, "com3"}}, .id = "ID1", .status = HWDS_FAILED},
        {.what = "port name of 7 bytes",
         .adapters = {{id1, "COM123"}},
         .id = "ID1",
         .status = HWDS_NOT_PRESENT,
         .port = "COM123"},
        {.what = "port name of 8 bytes", .adapters = {{id1, "COM1234"}}, .id = "ID1", .status = HWDS_FAILED},
        {.what = "7 raw bytes, no zero",
         .adapters = {{id1, "COM3"}},
         .edit = {.kind = Edit::SetBytes, .key = id1Parameters, .name = "PortName", .bytes = bytesOf("COM1234")},
         .id = "ID1",
         .status = HWDS_NOT_PRESENT,
         .port = "COM1234"},
        {.what = "no PortName",
         .adapters = {{id1, "COM3"}},
         .edit = {.kind = Edit::RemoveValue, .key = id1Parameters, .name = "PortName"},
         .id = "ID1",
         .status = HWDS_FAILED},
        {.what = "no Device Parameters", .adapters = {{id1, ""}}, .id = "ID1", .status = HWDS_FAILED},
    };
    for (const char* port : {"COM3", "COM4", "COM5", "COM7", "COM9", "COM10"})
        serial.attach(std::string("\\\\.\\") + port, &device);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        registry.tree().removeKey("");
        fakes::addFtdiDriver(registry.tree(), c.adapters);
        apply(registry.tree(), c.edit);
        const std::string opened = c.port.empty() ? "" : "\\\\.\\" + c.port;
        EXPECT_EQ(probe(c.id), std::make_pair(c.status, opened));
    }
}

TEST_F(ConnectionTest, LineIsSetAndPurgedAndEveryFailureHasItsStatus) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}});
    serial.attach("\\\\.\\COM3", &device);
    EXPECT_EQ(probe("ID1").first, HWDS_OK);
    const platform::LineSettings line = serial.lastSettings();
    EXPECT_EQ(std::tuple(line.baudRate, line.byteSize, line.parity, line.stopBits), std::tuple(115200u, 8, 0, 0));
    EXPECT_EQ(serial.lastPurgeFlags(), 0x0Fu);

    // The Win32 errors of an open.
    const std::pair<uint32_t, int32_t> openErrors[] = {
        {2, HWDS_NOT_PRESENT},    // not found
        {21, HWDS_NOT_PRESENT},   // not ready
        {55, HWDS_NOT_PRESENT},   // device gone
        {5, HWDS_ACCESS_DENIED},  // access denied
        {32, HWDS_IO_ERROR},      // sharing violation
        {33, HWDS_IO_ERROR},      // lock violation
        {31, HWDS_FAILED},        // general failure
        {1167, HWDS_FAILED},      // unexpected
    };
    for (auto [error, status] : openErrors) {
        serial.failOpen("\\\\.\\COM3", error);
        const int closesBefore = serial.closeCount();
        EXPECT_EQ(probe("ID1").first, status) << "error " << error;
        EXPECT_EQ(serial.closeCount(), closesBefore) << "a port that did not open is not closed";
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

// The driver's data for a listing: laid out in field order.
struct Layout {
    bool driverKey = true;
    std::optional<uint32_t> count = {};  // Enum's Count, as a DWORD
    std::vector<std::string> held = {};  // Enum value names, each holding the path of ID<name>
    std::vector<Adapter> adapters = {};  // whole adapters, Count included
    Edit edit = {};
};

void layOut(Tree& tree, const Layout& layout) {
    if (layout.driverKey) tree.addKey(fakes::kDriverKey);
    if (layout.count) tree.setDword(fakes::kEnumKey, "Count", *layout.count);
    for (const std::string& name : layout.held) tree.setString(fakes::kEnumKey, name, instancePath("ID" + name));
    if (!layout.adapters.empty()) fakes::addFtdiDriver(tree, layout.adapters);
    apply(tree, layout.edit);
}

TEST(TuvakListing, ShowsTheDevicesTheKeyHoldsAndNothingElse) {
    struct Case {
        const char* what;
        Layout layout;
        CeResult result;
        std::string devices;  // id|COM name|node; for each
    };
    const Case cases[] = {
        {.what = "no driver", .layout = {.driverKey = false}, .result = CE_HW_NOT_FOUND, .devices = ""},
        {.what = "no Enum key", .layout = {}, .result = CE_OK, .devices = ""},
        {.what = "Count unreadable",
         .layout =
             {.count = 0,
              .edit = {.kind = Edit::SetBytes, .key = fakes::kEnumKey, .name = "Count", .bytes = {1, 0, 0, 0, 0}}},
         .result = CE_HW_FAIL,
         .devices = ""},
        {.what = "Count 0", .layout = {.count = 0, .held = {"0"}}, .result = CE_OK, .devices = ""},
        {.what = "Count 1", .layout = {.count = 1, .held = {"0", "1"}}, .result = CE_OK, .devices = "ID0||;"},
        {.what = "mixed entries",
         .layout = {.adapters = {{instancePath("ID1"), "COM3"},
                                 {std::string(64, 'x'), ""},
                                 {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM5"},
                                 {"FTDIBUS\\VID_0403+PID_6001+NOSLASH", "COM6"},
                                 {instancePath("ID2"), ""},
                                 {instancePath("ID3"), "COM12"}}},
         .result = CE_OK,
         .devices = "ID1|COM3|/dev/ttyCOM3;ID2||;ID3|COM12|/dev/ttyCOM12;"},
        // Only names the walk would format, below Count, in number order.
        {.what = "holes",
         .layout = {.count = 6, .held = {"5", "07", "2", "+1", "6", "0"}},
         .result = CE_OK,
         .devices = "ID0||;ID2||;ID5||;"},
        {.what = "Count 0x7FFFFFFF",
         .layout = {.count = 0x7FFFFFFF, .held = {"2147483646", "3", "2147483647"}},
         .result = CE_OK,
         .devices = "ID3||;ID2147483646||;"},
        {.what = "Count 0xFFFFFFFF",
         .layout = {.count = 0xFFFFFFFF, .held = {"4294967294", "1", "4294967295", "9999999999"}},
         .result = CE_OK,
         .devices = "ID1||;ID4294967294||;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tooltest::CountingRegistry registry;
        NamingPorts serial;
        platform::ScopedServices services{platform::Services{.registry = &registry, .serial = &serial}};
        layOut(registry.tree(), c.layout);
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

TEST(TuvakListing, WithoutTheDriverThereIsNothingToListAndNoProblemToTell) {
    // An empty registry, not the machine's: a null member would keep the native one.
    tooltest::CountingRegistry registry;
    platform::ScopedServices services{platform::Services{.registry = &registry}};
    std::vector<HwTuvakDevice> devices{{"stale", "", ""}};
    EXPECT_EQ(hwdsListTuvak(&devices), CE_HW_NOT_FOUND);
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(tuvakRegistryProblem(), "");
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
