// The in-memory registry and the regedit text format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/regedit.h"
#include "platform/regtree.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr const char* kEnum = "SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum";

const RegValue* valueAt(const RegTree& tree, std::string_view key, std::string_view name) {
    const RegKey* found = tree.findKey(key);
    return found == nullptr ? nullptr : found->value(name);
}
std::string text(const RegValue* v) { return v == nullptr ? "<missing>" : std::string(v->data.begin(), v->data.end()); }
// UTF-16LE of ASCII text, without a byte-order mark.
std::string utf16le(std::string_view ascii) {
    std::string out;
    for (char c : ascii) out += {c, '\0'};
    return out;
}

// The names that enumeration through the registry interface gives, in order.
std::vector<std::string> enumerated(TreeRegistry& registry, const char* path) {
    KeyHandle key = kNoKey;
    if (registry.openKey(path, &key) != kErrSuccess) return {"<no key>"};
    std::vector<std::string> names;
    char name[32];
    for (uint32_t size = sizeof name; registry.enumValue(key, uint32_t(names.size()), name, &size) == kErrSuccess;
         size = sizeof name)
        names.emplace_back(name, size);
    registry.closeKey(key);
    return names;
}

TEST(TreeRegistry, QueryValueBehavesAsRegQueryValueEx) {
    TreeRegistry reg;
    reg.tree().setString("Dev\\Device Parameters", "PortName", "COM123");
    reg.tree().setValue("Dev\\Device Parameters", "Raw", kRegBinary, {1, 2, 3});
    KeyHandle key = kNoKey, parent = kNoKey, missing = platform::makeHandle<KeyHandle>(123);
    ASSERT_EQ(reg.openKey("dev\\DEVICE parameters", &key), kErrSuccess);
    ASSERT_NE(key, kNoKey);
    // `buffer` is what it holds afterwards, filled with 'x' before; capacity 0: no buffer, the size only.
    struct Case {
        const char* name;
        uint32_t capacity, rc, size;
        std::string buffer;
    };
    const Case cases[] = {
        {"portname", 0, kErrSuccess, 7, ""},
        {"PortName", 6, kErrMoreData, 7, "xxxxxx"},
        {"PortName", 7, kErrSuccess, 7, std::string("COM123\0", 7)},
        {"Raw", 4, kErrSuccess, 3, "\1\2\3x"},  // no terminator appended
        {"Absent", 4, kErrFileNotFound, 4, "xxxx"},
    };
    for (const Case& c : cases) {
        std::string buffer(c.capacity, 'x');
        uint32_t size = c.capacity;
        EXPECT_EQ(reg.queryValue(key, c.name, c.capacity ? reinterpret_cast<uint8_t*>(buffer.data()) : nullptr, &size),
                  c.rc)
            << c.name;
        EXPECT_EQ(size, c.size) << c.name;
        EXPECT_EQ(buffer, c.buffer) << c.name;
    }
    uint8_t byte = 0;
    uint32_t size = 1;
    EXPECT_EQ(reg.queryValue(key, "PortName", &byte, nullptr), kErrInvalidParameter);
    EXPECT_EQ(reg.queryValue(kNoKey, "PortName", &byte, &size), kErrInvalidHandle);
    ASSERT_EQ(reg.openKey("DEV", &parent), kErrSuccess) << "parents of a key exist";
    EXPECT_EQ(reg.openKey("De", &missing), kErrFileNotFound);
    EXPECT_EQ(reg.openKeyCount(), 2);
    EXPECT_EQ(std::pair(reg.closeKey(key), reg.closeKey(parent)), std::pair(kErrSuccess, kErrSuccess));
    EXPECT_EQ(reg.closeKey(kNoKey), kErrInvalidHandle);
    EXPECT_EQ(reg.openKeyCount(), 0);
}

