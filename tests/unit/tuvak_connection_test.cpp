#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "hwds/tuvak/hwtuvak.h"
#include "hwds/tuvak/tuvak_devices.h"
#include "platform/regtree.h"
#include "sim/model/tuvak_device.h"
#include "sim/model/inprocess_ports.h"
#include "tests/fakes/ftdi_registry.h"

namespace {

using fakes::Adapter;
using fakes::instancePath;

class ConnectionTest : public ::testing::Test {
protected:
    platform::TreeRegistry registry;
    sim::InProcessPorts serial;
    platform::ScopedServices services{{&registry, &serial, nullptr, nullptr, nullptr, nullptr}};
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

TEST_F(ConnectionTest, MissingDriverDataTellsAbsentFromFaulty) {
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);  // no driver key

    registry.tree().addKey(fakes::kDriverKey);
    EXPECT_EQ(probe("ID1").first, HWDS_NOT_PRESENT);  // no Enum key

    registry.tree().addKey(fakes::kEnumKey);
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);  // no Count

    registry.tree().setValue(fakes::kEnumKey, "Count", platform::kRegBinary, {1, 0, 0, 0, 0});
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);  // Count does not fit 4 bytes

    registry.tree().setDword(fakes::kEnumKey, "Count", 0);
    EXPECT_EQ(probe("ID1").first, HWDS_NOT_PRESENT);

    registry.tree().setDword(fakes::kEnumKey, "Count", 1);
    registry.tree().setString(fakes::kEnumKey, "0", instancePath("OTHER"));
    EXPECT_EQ(probe("ID1").first, HWDS_NOT_ENUMERATED);
    EXPECT_EQ(serial.openCount(), 0);
}

TEST_F(ConnectionTest, HighestNumberedMatchingEntryWins) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"},
                                           {instancePath("ID1") + "X", "COM4"},
                                           {instancePath("ID1"), "COM5"}});
    // The entries share one "Device Parameters" key, so give the last its own.
    registry.tree().setString(fakes::kEnumKey, "2", "FTDIBUS\\VID_0403+PID_6001+ID1\\0001");
    registry.tree().setString(fakes::deviceParametersKey("FTDIBUS\\VID_0403+PID_6001+ID1\\0001"),
                              "PortName", "COM5");
    serial.attach("\\\\.\\COM5", &device);
    EXPECT_EQ(probe("ID1"), std::make_pair(HWDS_OK, std::string("\\\\.\\COM5")));
}

TEST_F(ConnectionTest, IdentifierMustMatchExactlyUpToTheBackslash) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ABCD"), "COM3"},
                                           {instancePath("abc"), "COM3"},
                                           {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM3"},
                                           {"FTDIBUS\\VID_0403+PID_6001+ABC", "COM3"}});
    EXPECT_EQ(probe("ABC").first, HWDS_NOT_ENUMERATED);
    EXPECT_EQ(probe(std::string(37, 'A').c_str()).first, HWDS_NOT_ENUMERATED);
}

TEST_F(ConnectionTest, NoIdentifierTakesTheHighestEntryWhateverItHolds) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}, {"garbage", "COM7"}});
    serial.attach("\\\\.\\COM7", &device);
    EXPECT_EQ(probe(nullptr), std::make_pair(HWDS_OK, std::string("\\\\.\\COM7")));
    EXPECT_EQ(probe(""), std::make_pair(HWDS_OK, std::string("\\\\.\\COM7")));
}

TEST_F(ConnectionTest, OversizedEntryStopsTheSearchOnlyWhenReached) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"},
                                           {std::string(64, 'x'), ""},
                                           {instancePath("ID2"), "COM4"}});
    serial.attach("\\\\.\\COM3", &device);
    serial.attach("\\\\.\\COM4", &device);
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);  // 65 bytes with its zero
    EXPECT_EQ(probe("ID2").first, HWDS_OK);      // found before entry 1 is read

    // 64 bytes exactly still fits.
    registry.tree().setValue(fakes::kEnumKey, "1", platform::kRegBinary,
                             std::vector<uint8_t>(64, 'y'));
    EXPECT_EQ(probe("ID1").first, HWDS_OK);
}

