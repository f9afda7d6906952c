// The POSIX registry views: COM names, the regedit reader and the sysfs view.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <future>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/posix/posix_registry.h"
#include "platform/posix/regedit.h"
#include "platform/posix/sysfs_view.h"
#include "platform/regtree.h"
#include "hwds/hwds.h"
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

void writeFile(const fs::path& path, std::string_view bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> bytesOf(std::string_view s) { return {s.begin(), s.end()}; }

std::string text(const RegValue* value) {
    return value == nullptr ? "<missing>" : std::string(value->data.begin(), value->data.end());
}

// ---- COM names ----

TEST(ComNames, ResolveMatchesWholeTextIgnoringCase) {
    TreeRegistry reg;
    reg.tree().setString(kSerialComm, "/dev/ttyUSB11", "COM12");
    reg.tree().setString(kSerialComm, "/dev/pts/7", "COM1");
    // Data need not be terminated; the match stops at the data's end.
    reg.tree().setValue(kSerialComm, "/dev/ttyS0", kRegBinary, bytesOf("COM9"));

    std::string node;
    ASSERT_TRUE(resolveComName(reg.tree(), "com12", &node));
    EXPECT_EQ(node, "/dev/ttyUSB11");
    ASSERT_TRUE(resolveComName(reg.tree(), "COM1", &node));
    EXPECT_EQ(node, "/dev/pts/7");
    ASSERT_TRUE(resolveComName(reg.tree(), "COM9", &node));
    EXPECT_EQ(node, "/dev/ttyS0");
    EXPECT_FALSE(resolveComName(reg.tree(), "COM", &node));
    EXPECT_FALSE(resolveComName(reg.tree(), "COM5", &node));
}

// ---- regedit files ----

TEST(Regedit, ParsesEveryDataForm) {
    const std::string file =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the adapter\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\r\n"
        "\"Count\"=dword:0000010a\r\n"
        "\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+AB12CD34EA\\\\0000\"\r\n"
        "@=\"say \\\"hi\\\"\"\r\n"
        "[hklm\\Other]\r\n"
        "\"Bin\"=hex:\\\r\n"  // all its bytes on the next line, as after a long name
        "  de,ad,00\r\n"
        "\"Multi\"=hex(7):41,00,42,00,\\\r\n"
        "    00,00\r\n"
        "\"Empty\"=hex:\r\n";
    RegTree tree;
    std::string error;
    ASSERT_TRUE(parseRegedit(file, "reg.txt", &tree, &error)) << error;
    EXPECT_TRUE(error.empty());

    const RegValue* count = tree.value(kEnum, "Count");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->type, kRegDword);
    EXPECT_EQ(count->data, (std::vector<uint8_t>{0x0a, 0x01, 0, 0}));

    const RegValue* entry = tree.value(kEnum, "0");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->type, kRegSz);
    EXPECT_EQ(text(entry), std::string("FTDIBUS\\VID_0403+PID_6001+AB12CD34EA\\0000") + '\0');
    EXPECT_EQ(text(tree.value(kEnum, "")), std::string("say \"hi\"\0", 9));

    const RegValue* bin = tree.value("OTHER", "bin");
    ASSERT_NE(bin, nullptr);
    EXPECT_EQ(bin->type, kRegBinary);
    EXPECT_EQ(bin->data, (std::vector<uint8_t>{0xde, 0xad, 0x00}));
    const RegValue* multi = tree.value("Other", "Multi");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->type, kRegMultiSz);
    EXPECT_EQ(multi->data, (std::vector<uint8_t>{0x41, 0, 0x42, 0, 0, 0}));
    ASSERT_NE(tree.value("Other", "Empty"), nullptr);
    EXPECT_TRUE(tree.value("Other", "Empty")->data.empty());

    RegTree old;
    ASSERT_TRUE(parseRegedit("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=\"x\"\n", "r4", &old, &error)) << error;
    EXPECT_EQ(text(old.value("K", "v")), std::string("x\0", 2));
}

