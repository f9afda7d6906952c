// The small text helpers that the readers of files and command lines share.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace platform {
namespace {

TEST(Text, ParseNumberTakesTheWholeTextUpToItsLimit) {
    const struct {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"127", 127, true, 127},
        {"0x7F", 127, true, 127},
        {"0X7f", 200, true, 127},
        {"128", 127, false, 0},
        {"0x80", 127, false, 0},
        {"9", 5, false, 0},
        {"0xF", 9, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"", 9, false, 0},
        {"0x", 9, false, 0},
        {"1a", 99, false, 0},
        {"-1", 9, false, 0},
        {" 1", 9, false, 0},
        {"0xg", 99, false, 0},
        {"007", 9, true, 7},
    };
    for (const auto& c : cases) {
        uint64_t value = 42;
        EXPECT_EQ(parseNumber(c.text, c.max, &value), c.ok) << c.text;
        EXPECT_EQ(value, c.ok ? c.value : 42) << c.text;
    }
}

TEST(Text, Utf8AtEachLengthBoundary) {
    std::string out;
    for (uint32_t cp : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) appendUtf8(cp, &out);
    EXPECT_EQ(out, "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
}

TEST(Text, HexDigitOfEitherCaseAndNothingAroundTheRanges) {
    const struct {
        char c;
        int value;
    } cases[] = {
        // The ends of each range.
        {'0', 0},
        {'9', 9},
        {'a', 10},
        {'f', 15},
        {'A', 10},
        {'F', 15},
        // Their neighbours.
        {'/', -1},
        {':', -1},
        {'`', -1},
        {'g', -1},
        {'@', -1},
        {'G', -1},
        {'\0', -1},
    };
    for (const auto& c : cases) EXPECT_EQ(hexDigit(c.c), c.value) << int(c.c);
}

}  // namespace
}  // namespace platform
