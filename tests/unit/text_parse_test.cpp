// The number and registry-text helpers that the regedit reader, the sysfs
// view, the adapter walk and the front ends share.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ascii.h"
#include "platform/text.h"

namespace platform {
namespace {

using namespace std::string_literals;

TEST(TextParse, HexTakesOneToTheLimitOfDigitsAndNothingElse) {
    const struct {
        const char* text;
        std::size_t maxDigits;
        bool ok;
        uint32_t value;
    } cases[] = {
        {.text = "0", .maxDigits = 1, .ok = true, .value = 0},
        {.text = "f", .maxDigits = 1, .ok = true, .value = 15},
        {.text = "Ab", .maxDigits = 2, .ok = true, .value = 0xAB},
        {.text = "abc", .maxDigits = 2, .ok = false, .value = 0},
        {.text = "0403", .maxDigits = 4, .ok = true, .value = 0x403},
        {.text = "00403", .maxDigits = 4, .ok = false, .value = 0},
        {.text = "FFFFFFFF", .maxDigits = 8, .ok = true, .value = 0xFFFFFFFF},
        {.text = "100000000", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "12345678", .maxDigits = 9, .ok = false, .value = 0},
        {.text = "", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "0x1", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "-1", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "1 ", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "g", .maxDigits = 8, .ok = false, .value = 0},
        {.text = "1G", .maxDigits = 8, .ok = false, .value = 0},
    };
    for (const auto& c : cases) {
        uint32_t value = 42;
        EXPECT_EQ(parseHex(c.text, c.maxDigits, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 42u) << c.text;
    }
}

TEST(TextParse, DecimalTakesOneToTheLimitOfDigitsCanonicalWithoutLeadingZeros) {
    const struct {
        const char* text;
        std::size_t maxDigits;
        bool ok;
        bool canonical;
        uint64_t value;
    } cases[] = {
        {.text = "0", .maxDigits = 1, .ok = true, .canonical = true, .value = 0},
        {.text = "9", .maxDigits = 1, .ok = true, .canonical = true, .value = 9},
        {.text = "10", .maxDigits = 1, .ok = false, .canonical = false, .value = 0},
        {.text = "07", .maxDigits = 6, .ok = true, .canonical = false, .value = 7},
        {.text = "00", .maxDigits = 6, .ok = true, .canonical = false, .value = 0},
        {.text = "999999", .maxDigits = 6, .ok = true, .canonical = true, .value = 999999},
        {.text = "1000000", .maxDigits = 6, .ok = false, .canonical = false, .value = 0},
        {.text = "4294967295", .maxDigits = 10, .ok = true, .canonical = true, .value = 4294967295u},
        {.text = "9999999999", .maxDigits = 10, .ok = true, .canonical = true, .value = 9999999999u},
        {.text = "9999999999999999999", .maxDigits = 19, .ok = true, .canonical = true, .value = 9999999999999999999u},
        {.text = "1", .maxDigits = 20, .ok = false, .canonical = false, .value = 0},
        {.text = "", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = "+1", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = "-1", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = " 1", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = "1a", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = "0x1", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = "/", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
        {.text = ":", .maxDigits = 10, .ok = false, .canonical = false, .value = 0},
    };
    for (const auto& c : cases) {
        uint64_t value = 42;
        EXPECT_EQ(parseDecimal(c.text, c.maxDigits, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 42u) << c.text;
        uint64_t canonical = 42;
        EXPECT_EQ(parseCanonicalDecimal(c.text, c.maxDigits, &canonical), c.canonical) << c.text;
        EXPECT_EQ(canonical, c.canonical ? c.value : 42u) << c.text;
    }
}

TEST(TextParse, Le32PutsTheLowByteFirst) {
    const struct {
        uint32_t value;
        std::array<uint8_t, 4> bytes;
    } cases[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},
        {0x12345678, {0x78, 0x56, 0x34, 0x12}},
        {0x80000001, {0x01, 0x00, 0x00, 0x80}},
        {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(le32Bytes(c.value), c.bytes) << c.value;
        EXPECT_EQ(le32From(c.bytes.data()), c.value) << c.value;
    }
}

TEST(TextParse, RegistryTextEndsAtTheFirstZeroOrWithTheData) {
    const struct {
        std::string data;
        std::string text;
    } cases[] = {
        {"COM5\0"s, "COM5"}, {"COM5"s, "COM5"}, {"CO\0M5\0"s, "CO"}, {"\0COM5"s, ""}, {""s, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(registryText(c.data.data(), c.data.size()), c.text) << c.data;
    EXPECT_EQ(registryText(nullptr, 0), "");
    // Only the bytes given count, whatever follows them.
    EXPECT_EQ(registryText("COM57", 4), "COM5");
}

TEST(TextParse, AsciiCaseLeavesEveryOtherByteAlone) {
    const struct {
        char c;
        char lower;
        char upper;
    } cases[] = {
        {'A', 'a', 'A'}, {'Z', 'z', 'Z'}, {'a', 'a', 'A'}, {'z', 'z', 'Z'},          {'@', '@', '@'},
        {'[', '[', '['}, {'`', '`', '`'}, {'{', '{', '{'}, {'\xC0', '\xC0', '\xC0'},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(asciiLower(c.c), c.lower) << c.c;
        EXPECT_EQ(asciiUpper(c.c), c.upper) << c.c;
    }
    EXPECT_TRUE(asciiIEquals("FTSER2K", "ftser2k"));
    EXPECT_FALSE(asciiIEquals("COM1", "COM12"));
    EXPECT_FALSE(asciiIEquals("COM12", "COM1"));
    EXPECT_FALSE(asciiIEquals("COM1", "COM2"));
}

}  // namespace
}  // namespace platform