TEST(Regedit, DeletionFormsAndOtherHives) {
    RegTree tree;
    tree.setString("Keep", "a", "1");
    tree.setString("Keep", "b", "2");
    tree.setString("Gone\\Sub", "c", "3");
    const std::string file =
        "Windows Registry Editor Version 5.00\n"
        "[-HKEY_LOCAL_MACHINE\\Gone]\n"
        "[HKEY_LOCAL_MACHINE\\Keep]\n"
        "\"a\"=-\n"
        "[HKEY_CURRENT_USER\\Software\\X]\n"
        "\"skipped\"=hex:01,\\\n"
        "  02\n"
        "[HKEY_LOCAL_MACHINE\\After]\n"
        "\"v\"=dword:1\n";
    std::string error;
    ASSERT_TRUE(parseRegedit(file, "reg.txt", &tree, &error)) << error;
    EXPECT_FALSE(tree.hasKey("Gone"));
    EXPECT_FALSE(tree.hasKey("Gone\\Sub"));
    ASSERT_EQ(tree.values("Keep").size(), 1u) << "only \"b\" is left; a skipped hive's values go nowhere";
    EXPECT_EQ(tree.values("Keep")[0].first, "b");
    EXPECT_FALSE(tree.hasKey("Software\\X"));
    ASSERT_NE(tree.value("After", "v"), nullptr);
    EXPECT_EQ(tree.value("After", "v")->data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST(Regedit, ErrorsNameFileAndLineAndChangeNothing) {
    const std::string head = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n";
    struct Case {
        std::string file;
        std::string prefix;  // "reg.txt:<line>: " and the start of the reason
    };
    const Case cases[] = {
        {"", "reg.txt:1: expected \"Windows Registry Editor Version 5.00\""},
        {"Windows Registry Editor Version 4.00\n", "reg.txt:1: expected"},
        {head + "\"a\"=\"open\n", "reg.txt:3: unterminated string"},
        {head + "\"a=\"x\"\n", "reg.txt:3: expected \"name\"=value"},
        {head + "\"a\"=\"x\\n\"\n", "reg.txt:3: unknown escape \\n"},
        {head + "\"a\"=hex:01,zz\n", "reg.txt:3: bad character 'z'"},
        {head + "\"a\"=hex:01,123\n", "reg.txt:3: bad hex byte \"123\""},
        {head + "\"a\"=hex:01,\\\n  02,,03\n", "reg.txt:4: empty byte"},
        {head + "\"a\"=hex:01,\\\n", "reg.txt:3: hex list continues past the end"},
        {head + "\"a\"=hex:01,02,\n", "reg.txt:3: hex list ends with a comma"},
        {head + "\"a\"=dword:123456789\n", "reg.txt:3: bad dword value"},
        {head + "\"a\"=hex(x):01\n", "reg.txt:3: bad value type"},
        {head + "\"a\"=qword:1\n", "reg.txt:3: bad value data"},
        {head + "\n\ngarbage\n", "reg.txt:5: expected \"name\"=value"},
        {head + "[HKEY_LOCAL_MACHINE\\K\n", "reg.txt:3: key line does not end with ']'"},
        {head + "[HKEY_LOCAL_MACHIN\\K]\n", "reg.txt:3: unknown hive \"HKEY_LOCAL_MACHIN\""},
        {head + "[HKEY_LOCAL_MACHINE\\\\SYSTEM]\n", "reg.txt:3: empty key name"},
        {"REGEDIT4\n\"a\"=\"x\"\n", "reg.txt:2: value line outside a key"},
    };
    for (const Case& c : cases) {
        RegTree tree;
        tree.setString("Before", "v", "kept");
        std::string error;
        EXPECT_FALSE(parseRegedit(c.file, "reg.txt", &tree, &error)) << c.file;
        EXPECT_EQ(error.substr(0, c.prefix.size()), c.prefix) << "for:\n" << c.file << "error: " << error;
        EXPECT_FALSE(tree.hasKey("K")) << "a failed file left part of itself: " << c.file;
        EXPECT_NE(tree.value("Before", "v"), nullptr);
    }
}

std::string utf16le(std::u16string_view text, bool bom) {
    std::string out = bom ? "\xFF\xFE" : "";
    for (char16_t u : text) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

TEST(Regedit, ReadsUtf16LeFilesAsWindowsWritesThem) {
    fakes::TempDir dir;
    ASSERT_FALSE(fs::path(dir.path).empty());
    const fs::path path = fs::path(dir.path) / "devices.reg";
    writeFile(path, utf16le(u"Windows Registry Editor Version 5.00\r\n\r\n"
                            u"[HKEY_LOCAL_MACHINE\\SYSTEM\\T]\r\n"
                            u"\"Name\"=\"\u041a\u043b\u044e\u0447 \U0001F511\"\r\n"
                            u"\"Bin\"=hex:01,\\\r\n  02\r\n",
                            true));
    RegTree tree;
    std::string error;
    ASSERT_TRUE(loadRegeditFile(path.string(), &tree, &error)) << error;
    EXPECT_EQ(text(tree.value("SYSTEM\\T", "Name")),
              std::string("\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87 \xF0\x9F\x94\x91") + '\0');
    ASSERT_NE(tree.value("SYSTEM\\T", "Bin"), nullptr);
    EXPECT_EQ(tree.value("SYSTEM\\T", "Bin")->data, (std::vector<uint8_t>{1, 2}));

    const std::string noBom = utf16le(u"REGEDIT4\r\n", false);
    EXPECT_FALSE(parseRegedit(noBom, "w.reg", &tree, &error));
    EXPECT_EQ(error.rfind("w.reg:1: UTF-16 text without a byte-order mark", 0), 0u) << error;
    const std::string loneSurrogate = utf16le(u"REGEDIT4\r\n[HKLM\\K]\r\n\"a\"=\"\xD800\"\r\n", true);
    EXPECT_FALSE(parseRegedit(loneSurrogate, "w.reg", &tree, &error));
    EXPECT_EQ(error.rfind("w.reg:3: invalid UTF-16", 0), 0u) << error;
}

TEST(Regedit, UnreadableFileSaysWhy) {
    fakes::TempDir dir;
    ASSERT_FALSE(fs::path(dir.path).empty());
    RegTree tree;
    std::string error;
    const std::string missing = (fs::path(dir.path) / "absent.reg").string();
    EXPECT_FALSE(loadRegeditFile(missing, &tree, &error));
    EXPECT_EQ(error, missing + ": cannot read: " + std::generic_category().message(ENOENT));
    EXPECT_FALSE(loadRegeditFile(fs::path(dir.path).string(), &tree, &error));
    EXPECT_EQ(error, fs::path(dir.path).string() + ": cannot read: " + std::generic_category().message(EISDIR));
    EXPECT_FALSE(loadRegeditFile("/dev/null", &tree, &error));
    EXPECT_EQ(error, "/dev/null: cannot read: not a regular file");
}

TEST(Regedit, FifoIsRefusedWithoutWaitingForAWriter) {
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string fifo = dir.path + "/registry.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto load = std::async(std::launch::async, [&] {
        RegTree tree;
        std::string error;
        const bool loaded = loadRegeditFile(fifo, &tree, &error);
        return std::make_pair(loaded, error);
    });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let the blocked open go, so that the test can end.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
        ADD_FAILURE() << "the load waited for a writer";
    }
    const auto [loaded, error] = load.get();
    EXPECT_FALSE(loaded);
    EXPECT_EQ(error, fifo + ": cannot read: not a regular file");
}