TEST_F(ConnectionTest, UnterminatedEntryIsReadWithinItsSize) {
    // An instance path as raw bytes without a terminating zero, exactly 64 long.
    std::string instance = instancePath("ID1");
    instance.resize(64, '0');
    fakes::addFtdiDriver(registry.tree(), {{"placeholder", ""}});
    registry.tree().setValue(fakes::kEnumKey, "0", platform::kRegBinary,
                             std::vector<uint8_t>(instance.begin(), instance.end()));
    registry.tree().setString(fakes::deviceParametersKey(instance), "PortName", "COM9");
    serial.attach("\\\\.\\COM9", &device);
    EXPECT_EQ(probe("ID1"), std::make_pair(HWDS_OK, std::string("\\\\.\\COM9")));
}

TEST_F(ConnectionTest, PortNameMustFitAndBeginWithCom) {
    const std::string instance = instancePath("ID1");
    fakes::addFtdiDriver(registry.tree(), {{instance, "COM10"}});
    const std::string key = fakes::deviceParametersKey(instance);
    serial.attach("\\\\.\\COM10", &device);
    EXPECT_EQ(probe("ID1"), std::make_pair(HWDS_OK, std::string("\\\\.\\COM10")));

    registry.tree().setString(key, "PortName", "com3");
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);

    registry.tree().setString(key, "PortName", "COM123");  // 7 bytes with its zero
    EXPECT_EQ(probe("ID1"), std::make_pair(HWDS_NOT_PRESENT, std::string("\\\\.\\COM123")));

    registry.tree().setString(key, "PortName", "COM1234");  // 8 bytes
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);

    // Seven raw bytes without a zero fit, and are read no further.
    registry.tree().setValue(key, "PortName", platform::kRegBinary,
                             {'C', 'O', 'M', '1', '2', '3', '4'});
    EXPECT_EQ(probe("ID1"), std::make_pair(HWDS_NOT_PRESENT, std::string("\\\\.\\COM1234")));

    registry.tree().removeValue(key, "PortName");
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);
    registry.tree().removeKey(key);
    EXPECT_EQ(probe("ID1").first, HWDS_FAILED);
}

TEST_F(ConnectionTest, OpenErrorsMapToStatuses) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}});
    serial.attach("\\\\.\\COM3", &device);
    const std::pair<uint32_t, int32_t> table[] = {
        {platform::kErrFileNotFound, HWDS_NOT_PRESENT},
        {platform::kErrNotReady, HWDS_NOT_PRESENT},
        {platform::kErrDevNotExist, HWDS_NOT_PRESENT},
        {platform::kErrAccessDenied, HWDS_ACCESS_DENIED},
        {platform::kErrSharingViolation, HWDS_IO_ERROR},
        {platform::kErrLockViolation, HWDS_IO_ERROR},
        {platform::kErrGenFailure, HWDS_FAILED},
        {1167, HWDS_FAILED},
    };
    for (auto [error, status] : table) {
        serial.failOpen("\\\\.\\COM3", error);
        EXPECT_EQ(probe("ID1").first, status) << "error " << error;
    }
    serial.failOpen("\\\\.\\COM3", 0);
    EXPECT_EQ(probe("ID1").first, HWDS_OK);
}

TEST_F(ConnectionTest, LineIsSetAndPurgedAndFailuresCloseThePort) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}});
    serial.attach("\\\\.\\COM3", &device);
    EXPECT_EQ(probe("ID1").first, HWDS_OK);
    const platform::LineSettings line = serial.lastSettings();
    EXPECT_EQ(line.baudRate, 115200u);
    EXPECT_EQ(line.byteSize, 8);
    EXPECT_EQ(line.parity, 0);
    EXPECT_EQ(line.stopBits, 0);
    EXPECT_EQ(serial.lastPurgeFlags(), 0x0Fu);

    for (std::atomic<bool>* fault : {&serial.failGetSettings, &serial.failSetSettings, &serial.failPurge}) {
        *fault = true;
        const int closes = serial.closeCount();
        EXPECT_EQ(probe("ID1").first, HWDS_IO_ERROR);
        EXPECT_EQ(serial.closeCount(), closes + 1);
        *fault = false;
    }
}