TEST(TreeRegistry, RemovalIsRealAndEnumerationKeepsFirstSetOrder) {
    TreeRegistry reg;
    RegTree& tree = reg.tree();
    tree.setString("K\\Sub", "old", "1");
    tree.removeKey("k");
    tree.addKey("K");
    EXPECT_EQ(tree.findKey("K\\Sub"), nullptr) << "a key added again has none of the old subkeys";
    for (const char* name : {"a", "b", "c"}) tree.setDword("K", name, 1);
    tree.removeValue("K", "A");
    tree.setDword("K", "a", 2);
    tree.setDword("K", "B", 3);  // in place
    EXPECT_EQ(enumerated(reg, "K"), (std::vector<std::string>{"b", "c", "a"}));
    EXPECT_EQ(valueAt(tree, "K", "b")->data, (Bytes{3, 0, 0, 0}));
    // Enumeration from a lower index again starts over.
    KeyHandle key = kNoKey;
    ASSERT_EQ(reg.openKey("K", &key), kErrSuccess);
    char name[8];
    for (uint32_t index : {2u, 0u, 1u, 3u}) {
        uint32_t size = sizeof name;
        EXPECT_EQ(reg.enumValue(key, index, name, &size), index == 3 ? kErrNoMoreItems : kErrSuccess) << index;
        if (index == 0) {
            EXPECT_STREQ(name, "b");
        }
    }
    uint32_t small = 1;
    EXPECT_EQ(reg.enumValue(key, 0, name, &small), kErrMoreData);
    reg.closeKey(key);
    tree.removeKey("");
    EXPECT_EQ(tree.findKey("K"), nullptr);
}

TEST(RegTree, RefusesWhatWindowsRefuses) {
    std::string deep = "A";
    for (int i = 1; i < 512; ++i) deep += "\\k";
    const std::string name255(255, 'n');
    struct Case {
        std::string key, value;
        bool ok;
    };
    const Case cases[] = {
        {deep, "v", true},
        {deep + "\\k", "v", false},
        {"A\\" + name255, "v", true},
        {"A\\" + name255 + "n", "v", false},
        // One UTF-16 unit, then two.
        {"A\\" + name255.substr(1) + "\xD0\x96", "v", true},
        {"A\\" + name255.substr(1) + "\xF0\x9F\x94\x91", "v", false},
        {"A", std::string(16383, 'v'), true},
        {"A", std::string(16384, 'v'), false},
    };
    for (const Case& c : cases) {
        RegTree tree;
        EXPECT_EQ(tree.setDword(c.key, c.value, 1), c.ok) << c.key.size() << " " << c.value.size();
        EXPECT_EQ(tree.findKey(c.key) != nullptr, c.ok);
        EXPECT_EQ(tree.findKey("A") != nullptr, c.ok) << "a refused path adds no parents";
    }
}

TEST(Regedit, ParsesEveryDataFormInEveryEncoding) {
    const std::string file =
        "Windows Registry Editor Version 5.00\r\n\r\n; the adapter\r\n"
        "[-HKEY_LOCAL_MACHINE\\Gone]\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum]\r\n"
        "\"Count\"=dword:0000010a\r\n"
        "\"0\"=\"FTDIBUS\\\\VID_0403+PID_6001+AB12CD34EA\\\\0000\"\r\n"
        "@=\"say \\\"hi\\\"\"\r\n"
        "\"Old\"=-\r\n"
        "[HKEY_CURRENT_USER\\Software\\X]\r\n"
        "\"skipped\"=hex:01,\\\r\n  02\r\n"
        "[hklm\\Other]\r\n"
        "\"Bin\"=hex:\\\r\n  de,ad,00\r\n"  // all its bytes on the next line, as after a long name
        "\"Multi\"=hex(7):41,00,42,00,\\\r\n    00,00\r\n"
        "\"Empty\"=hex:\r\n";
    struct Case {
        const char *key, *name;
        uint32_t type;
        Bytes data;
    };
    const Case expected[] = {
        {kEnum, "Count", kRegDword, {0x0a, 0x01, 0, 0}},
        {kEnum, "", kRegSz, {'s', 'a', 'y', ' ', '"', 'h', 'i', '"', 0}},
        {"OTHER", "bin", kRegBinary, {0xde, 0xad, 0x00}},
        {"Other", "Multi", kRegMultiSz, {0x41, 0, 0x42, 0, 0, 0}},
        {"Other", "Empty", kRegBinary, {}},
    };
    std::string error;
    for (const std::string& bytes : {file, "\xEF\xBB\xBF" + file, "\xFF\xFE" + utf16le(file)}) {
        RegTree tree;
        tree.setString("Gone\\Sub", "c", "3");
        tree.setString(kEnum, "Old", "1");
        ASSERT_TRUE(parseRegedit(bytes, "reg.txt", &tree, &error)) << error;
        EXPECT_TRUE(error.empty());
        for (const Case& e : expected) {
            const RegValue* value = valueAt(tree, e.key, e.name);
            ASSERT_NE(value, nullptr) << e.name;
            EXPECT_EQ(value->type, e.type) << e.name;
            EXPECT_EQ(value->data, e.data) << e.name;
        }
        EXPECT_EQ(text(valueAt(tree, kEnum, "0")), std::string("FTDIBUS\\VID_0403+PID_6001+AB12CD34EA\\0000") + '\0');
        EXPECT_EQ(tree.findKey("Gone"), nullptr);
        EXPECT_EQ(tree.findKey(kEnum)->values().size(), 3u) << "\"Old\" removed, a skipped hive's values nowhere";
        EXPECT_EQ(tree.findKey("Software\\X"), nullptr);
    }
    // Outside the ASCII range, and past the 16-bit range in a surrogate pair.
    RegTree tree;
    const std::string utf16 =
        "\xFF\xFE" + utf16le("REGEDIT4\n[HKLM\\K]\n\"a\"=\"") + "\x1A\x04\x3D\xD8\x11\xDD" + utf16le("\"\n");
    ASSERT_TRUE(parseRegedit(utf16, "u.reg", &tree, &error)) << error;
    EXPECT_EQ(text(valueAt(tree, "K", "a")), std::string("\xD0\x9A\xF0\x9F\x94\x91") + '\0');
}