// "n"=data and a line end. Appended piece by piece: GCC 12 warns of an
// overlapping copy in "..." + std::to_string(n) at -O3.
std::string valueLine(int n, std::string_view data) {
    std::string line = "\"";
    line += std::to_string(n);
    line += "\"=";
    line += data;
    line += '\n';
    return line;
}

// A registry file is untrusted: what it costs to load must follow its size,
// not the depth of its keys or the number of values in one key.
TEST(Regedit, DeepKeysAndCrowdedKeysLoadInTimeLinearInTheFile) {
    constexpr int kDepth = 60000;  // 120 KB of "\\a"
    constexpr int kValues = 200000;
    std::string file = "REGEDIT4\n[HKLM";
    for (int i = 0; i < kDepth; ++i) file += "\\a";
    file += "]\n\"deep\"=dword:1\n[HKLM\\Crowded]\n";
    for (int i = 0; i < kValues; ++i) file += valueLine(i, "\"x\"");
    for (int i = 0; i < kValues; i += 2) file += valueLine(i, "-");
    file += "\"0\"=\"again\"\n";

    const auto start = std::chrono::steady_clock::now();
    RegTree tree;
    std::string error;
    ASSERT_TRUE(parseRegedit(file, "big.reg", &tree, &error)) << error;
    std::string deep;
    for (int i = 0; i < kDepth; ++i) deep += "A\\";
    EXPECT_EQ(text(tree.value(deep, "DEEP")), std::string("\x01\0\0\0", 4));
    EXPECT_FALSE(tree.hasKey(deep + "a"));

    // Enumeration sees the survivors in the order they were first set, the
    // value set again after its removal last.
    TreeRegistry registry(std::move(tree));
    Handle key = kNullHandle;
    ASSERT_EQ(registry.openKey("Crowded", &key), kErrSuccess);
    uint32_t index = 0;
    bool inOrder = true;
    for (char name[16];; ++index) {
        uint32_t size = sizeof name;
        const uint32_t rc = registry.enumValue(key, index, name, &size);
        if (rc != kErrSuccess) {
            EXPECT_EQ(rc, kErrNoMoreItems);
            break;
        }
        const std::string want = index < kValues / 2 ? std::to_string(2 * index + 1) : "0";
        inOrder = inOrder && std::string(name, size) == want;
    }
    EXPECT_EQ(index, kValues / 2 + 1);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(registry.closeKey(key), kErrSuccess);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 30.0) << "far too slow for " << file.size() << " bytes: a cost grows faster than the file";
}

