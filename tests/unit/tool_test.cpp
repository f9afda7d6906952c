// voriridod's command line, driver check, listing and error report, run
// in-process against a recording console and an in-memory registry.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "hwds/hwds.h"
#include "tests/fakes/ftdi_registry.h"
#include "tests/fakes/tool_support.h"
#include "tool/voriridod.h"

namespace {

using namespace tooltest;

class ToolTest : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(registry.openKeyCount(), 0) << "a registry key left open"; }
    void expectOnly(const std::string& out, const std::string& err) {
        EXPECT_EQ(console.out(), out);
        EXPECT_EQ(console.err(), err);
    }

    FakeConsole console;
    CountingRegistry registry;
    platform::ScopedServices services{platform::Services{.registry = &registry, .console = &console}};
};

TEST_F(ToolTest, ArgumentsListRefuseOrShowTheBannerAndAnUnreadableRegistryIsNoMissingDriver) {
    fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("AB12CD34E"), "COM3"}});
    const std::string listed = std::string(kListOne) + "AB12CD34E\n";
    const std::string bad = "drivers.reg:3: expected a key line";
    struct Case {
        const char* arg;
        std::string failure;  // of the registry
        int status;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {.arg = "/L", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "/l", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "-L", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "-list", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "/Lanything", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "-LISTING-OF-ALL", .failure = "", .status = 0, .out = listed, .err = ""},
        {.arg = "/?-and-then-some", .failure = "", .status = 0, .out = kBanner, .err = ""},
        // An identifier longer than nine characters, or none, is refused.
        {.arg = "AB12CD34EF", .failure = "", .status = 1, .out = kBanner, .err = ""},
        {.arg = "ab12cd34e77", .failure = "", .status = 1, .out = kBanner, .err = ""},
        {.arg = "", .failure = "", .status = 1, .out = kBanner, .err = ""},
        {.arg = "/L", .failure = bad, .status = 1, .out = "", .err = bad + "\n"},
        {.arg = "AB12CD34E", .failure = bad, .status = 1, .out = "", .err = bad + "\n"},
        {.arg = "/?", .failure = bad, .status = 0, .out = kBanner, .err = ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.arg) + " " + c.failure);
        console.writes.clear();
        registry.opens = 0;
        registry.failure = c.failure;
        EXPECT_EQ(runTool({c.arg}), c.status);
        expectOnly(c.out, c.err);
        if (c.out == kBanner || !c.failure.empty()) {
            EXPECT_EQ(registry.opens, 0) << "the registry was read";
        }
    }
}

TEST_F(ToolTest, ListingSkipsEntriesItCannotParse) {
    auto bytes = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    const std::string prefix = "FTDIBUS\\VID_0403+PID_6001+";
    // 512 bytes, no zero and no backslash after the identifier's start.
    const std::string unterminated = "xx1+" + std::string(508, 'A');
    // The whole 512-byte buffer, no zero anywhere.
    std::string fullBuffer = std::string(500, 'x') + "1+ID512\\";
    fullBuffer.resize(512, 'z');

    // A string gets its terminating zero.
    struct Entry {
        bool binary;
        std::string data;
    };
    const std::vector<Entry> entries = {
        {false, fakes::instancePath("AB12CD34E")},
        {false, "NO\\ONE\\HERE"},                   // no '1'
        {false, prefix + "NOBACKSLASH"},            // no end
        {false, prefix + "\\0000"},                 // empty
        {false, prefix + "ABCDEFGHIJKLMNO\\0000"},  // 15
        {false, prefix + "ABCDEFGHIJKLMN\\0000"},   // 14
        {true, prefix + "RAW1\\0000"},              // no zero
        {true, prefix + "CUT" + '\0' + "\\0000"},   // zero first
        {true, "XX1"},                              // '1' last
        {true, unterminated},
        {true, fullBuffer},
        {true, prefix + std::string(600, 'L') + "\\0"},  // too long to read
        {false, prefix + "\xC0Z\\0000"},                 // not ASCII
    };
    platform::RegTree& tree = registry.tree();
    tree.addKey(fakes::kDriverKey);
    // One index more than there are entries: that value does not exist.
    tree.setDword(fakes::kEnumKey, "Count", static_cast<uint32_t>(entries.size() + 1));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const uint32_t type = entry.binary ? platform::kRegBinary : platform::kRegSz;
        tree.setValue(fakes::kEnumKey, std::to_string(i), type, bytes(entry.binary ? entry.data : entry.data + '\0'));
    }

    EXPECT_EQ(runTool({"/L"}), 0);
    // Identifier lines are written as read, never converted.
    expectOnly(std::string(kListMany) + "AB12CD34E\nABCDEFGHIJKLMN\nRAW1\nID512\n\xC0Z\n", "");
}

TEST_F(ToolTest, CountWalksOnlyTheEntriesTheKeyHolds) {
    // Name N holds the path of IDN.
    struct Case {
        uint32_t count;
        std::vector<std::string> names;
        std::string listed;
    };
    const Case cases[] = {
        {0x7FFFFFFFu, {"0", "1"}, std::string(kListMany) + "ID0\nID1\n"},
        {0x7FFFFFFFu, {"1999999999", "7"}, std::string(kListMany) + "ID7\nID1999999999\n"},
        // Only names the walk would format with "%d", and only below the count.
        {3, {"2", "07", "3", "5", "+1", "0"}, std::string(kListMany) + "ID0\nID2\n"},
        {1, {"0"}, std::string(kListOne) + "ID0\n"},
        // A negative count is no device, however many entries there are.
        {0xFFFFFFFFu, {"0", "1"}, kListNone},
        {0x80000000u, {"0"}, kListNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        platform::RegTree& tree = registry.tree();
        tree.removeKey("");
        tree.addKey(fakes::kDriverKey);
        tree.setDword(fakes::kEnumKey, "Count", c.count);
        for (const std::string& name : c.names) tree.setString(fakes::kEnumKey, name, fakes::instancePath("ID" + name));
        console.writes.clear();
        registry.queries = 0;
        EXPECT_EQ(runTool({"/L"}), 0);
        expectOnly(c.listed, "");
        EXPECT_LE(registry.queries, 1 + static_cast<long long>(c.names.size()));
    }
}

TEST_F(ToolTest, EachResultCodeHasItsMessage) {
    const std::string internal = "\nВнутренняя ошибка программы: ";
    const std::pair<CeResult, std::string> table[] = {
        {CE_CANCELED, kNotConnected},
        {CE_HW_FAIL_LOCK, kLockFailed},
        {CE_HW_FAIL, kFaulty},
        {CE_HW_WRITE_FAILED, kWriteError},
        {CE_HW_ACCESS_DENIED, kNoAccess},
        {CE_CODE_CORRUPTED, internal + "CE_CODE_CORRUPTED\n"},
        {CE_TIMEOUT, internal + "CE_TIMEOUT\n"},
        {CE_HW_OP_NOT_SUPPORTED, internal + "CE_HW_OP_NOT_SUPPORTED\n"},
        {CE_HW_NEED_INTERACTION, internal + "CE_HW_NEED_INTERACTION\n"},
        {CE_OK, internal + "CE_OK\n"},
        {CE_MAC_BAD, internal + "CE_MAC_BAD\n"},
        {42, internal + "42\n"},
        {29, internal + "29\n"},
        {-1, internal + "-1\n"},
        {INT32_MIN, internal + "-2147483648\n"},
    };
    for (const auto& [code, message] : table) {
        SCOPED_TRACE(code);
        console.writes.clear();
        voriridod::reportError(code);
        expectOnly("", message);
    }
}

}  // namespace
