// The in-memory registry that stands in for the Windows registry in tests and
// under the POSIX views.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/regtree.h"

namespace platform {
namespace {

TEST(TreeRegistry, QueryValueBehavesAsRegQueryValueEx) {
    TreeRegistry reg;
    reg.tree().setString("Dev\\Device Parameters", "PortName", "COM123");
    reg.tree().setString("Dev\\Device Parameters", "Long", "COM1234");
    reg.tree().setValue("Dev\\Device Parameters", "Raw", kRegBinary, {1, 2, 3});

    KeyHandle key = kNoKey;
    ASSERT_EQ(reg.openKey("Dev\\Device Parameters", &key), kErrSuccess);
    ASSERT_NE(key, kNoKey);

    uint32_t size = 0;
    EXPECT_EQ(reg.queryValue(key, "PortName", nullptr, &size), kErrSuccess);
    EXPECT_EQ(size, 7u);

    uint8_t exact[7] = {};
    size = sizeof exact;
    ASSERT_EQ(reg.queryValue(key, "PortName", exact, &size), kErrSuccess);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(exact), 7), std::string("COM123\0", 7));

    uint8_t small[7];
    std::fill(std::begin(small), std::end(small), 0xAA);
    size = sizeof small;
    EXPECT_EQ(reg.queryValue(key, "Long", small, &size), kErrMoreData);
    EXPECT_EQ(size, 8u);
    for (uint8_t b : small) EXPECT_EQ(b, 0xAA) << "buffer touched on kErrMoreData";

    // Binary data comes back as stored: no terminator appended.
    uint8_t big[16];
    std::fill(std::begin(big), std::end(big), 0xAA);
    size = sizeof big;
    ASSERT_EQ(reg.queryValue(key, "Raw", big, &size), kErrSuccess);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(big[2], 3);
    EXPECT_EQ(big[3], 0xAA);

    EXPECT_EQ(reg.queryValue(key, "Absent", big, &size), kErrFileNotFound);
    EXPECT_EQ(reg.queryValue(key, "PortName", big, nullptr), kErrInvalidParameter);
    EXPECT_EQ(reg.queryValue(kNoKey, "PortName", big, &size), kErrInvalidHandle);
    EXPECT_EQ(reg.closeKey(key), kErrSuccess);
    EXPECT_EQ(reg.openKeyCount(), 0);
}

TEST(TreeRegistry, KeysAndNamesIgnoreCaseAndHandlesAreCounted) {
    TreeRegistry reg;
    reg.tree().setDword("SYSTEM\\CurrentControlSet\\Services\\FTSER2K\\Enum", "Count", 0x01020304);

    KeyHandle enumKey = kNoKey, driverKey = kNoKey, missing = platform::makeHandle<KeyHandle>(123);
    ASSERT_EQ(reg.openKey("system\\currentcontrolset\\services\\ftser2k\\ENUM", &enumKey), kErrSuccess);
    ASSERT_EQ(reg.openKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2K", &driverKey), kErrSuccess)
        << "parents of a key exist";
    EXPECT_EQ(reg.openKeyCount(), 2);
    EXPECT_EQ(reg.openKey("SYSTEM\\CurrentControlSet\\Services\\FTSER2", &missing), kErrFileNotFound);
    EXPECT_EQ(reg.openKeyCount(), 2);

    uint8_t count[4] = {};
    uint32_t size = 4;
    ASSERT_EQ(reg.queryValue(enumKey, "count", count, &size), kErrSuccess);
    EXPECT_EQ(count[0], 0x04);
    EXPECT_EQ(count[3], 0x01);

    EXPECT_EQ(reg.closeKey(enumKey), kErrSuccess);
    EXPECT_EQ(reg.closeKey(driverKey), kErrSuccess);
    EXPECT_EQ(reg.closeKey(kNoKey), kErrInvalidHandle);
    EXPECT_EQ(reg.openKeyCount(), 0);
}

}  // namespace
}  // namespace platform