// Sanitizers reserve terabytes of address space, which no address limit allows.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(Regedit, FileTooLargeForMemoryIsAnErrorNamingIt) {
    if (kSanitized) GTEST_SKIP() << "needs an address-space limit, which sanitizers do not allow";
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    std::string file = "REGEDIT4\n[HKLM\\K]\n";
    for (int n = 0; file.size() < (std::size_t{24} << 20); ++n) file += valueLine(n, "\"\"");
    const std::string path = dir.write("huge.reg", file);
    file = std::string();

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Room for the file's bytes, not for the tree they describe.
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{64} << 20);
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

// ---- sysfs view ----

// A fake sysfs with the layout the kernel gives USB serial adapters.
class FakeSysfs {
public:
    explicit FakeSysfs(const fs::path& root) : root_(root) {}

    fs::path driverDir() const { return root_ / "bus/usb-serial/drivers/ftdi_sio"; }

    void device(const std::string& name, const std::string& vid, const std::string& pid, const char* serial) {
        const fs::path dir = root_ / "devices/pci0000:00/usb1" / name;
        writeFile(dir / "idVendor", vid + "\n");
        writeFile(dir / "idProduct", pid + "\n");
        if (serial != nullptr) writeFile(dir / "serial", std::string(serial) + "\n");
    }

    void tty(const std::string& deviceName, int interfaceNumber, const std::string& tty) {
        const std::string ifName = deviceName + ":1." + std::to_string(interfaceNumber);
        const fs::path ifDir = root_ / "devices/pci0000:00/usb1" / deviceName / ifName;
        // Not "0" + std::to_string(...): GCC 12 warns of an overlapping copy there at -O3.
        char number[8];
        std::snprintf(number, sizeof number, "%02d\n", interfaceNumber);
        writeFile(ifDir / "bInterfaceNumber", number);
        fs::create_directories(ifDir / tty);
        fs::create_directories(driverDir());
        fs::create_directory_symlink(
            fs::path("../../../../devices/pci0000:00/usb1") / deviceName / ifName / tty, driverDir() / tty);
    }

private:
    fs::path root_;
};