TEST_F(ConnectionTest, FailedCloseSpoilsOnlySuccess) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"}});
    serial.attach("\\\\.\\COM3", &device);
    HwTuvak source("ID1");

    EXPECT_EQ(source.disconnect(HWDS_IO_ERROR), HWDS_IO_ERROR);  // closed port: nothing to close
    EXPECT_EQ(serial.closeCount(), 0);

    serial.failClose = true;
    ASSERT_EQ(source.connect(), HWDS_OK);
    EXPECT_EQ(source.disconnect(HWDS_IO_ERROR), HWDS_IO_ERROR);
    EXPECT_EQ(source.portHandle, platform::kInvalidPort);
    ASSERT_EQ(source.connect(), HWDS_OK);
    EXPECT_EQ(source.disconnect(HWDS_OK), HWDS_FAILED);
    EXPECT_EQ(source.portHandle, platform::kInvalidPort);
    EXPECT_EQ(serial.closeCount(), 2);
}

// ---- The listing that front ends show ----------------------------------------

// Ports that can name the device node behind a COM name, as the POSIX ones do.
class NamingPorts : public sim::InProcessPorts {
public:
    std::string deviceNode(const char* path) override {
        const std::string p = path;
        return p.starts_with("\\\\.\\COM") ? "/dev/tty" + p.substr(4) : std::string();
    }
};

std::string listed(const std::vector<HwTuvakDevice>& devices) {
    std::string text;
    for (const auto& d : devices) text += d.id + "|" + d.comName + "|" + d.node + ";";
    return text;
}

TEST(TuvakListing, ShowsTheDevicesTheConnectionFindsAndNothingElse) {
    struct Case {
        const char* what;
        std::function<void(platform::RegTree&)> setUp;
        CeResult result;
        std::string devices;
    };
    const std::string oversized(64, 'x');
    const Case cases[] = {
        {"no driver", [](platform::RegTree&) {}, CE_HW_NOT_FOUND, ""},
        {"no Enum key", [](platform::RegTree& t) { t.addKey(fakes::kDriverKey); }, CE_OK, ""},
        {"Count unreadable",
         [](platform::RegTree& t) {
             t.addKey(fakes::kDriverKey);
             t.setValue(fakes::kEnumKey, "Count", platform::kRegBinary, {1, 0, 0, 0, 0});
         },
         CE_HW_FAIL, ""},
        {"Count 0", [](platform::RegTree& t) { fakes::addFtdiDriver(t, {}); }, CE_OK, ""},
        {"mixed entries",
         [&](platform::RegTree& t) {
             fakes::addFtdiDriver(t, {{instancePath("ID1"), "COM3"},
                                      {oversized, ""},
                                      {"FTDIBUS\\VID_0403+PID_6015+ABC\\0000", "COM5"},
                                      {"FTDIBUS\\VID_0403+PID_6001+NOSLASH", "COM6"},
                                      {instancePath("ID2"), ""},
                                      {instancePath("ID3"), "COM12"}});
         },
         CE_OK, "ID1|COM3|/dev/ttyCOM3;ID2||;ID3|COM12|/dev/ttyCOM12;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::TreeRegistry registry;
        NamingPorts serial;
        platform::ScopedServices services{{&registry, &serial, nullptr, nullptr, nullptr, nullptr}};
        c.setUp(registry.tree());
        std::vector<HwTuvakDevice> devices{{"stale", "", ""}};
        EXPECT_EQ(hwdsListTuvak(&devices), c.result);
        EXPECT_EQ(listed(devices), c.devices);
        EXPECT_EQ(registry.openKeyCount(), 0);
        EXPECT_EQ(serial.openCount(), 0) << "the listing touched a device";
    }
    EXPECT_EQ(hwdsListTuvak(nullptr), CE_BAD_PARAM);
}

TEST_F(ConnectionTest, EveryListedDeviceIsReachedOnItsListedPort) {
    fakes::addFtdiDriver(registry.tree(), {{instancePath("ID1"), "COM3"},
                                           {instancePath("ID2"), "COM4"},
                                           {instancePath("ID10"), "COM9"}});
    std::vector<HwTuvakDevice> devices;
    ASSERT_EQ(hwdsListTuvak(&devices), CE_OK);
    ASSERT_EQ(devices.size(), 3u);
    for (const HwTuvakDevice& d : devices) {
        EXPECT_EQ(probe(d.id.c_str()), std::make_pair(HWDS_NOT_PRESENT, "\\\\.\\" + d.comName)) << d.id;
    }
}

}  // namespace
