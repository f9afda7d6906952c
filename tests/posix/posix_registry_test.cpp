// The POSIX registry views: regedit files on disk, COM names and the sysfs view.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "hwds/hwds.h"
#include "platform/posix/posix_registry.h"
#include "platform/posix/regedit_file.h"
#include "platform/posix/sysfs_view.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/fake_clock.h"
#include "tests/fakes/temp_dir.h"
#include "tests/fakes/test_framework.h"

namespace platform {
namespace {

namespace fs = std::filesystem;
using fakes::TempDir;

constexpr const char* kEnum = "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum";
constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

std::string text(const RegTree& tree, std::string_view key, std::string_view name) {
    const RegValue* value = tree.findKey(key) == nullptr ? nullptr : tree.findKey(key)->value(name);
    return value == nullptr ? "<missing>" : std::string(value->data.begin(), value->data.end());
}

// A regedit file whose Enum key names the one adapter `id`.
std::string oneAdapter(const std::string& id) {
    return "REGEDIT4\n[HKLM\\" + std::string(kEnum) + "]\n\"Count\"=dword:1\n\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+" +
           id + "\\\\0000\"\n";
}

// The count of Enum and the entry "0" as the registry shows them now, or through a key opened before.
std::pair<uint32_t, std::string> firstEntry(Registry& registry, KeyHandle opened = kNoKey) {
    KeyHandle key = opened;
    if (key == kNoKey && registry.openKey(kEnum, &key) != kErrSuccess) return {0, "<no Enum>"};
    uint8_t count[4] = {};
    uint8_t entry[64] = {};
    uint32_t size = sizeof count;
    uint32_t entrySize = sizeof entry - 1;
    registry.queryValue(key, "Count", count, &size);
    if (registry.queryValue(key, "0", entry, &entrySize) != kErrSuccess) entry[0] = '\0';
    if (opened == kNoKey) registry.closeKey(key);
    return {count[0], reinterpret_cast<char*>(entry)};
}

TEST(ComNames, ResolveMatchesWholeTextIgnoringCase) {
    RegTree tree;
    tree.setString(kSerialComm, "/dev/ttyUSB11", "COM12");
    tree.setString(kSerialComm, "/dev/pts/7", "COM1");
    // Data need not be terminated; the match stops at the data's end.
    tree.setValue(kSerialComm, "/dev/ttyS0", kRegBinary, {'C', 'O', 'M', '9'});
    for (const auto& [com, node] : {std::pair{"com12", "/dev/ttyUSB11"},
                                    {"COM1", "/dev/pts/7"},
                                    {"COM9", "/dev/ttyS0"},
                                    {"COM", ""},
                                    {"COM5", ""}}) {
        std::string found;
        EXPECT_EQ(resolveComName(tree, com, &found), *node != '\0') << com;
        EXPECT_EQ(found, node) << com;
    }
}

TEST(RegeditFile, WhatCannotBeReadSaysWhyAtOnce) {
    TempDir dir;
    const std::string fifo = dir.path + "/registry.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A byte over the limit, sparse: no disk and no time spent on it.
    const std::string huge = dir.write("huge.reg", "");
    ASSERT_EQ(::truncate(huge.c_str(), (off_t{64} << 20) + 1), 0);
    const std::pair<std::string, std::string> cases[] = {
        {dir.path + "/absent.reg", ": cannot read: No such file or directory"},
        {dir.path, ": cannot read: Is a directory"},
        {"/dev/null", ": cannot read: not a regular file"},
        {fifo, ": cannot read: not a regular file"},  // at once, not when a writer comes
        {huge, ": cannot read: larger than 64 MiB"},
    };
    for (const auto& [path, reason] : cases) {
        RegTree tree;
        tree.setString("Before", "v", "kept");
        std::string error;
        EXPECT_FALSE(loadRegeditFile(path, &tree, &error));
        EXPECT_EQ(error, path + reason);
        EXPECT_NE(tree.findKey("Before"), nullptr);
    }
}

// Sanitizers reserve terabytes of address space, which no address limit allows.
#ifdef __has_feature
#define HAS_FEATURE(x) __has_feature(x)
#else
#define HAS_FEATURE(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || HAS_FEATURE(address_sanitizer) || \
    HAS_FEATURE(thread_sanitizer) || HAS_FEATURE(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(RegeditFile, FileTooLargeForMemoryIsAnErrorNamingIt) {
    if (kSanitized) GTEST_SKIP() << "needs an address-space limit, which sanitizers do not allow";
    TempDir dir;
    std::string file = "REGEDIT4\n[HKLM\\K]\n";
    for (int n = 0; file.size() < (std::size_t{24} << 20); ++n) file += '"' + std::to_string(n) + "\"=\"\"\n";
    const std::string path = dir.write("huge.reg", file);
    // Its memory would count against the child's limit.
    file = std::string();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for the file's bytes, not for the tree they describe.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit =
            static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
        const rlimit cap{limit, limit};
        if (::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(2);
        RegTree tree;
        std::string error;
        const bool loaded = loadRegeditFile(path, &tree, &error);
        ::_exit(!loaded && error == path + ": cannot load: not enough memory to hold it" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the load ended the process (signal " << WTERMSIG(status) << ")";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: loaded or wrong message; 2: no limit";
}

// A fake sysfs with the layout the kernel gives USB serial adapters.
struct FakeSysfs {
    const TempDir& dir;
    const std::string usb = "devices/pci0000:00/usb1/";
    const std::string driverDir = dir.path + "/bus/usb-serial/drivers/ftdi_sio";
    // Its ttys on interfaces 0, 1, ...
    void device(const std::string& name, const std::string& pid, const char* serial,
                std::vector<std::string> ttys = {}) {
        dir.write(usb + name + "/idVendor", "0403\n");
        dir.write(usb + name + "/idProduct", pid + "\n");
        if (serial != nullptr) dir.write(usb + name + "/serial", std::string(serial) + "\n");
        for (char i = 0; i < char(ttys.size()); ++i) tty(name, char('0' + i), ttys[i]);
    }
    void tty(const std::string& device, char interface, const std::string& tty) {
        const std::string ifDir = usb + device + "/" + device + ":1." + interface;
        dir.write(ifDir + "/bInterfaceNumber", std::string("0") + interface + "\n");
        fs::create_directories(dir.path + "/" + ifDir + "/" + tty);
        fs::create_directories(driverDir);
        fs::create_directory_symlink("../../../../" + ifDir + "/" + tty, driverDir + "/" + tty);
    }
};

TEST(SysfsView, ListsFtdiTtysAsTheWindowsDriverNamesThem) {
    TempDir dir;
    FakeSysfs sysfs{dir};
    sysfs.device("1-1", "6001", "AB12CD34E", {"ttyUSB10"});
    sysfs.device("1-2", "601c", "FT2X", {"ttyUSB2", "ttyUSB3"});
    sysfs.device("1-3", "6001", nullptr, {"ttyUSB0"});
    // A key name cannot hold a separator, nor a control byte.
    sysfs.device("1-4", "6001", "AB\\CD", {"ttyUSB4"});
    sysfs.device("1-5", "6001", "AB\tCD", {"ttyUSB5"});
    dir.write("bus/usb-serial/drivers/ftdi_sio/uevent", "DRIVER=ftdi_sio\n");
    RegTree tree;
    buildSysfsView(dir.path, "/dev", true, &tree);
    ASSERT_EQ(text(tree, kEnum, "Count"), std::string("\3\0\0\0", 4));
    struct Row {
        std::string entry;
        std::string instance;
        std::string com;
        std::string node;
    };
    const Row rows[] = {
        {.entry = "0", .instance = "FTDIBUS\\VID_0403+PID_601C+FT2XA\\0000", .com = "COM3", .node = "/dev/ttyUSB2"},
        {.entry = "1", .instance = "FTDIBUS\\VID_0403+PID_601C+FT2XB\\0000", .com = "COM4", .node = "/dev/ttyUSB3"},
        {.entry = "2",
         .instance = "FTDIBUS\\VID_0403+PID_6001+AB12CD34EA\\0000",
         .com = "COM11",
         .node = "/dev/ttyUSB10"},
    };
    for (const Row& r : rows) {
        const RegValue* entry = tree.findKey(kEnum)->value(r.entry);
        EXPECT_TRUE(entry != nullptr && entry->type == kRegSz);
        EXPECT_EQ(text(tree, kEnum, r.entry), r.instance + '\0');
        EXPECT_EQ(text(tree, "SYSTEM\\CurrentControlSet\\Enum\\" + r.instance + "\\Device Parameters", "PortName"),
                  r.com + '\0');
        std::string node;
        EXPECT_TRUE(resolveComName(tree, r.com, &node)) << r.com;
        EXPECT_EQ(node, r.node) << r.com;
    }
    EXPECT_EQ(text(tree, kEnum, "3"), "<missing>") << "the ttys without a usable serial number are left out";
}

TEST(SysfsView, DriverIsThereWhenTheKernelCanLoadIt) {
    // A file of no content is a folder.
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;
        bool present;
    };
    const Case cases[] = {
        {"nothing", {{"sys/bus/usb-serial/drivers/pl2303", ""}}, false},
        {"serving ports", {{"sys/bus/usb-serial/drivers/ftdi_sio", ""}}, true},
        {"loaded", {{"sys/module/ftdi_sio", ""}}, true},
        {"built in",
         {{"modules/modules.builtin",
           "kernel/drivers/usb/serial/usbserial.ko\nkernel/drivers/usb/serial/ftdi_sio.ko\n"}},
         true},
        {"a module",
         {{"modules/modules.dep",
           "kernel/drivers/usb/serial/ftdi_sio.ko.xz: kernel/drivers/usb/serial/usbserial.ko.xz\n"}},
         true},
        {"only named as a dependency", {{"modules/modules.dep", "kernel/x/other.ko: kernel/x/ftdi_sio.ko\n"}}, false},
        {"a longer name",
         {{"modules/modules.dep", "kernel/x/ftdi_sio_extra.ko:\n"},
          {"modules/modules.builtin", "kernel/x/xftdi_sio.ko\n"}},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        for (const auto& [name, content] : c.files) {
            if (content.empty()) {
                fs::create_directories(fs::path(dir.path) / name);
            } else {
                dir.write(name, content);
            }
        }
        auto registry = PosixRegistry::fromSysfs(dir.path + "/sys", "/dev", dir.path + "/modules");
        // Count says how many ports the driver serves, none here.
        EXPECT_EQ(firstEntry(*registry), std::make_pair(0u, std::string(c.present ? "" : "<no Enum>")));
        EXPECT_EQ(registry->tree().findKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K") != nullptr, c.present);
        EXPECT_EQ(registry->loadError(), "");
    }
}

TEST(SysfsView, PortsPluggedInMovedAndGoneAreSeenAtOnce) {
    TempDir dir;
    FakeSysfs sysfs{dir};
    fs::create_directories(sysfs.driverDir);
    auto registry = PosixRegistry::fromSysfs(dir.path, "/dev", dir.path + "/modules");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(0u, std::string()));

    sysfs.device("1-1", "6001", "LATE01", {"ttyUSB0"});
    const std::string instance = "FTDIBUS\\VID_0403+PID_6001+LATE01A\\0000";
    EXPECT_EQ(firstEntry(*registry), std::make_pair(1u, instance));
    std::string node;
    EXPECT_TRUE(registry->resolveComName("COM1", &node));
    EXPECT_EQ(node, "/dev/ttyUSB0");

    // Unplugged, and plugged in again as another tty: the old name leads nowhere.
    fs::remove(sysfs.driverDir + "/ttyUSB0");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(0u, std::string()));
    sysfs.tty("1-1", '0', "ttyUSB4");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(1u, instance));
    EXPECT_FALSE(registry->resolveComName("COM1", &node));
    EXPECT_TRUE(registry->resolveComName("COM5", &node));
    EXPECT_EQ(node, "/dev/ttyUSB4");
    EXPECT_EQ(
        text(registry->tree(), "SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters", "PortName"),
        std::string("COM5") + '\0');
}

TEST(PosixRegistry, FileIsReadAgainWhenItChanges) {
    TempDir dir;
    const std::string path = dir.write("live.reg", oneAdapter("FIRST"));
    auto registry = PosixRegistry::fromFile(path);
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+FIRST\\0000");
    KeyHandle before = kNoKey;
    ASSERT_EQ(registry->openKey(kEnum, &before), kErrSuccess);

    // Replaced as tuvak-sim does it, by a rename.
    fs::rename(dir.write("next.reg", oneAdapter("SECOND")), path);
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+SECOND\\0000");
    // A key opened before the change reads what was there when it was opened.
    EXPECT_EQ(firstEntry(*registry, before), std::make_pair(1u, std::string("FTDIBUS\\VID_0403+PID_6001+FIRST\\0000")));
    registry->closeKey(before);

    // Rewritten in place, then broken (an empty registry that says why), then mended.
    dir.write("live.reg", oneAdapter("THIRD-LONGER"));
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+THIRD-LONGER\\0000");
    dir.write("live.reg", "\xEF\xBB\xBFREGEDIT4\n[HKLM\\" + std::string(kEnum) + "]\n\"a\"=hex:1g\n");
    EXPECT_EQ(registry->loadError(), path + ":3: bad character 'g' in hex list");
    EXPECT_EQ(firstEntry(*registry).second, "<no Enum>");
    dir.write("live.reg", oneAdapter("FOURTH"));
    EXPECT_EQ(registry->loadError(), "");
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+FOURTH\\0000");
    EXPECT_EQ(registry->openKeyCount(), 0);
}

// The operator is asked to attach the device, does, and answers retry.
TEST(PosixRegistry, DeviceAttachedWhileTheOperatorIsAskedIsFound) {
    TempDir dir;
    const std::string path =
        dir.write("devices.reg", "REGEDIT4\n[HKLM\\" + std::string(kEnum) + "]\n\"Count\"=dword:0\n");
    auto registry = PosixRegistry::fromFile(path);
    sim::InProcessPorts serial;
    sim::TuvakDevice device;
    serial.attach("\\\\.\\COM3", &device);
    fakes::FakeClock clock;
    fakes::TestFramework framework({.registry = registry.get(), .serial = &serial, .clock = &clock});

    struct Operator {
        TempDir* dir;
        std::vector<int32_t> codes;
    };
    Operator op{.dir = &dir, .codes = {}};
    const HWDSInteraction record{
        .reservedCallback = nullptr,
        .interact = [](void* self, const char*, const char*, int32_t, int32_t code) -> int32_t {
            auto* op = static_cast<Operator*>(self);
            op->codes.push_back(code);
            if (code == HWDS_PROMPT_END) return 0;
            if (op->codes.size() > 1) return HWDS_ANSWER_CANCEL;
            op->dir->write("devices.reg", oneAdapter("LATE") +
                                              "[HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+LATE"
                                              "\\0000\\Device Parameters]\n\"PortName\"=\"COM3\"\n");
            return HWDS_ANSWER_RETRY;
        },
        .reservedData = nullptr,
        .userData = &op,
    };
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "LATE"), CE_OK);
    const uint8_t value = 0x5A;
    EXPECT_EQ(hwdsWrite(source, &record, &value, 1, 7), CE_OK);
    EXPECT_EQ(op.codes, (std::vector<int32_t>{HWDS_PROMPT_NOT_PRESENT, HWDS_PROMPT_END}));
    EXPECT_EQ(device.memory()[7], 0x5A);
}

}  // namespace
}  // namespace platform