TEST(SysfsView, ListsFtdiTtysAsTheWindowsDriverNamesThem) {
    fakes::TempDir dir;
    ASSERT_FALSE(fs::path(dir.path).empty());
    FakeSysfs sysfs(fs::path(dir.path));
    sysfs.device("1-1", "0403", "6001", "AB12CD34E");
    sysfs.tty("1-1", 0, "ttyUSB10");
    sysfs.device("1-2", "0403", "601c", "FT2X");
    sysfs.tty("1-2", 0, "ttyUSB2");
    sysfs.tty("1-2", 1, "ttyUSB3");
    sysfs.device("1-3", "0403", "6001", nullptr);
    sysfs.tty("1-3", 0, "ttyUSB0");
    writeFile(sysfs.driverDir() / "uevent", "DRIVER=ftdi_sio\n");

    TreeRegistry reg;
    buildSysfsView(fs::path(dir.path).string(), "/dev", true, &reg.tree());
    const RegTree& tree = reg.tree();

    EXPECT_TRUE(tree.hasKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K"));
    ASSERT_NE(tree.value(kEnum, "Count"), nullptr);
    EXPECT_EQ(tree.value(kEnum, "Count")->type, kRegDword);
    EXPECT_EQ(tree.value(kEnum, "Count")->data, (std::vector<uint8_t>{3, 0, 0, 0}));

    const std::string expected[][2] = {
        {"FTDIBUS\\VID_0403+PID_601C+FT2XA\\0000", "COM3"},
        {"FTDIBUS\\VID_0403+PID_601C+FT2XB\\0000", "COM4"},
        {"FTDIBUS\\VID_0403+PID_6001+AB12CD34EA\\0000", "COM11"},
    };
    for (int i = 0; i < 3; ++i) {
        const RegValue* entry = tree.value(kEnum, std::to_string(i));
        ASSERT_NE(entry, nullptr) << i;
        EXPECT_EQ(entry->type, kRegSz);
        EXPECT_EQ(text(entry), expected[i][0] + '\0');
        const std::string params = "SYSTEM\\CurrentControlSet\\Enum\\" + expected[i][0] + "\\Device Parameters";
        EXPECT_EQ(text(tree.value(params, "PortName")), expected[i][1] + '\0');
    }
    EXPECT_EQ(tree.value(kEnum, "3"), nullptr);

    std::string node;
    ASSERT_TRUE(resolveComName(reg.tree(), "com11", &node));
    EXPECT_EQ(node, "/dev/ttyUSB10");
    ASSERT_TRUE(resolveComName(reg.tree(), "COM3", &node));
    EXPECT_EQ(node, "/dev/ttyUSB2");
    EXPECT_FALSE(resolveComName(reg.tree(), "COM1", &node)) << "the tty without a serial number is left out";
}

TEST(SysfsView, DriverIsThereWhenTheKernelCanLoadIt) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // below the root; "" content: a folder
        bool present;
    };
    const Case cases[] = {
        {"nothing", {{"sys/bus/usb-serial/drivers/pl2303", ""}}, false},
        {"serving ports", {{"sys/bus/usb-serial/drivers/ftdi_sio", ""}}, true},
        {"loaded", {{"sys/module/ftdi_sio", ""}}, true},
        {"built in", {{"modules/modules.builtin", "kernel/drivers/usb/serial/usbserial.ko\nkernel/drivers/usb/serial/ftdi_sio.ko\n"}}, true},
        {"a module", {{"modules/modules.dep", "kernel/drivers/usb/serial/ftdi_sio.ko.xz: kernel/drivers/usb/serial/usbserial.ko.xz\n"}}, true},
        {"only named as a dependency", {{"modules/modules.dep", "kernel/x/other.ko: kernel/x/ftdi_sio.ko\n"}}, false},
        {"a longer name", {{"modules/modules.dep", "kernel/x/ftdi_sio_extra.ko:\n"}, {"modules/modules.builtin", "kernel/x/xftdi_sio.ko\n"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakes::TempDir dir;
        ASSERT_FALSE(dir.path.empty());
        for (const auto& [name, content] : c.files) {
            if (content.empty()) {
                fs::create_directories(fs::path(dir.path) / name);
            } else {
                dir.write(name, content);
            }
        }
        auto registry = PosixRegistry::fromSysfs(dir.path + "/sys", "/dev", dir.path + "/modules");
        Handle key = kNullHandle;
        EXPECT_EQ(registry->openKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K", &key) == kErrSuccess, c.present);
        if (key != kNullHandle) registry->closeKey(key);
        const RegValue* count = registry->tree().value(kEnum, "Count");
        if (c.present) {
            ASSERT_NE(count, nullptr) << "Count says how many ports the driver serves, none here";
            EXPECT_EQ(count->data, (std::vector<uint8_t>{0, 0, 0, 0}));
        } else {
            EXPECT_EQ(count, nullptr);
        }
        EXPECT_TRUE(registry->loadError().empty());
    }
}

// The count of Enum and the entry "0" as the registry shows them now.
std::pair<uint32_t, std::string> firstEntry(Registry& registry) {
    Handle key = kNullHandle;
    if (registry.openKey(kEnum, &key) != kErrSuccess) return {0, "<no Enum>"};
    uint8_t count[4] = {};
    uint32_t size = sizeof count;
    char entry[64] = {};
    uint32_t entrySize = sizeof entry - 1;
    registry.queryValue(key, "Count", count, &size);
    if (registry.queryValue(key, "0", reinterpret_cast<uint8_t*>(entry), &entrySize) != kErrSuccess) entry[0] = '\0';
    registry.closeKey(key);
    return {count[0], entry};
}

TEST(SysfsView, PortsPluggedInMovedAndGoneAreSeenAtOnce) {
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    FakeSysfs sysfs(fs::path(dir.path));
    fs::create_directories(sysfs.driverDir());
    auto registry = PosixRegistry::fromSysfs(dir.path, "/dev", dir.path + "/modules");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(0u, std::string()));

    sysfs.device("1-1", "0403", "6001", "LATE01");
    sysfs.tty("1-1", 0, "ttyUSB0");
    const std::string instance = "FTDIBUS\\VID_0403+PID_6001+LATE01A\\0000";
    EXPECT_EQ(firstEntry(*registry), std::make_pair(1u, instance));
    std::string node;
    ASSERT_TRUE(registry->resolveComName("COM1", &node));
    EXPECT_EQ(node, "/dev/ttyUSB0");

    // Unplugged, and plugged in again as another tty: the old name leads nowhere.
    fs::remove(sysfs.driverDir() / "ttyUSB0");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(0u, std::string()));
    sysfs.tty("1-1", 0, "ttyUSB4");
    EXPECT_EQ(firstEntry(*registry), std::make_pair(1u, instance));
    EXPECT_FALSE(registry->resolveComName("COM1", &node));
    ASSERT_TRUE(registry->resolveComName("COM5", &node));
    EXPECT_EQ(node, "/dev/ttyUSB4");
    EXPECT_EQ(text(registry->tree().value("SYSTEM\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters",
                                          "PortName")),
              std::string("COM5") + '\0');
}

// ---- PosixRegistry ----

TEST(PosixRegistry, FileIsReadAgainWhenItChanges) {
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    auto regedit = [](const std::string& id) {
        return "REGEDIT4\n[HKLM\\" + std::string(kEnum) + "]\n\"Count\"=dword:1\n\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+" +
               id + "\\\\0000\"\n";
    };
    const std::string path = dir.write("live.reg", regedit("FIRST"));
    auto registry = PosixRegistry::fromFile(path);
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+FIRST\\0000");
    Handle before = kNullHandle;
    ASSERT_EQ(registry->openKey(kEnum, &before), kErrSuccess);

    // Replaced as tuvak-sim does it, by a rename.
    const std::string next = dir.write("next.reg", regedit("SECOND"));
    fs::rename(next, path);
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+SECOND\\0000");
    // A key opened before the change reads what was there when it was opened.
    char entry[64] = {};
    uint32_t size = sizeof entry - 1;
    ASSERT_EQ(registry->queryValue(before, "0", reinterpret_cast<uint8_t*>(entry), &size), kErrSuccess);
    EXPECT_STREQ(entry, "FTDIBUS\\VID_0403+PID_6001+FIRST\\0000");
    registry->closeKey(before);

    // Rewritten in place, then broken, then mended.
    dir.write("live.reg", regedit("THIRD-LONGER"));
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+THIRD-LONGER\\0000");
    dir.write("live.reg", "not a registry\n");
    EXPECT_EQ(registry->loadError().rfind(path + ":1: expected", 0), 0u) << registry->loadError();
    EXPECT_EQ(firstEntry(*registry).second, "<no Enum>");
    dir.write("live.reg", regedit("FOURTH"));
    EXPECT_EQ(registry->loadError(), "");
    EXPECT_EQ(firstEntry(*registry).second, "FTDIBUS\\VID_0403+PID_6001+FOURTH\\0000");
    EXPECT_EQ(registry->openKeyCount(), 0);
}

// The operator is asked to attach the device, does, and answers retry.
TEST(PosixRegistry, DeviceAttachedWhileTheOperatorIsAskedIsFound) {
    fakes::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string head = "REGEDIT4\n[HKLM\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\n";
    const std::string path = dir.write("devices.reg", head + "\"Count\"=dword:0\n");
    auto registry = PosixRegistry::fromFile(path);
    sim::InProcessPorts serial;
    sim::TuvakDevice device;
    serial.attach("\\\\.\\COM3", &device);
    fakes::FakeClock clock;
    fakes::TestFramework framework({.registry = registry.get(), .serial = &serial, .clock = &clock});

    struct Operator {
        TempDir* dir;
        std::string text;
        std::vector<int32_t> codes;
        static int32_t interact(void* self, const char*, const char*, int32_t, int32_t code) {
            auto* op = static_cast<Operator*>(self);
            op->codes.push_back(code);
            if (code == HWDS_PROMPT_END) return 0;
            if (op->codes.size() > 1) return HWDS_ANSWER_CANCEL;  // asked again: it was not found
            op->dir->write("devices.reg", op->text);
            return HWDS_ANSWER_RETRY;
        }
    } op{&dir,
         head + "\"Count\"=dword:1\n\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+LATE\\\\0000\"\n"
                "[HKLM\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS\\VID_0403+PID_6001+LATE\\0000\\Device Parameters]\n"
                "\"PortName\"=\"COM3\"\n",
         {}};
    HWDSInteraction record{nullptr, &Operator::interact, nullptr, &op};
    HwDataSource* source = nullptr;
    ASSERT_EQ(hwdsOpen(&source, "TUVAK", "LATE"), CE_OK);
    const uint8_t value = 0x5A;
    EXPECT_EQ(hwdsWrite(source, &record, &value, 1, 7), CE_OK);
    EXPECT_EQ(op.codes, (std::vector<int32_t>{HWDS_PROMPT_NOT_PRESENT, HWDS_PROMPT_END}));
    EXPECT_EQ(device.memory()[7], 0x5A);
}

TEST(PosixRegistry, FileFromEnvironmentAndItsErrors) {
    fakes::TempDir dir;
    ASSERT_FALSE(fs::path(dir.path).empty());
    const fs::path good = fs::path(dir.path) / "good.reg";
    writeFile(good, "\xEF\xBB\xBFREGEDIT4\n[HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n\"/dev/pts/7\"=\"COM5\"\n");
    const fs::path bad = fs::path(dir.path) / "bad.reg";
    writeFile(bad, "REGEDIT4\n[HKLM\\SYSTEM\\Good]\n\"a\"=\"1\"\n\"b\"=hex:1g\n");

    const char* saved = std::getenv("HWDS_REGISTRY");
    const std::string savedValue = saved != nullptr ? saved : "";

    setenv("HWDS_REGISTRY", good.c_str(), 1);
    auto registry = PosixRegistry::fromEnvironment();
    EXPECT_EQ(registry->loadError(), "");
    std::string node;
    EXPECT_TRUE(registry->resolveComName("COM5", &node));
    EXPECT_EQ(node, "/dev/pts/7");

    setenv("HWDS_REGISTRY", bad.c_str(), 1);
    registry = PosixRegistry::fromEnvironment();
    EXPECT_EQ(registry->loadError(), bad.string() + ":4: bad character 'g' in hex list");
    Handle key = kNullHandle;
    EXPECT_EQ(registry->openKey("SYSTEM\\Good", &key), kErrFileNotFound) << "a failed file gives an empty registry";

    if (saved != nullptr) {
        setenv("HWDS_REGISTRY", savedValue.c_str(), 1);
    } else {
        unsetenv("HWDS_REGISTRY");
    }
}

}  // namespace
}  // namespace platform