TEST(Regedit, ErrorsNameFileAndLineAndChangeNothing) {
    const std::string head = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\K]\n";
    std::string deep = "REGEDIT4\n[HKLM";
    for (int i = 0; i < 60000; ++i) deep += "\\a";
    struct Case {
        std::string file, prefix;
    };  // prefix: "reg.txt:<line>: " and the start of the reason
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
        {head + "\"a\"=hex:01,\n", "reg.txt:3: hex list ends with a comma"},
        {head + "\"a\"=dword:123456789\n", "reg.txt:3: bad dword value"},
        {head + "\"a\"=hex(x):01\n", "reg.txt:3: bad value type"},
        {head + "\"a\"=qword:1\n", "reg.txt:3: bad value data"},
        {head + "\"a\"=\"x\" y\n", "reg.txt:3: unexpected text after the closing quote"},
        {head + "\n\ngarbage\n", "reg.txt:5: expected \"name\"=value"},
        {head + "[HKEY_LOCAL_MACHINE\\K\n", "reg.txt:3: key line does not end with ']'"},
        {head + "[HKEY_LOCAL_MACHIN\\K]\n", "reg.txt:3: unknown hive \"HKEY_LOCAL_MACHIN\""},
        {head + "[HKEY_LOCAL_MACHINE\\\\SYSTEM]\n", "reg.txt:3: empty key name"},
        {"REGEDIT4\n\"a\"=\"x\"\n", "reg.txt:2: value line outside a key"},
        {deep + "]\n", "reg.txt:2: key path deeper than 512 keys"},
        {head + "[-HKLM\\K\\" + std::string(256, 'n') + "]\n", "reg.txt:3: key name longer than 255 characters"},
        {head + "\"" + std::string(16384, 'v') + "\"=-\n", "reg.txt:3: value name longer than 16383 characters"},
        {"\xFE\xFF", "reg.txt:1: UTF-16 big-endian"},
        {std::string("R\0E\0", 4), "reg.txt:1: UTF-16 text without a byte-order mark"},
        {std::string("\xFF\xFER\0\n\0E", 7), "reg.txt:2: UTF-16 text ends in half a character"},
        {std::string("\xFF\xFER\0\n\0\x00\xDC", 8), "reg.txt:2: invalid UTF-16 (unpaired low surrogate)"},
        {std::string("\xFF\xFE\x00\xD8\n\0", 6), "reg.txt:1: invalid UTF-16 (unpaired high surrogate)"},
    };
    for (const Case& c : cases) {
        RegTree tree;
        tree.setString("Before", "v", "kept");
        std::string error;
        EXPECT_FALSE(parseRegedit(c.file, "reg.txt", &tree, &error)) << c.prefix;
        EXPECT_EQ(error.substr(0, c.prefix.size()), c.prefix) << "error: " << error.substr(0, 200);
        EXPECT_EQ(tree.findKey("K"), nullptr) << "a failed file left part of itself: " << c.prefix;
        EXPECT_EQ(text(valueAt(tree, "Before", "v")), std::string("kept\0", 5));
    }
}

