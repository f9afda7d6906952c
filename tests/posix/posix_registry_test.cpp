// The POSIX registry views: COM names, the regedit reader and the sysfs view.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
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
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

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
        "\"Bin\"=hex:de,ad,00\r\n"
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
        writeFile(ifDir / "bInterfaceNumber", "0" + std::to_string(interfaceNumber) + "\n");
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
    buildSysfsView(fs::path(dir.path).string(), "/dev", &reg.tree());
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

TEST(SysfsView, NoDriverNoKeys) {
    fakes::TempDir dir;
    ASSERT_FALSE(fs::path(dir.path).empty());
    fs::create_directories(fs::path(dir.path) / "bus/usb-serial/drivers/pl2303");

    auto registry = PosixRegistry::fromSysfs(fs::path(dir.path).string(), "/dev");
    Handle key = kNullHandle;
    EXPECT_EQ(registry->openKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K", &key), kErrFileNotFound);
    EXPECT_EQ(registry->openKeyCount(), 0);
    EXPECT_TRUE(registry->loadError().empty());

    // The driver without adapters: the keys exist and Count says none.
    fs::create_directories(fs::path(dir.path) / "bus/usb-serial/drivers/ftdi_sio");
    registry = PosixRegistry::fromSysfs(fs::path(dir.path).string(), "/dev");
    ASSERT_NE(registry->tree().value(kEnum, "Count"), nullptr);
    EXPECT_EQ(registry->tree().value(kEnum, "Count")->data, (std::vector<uint8_t>{0, 0, 0, 0}));
}

// ---- PosixRegistry ----

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