// A registry file is untrusted: its load must cost in line with its size, not
// with the values in one key; too slow a load runs into the test's time limit.
TEST(Regedit, CrowdedKeyLoadsInTimeLinearInTheFile) {
    constexpr int kValues = 200000;
    std::string file = "REGEDIT4\n[HKLM\\Crowded]\n";
    // Piece by piece: GCC 12 warns of an overlapping copy in "..." + std::to_string(n) at -O3.
    for (int i = 0; i < kValues * 3 / 2; ++i)
        ((file += '"') += std::to_string(i < kValues ? i : 2 * (i - kValues))) += i < kValues ? "\"=\"x\"\n" : "\"=-\n";
    file += "\"0\"=\"again\"\n";
    RegTree tree;
    std::string error;
    ASSERT_TRUE(parseRegedit(file, "big.reg", &tree, &error)) << error;
    // The survivors in the order first set; the value set again after its removal last.
    TreeRegistry registry(std::move(tree));
    std::vector<std::string> want;
    for (int i = 1; i < kValues; i += 2) want.push_back(std::to_string(i));
    want.push_back("0");
    EXPECT_EQ(enumerated(registry, "Crowded"), want);
}

TEST(RegeditWriter, WritesTheFormatRegeditImports) {
    RegeditWriter file;
    file.key("SYSTEM\\Dev");
    file.string("", "a \"b\" c:\\d");
    file.dword("Count", 0x10a);
    file.hex("Bin", {0xde, 0xad});
    file.hex("Multi", {0x41, 0}, kRegMultiSz);
    file.string("Lines", "a\nb");
    file.removeValue("Old");
    file.removeKey("Gone");
    EXPECT_TRUE(file.ok());
    EXPECT_EQ(file.text(),
              "Windows Registry Editor Version 5.00\n"
              "\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Dev]\n"
              "@=\"a \\\"b\\\" c:\\\\d\"\n"
              "\"Count\"=dword:0000010a\n"
              "\"Bin\"=hex:de,ad\n"
              "\"Multi\"=hex(7):41,00\n"
              "\"Lines\"=hex(1):61,0a,62,00\n"
              "\"Old\"=-\n"
              "\n[-HKEY_LOCAL_MACHINE\\Gone]\n");
    EXPECT_EQ(RegeditWriter(true).text(), "REGEDIT4\n");
    RegeditWriter broken;
    broken.key("A\nB");
    EXPECT_FALSE(broken.ok());
}

TEST(RegeditWriter, WhatItWritesReadsBackTheSame) {
    struct Case {
        std::string name;
        RegValue value;
    };
    const Case values[] = {
        {"", {kRegSz, {0}}},  // the default value, empty
        {"quotes \"and\" \\back\\slashes\\", {kRegSz, {'\\', '"', '\\', '\\', 0}}},
        {"\xD0\x9A\xD0\xBB\xD1\x8E\xD1\x87 \xF0\x9F\x94\x91", {kRegSz, {0xD0, 0x9A, 0}}},
        {"lines and zeros", {kRegSz, {'a', '\r', '\n', 0, 'b', 0}}},
        {"no terminator", {kRegSz, {'a'}}},
        {"dword", {kRegDword, {0x78, 0x56, 0x34, 0x12}}},
        {"short dword", {kRegDword, {1, 2}}},
        {"binary", {kRegBinary, {0, 0xff, 0x80}}},
        {"empty binary", {kRegBinary, {}}},
        {"multi", {kRegMultiSz, {'a', 0, 'b', 0, 0}}},
        {"none", {kRegNone, {7}}},
        {"type 0x1234", {0x1234, {1}}},
    };
    RegeditWriter file;
    file.key("Key With Spaces\\\xD0\x9A");
    for (const Case& v : values) file.value(v.name, v.value);
    ASSERT_TRUE(file.ok());
    RegTree tree;
    std::string error;
    ASSERT_TRUE(parseRegedit(file.text(), "w.reg", &tree, &error)) << error << "\n" << file.text();
    const RegKey* key = tree.findKey("key with spaces\\\xD0\x9A");
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(key->values().size(), std::size(values));
    auto read = key->values().begin();
    for (const Case& v : values) {
        EXPECT_EQ(read->name, v.name);
        EXPECT_EQ(read->value.type, v.value.type) << v.name;
        EXPECT_EQ((read++)->value.data, v.value.data) << v.name;
    }
}

}  // namespace
}  // namespace platform
