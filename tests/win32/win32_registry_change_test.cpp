// Waiting for the adapter driver's Enum key to change, on the system's own
// registry (Wine's on Linux).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include "platform/ftdi_keys.h"
#include "platform/win32/win32.h"

namespace platform {
namespace {

constexpr uint32_t kQuietMs = 100;
constexpr uint32_t kLongMs = 5000;
constexpr char kTestValue[] = "hwds-change-test";

TEST(Win32RegistryChange, ValueSetOrDeletedInTheEnumKeyWakesTheWaiter) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, ftdi::kEnumKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, &disposition),
        ERROR_SUCCESS);
    Win32Registry registry;
    EXPECT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::TimedOut);
    const DWORD count = 1;
    RegSetValueExA(key, kTestValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof count);
    EXPECT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    EXPECT_EQ(registry.waitForChange(kQuietMs), ChangeWait::TimedOut);
    RegDeleteValueA(key, kTestValue);
    EXPECT_EQ(registry.waitForChange(kLongMs), ChangeWait::Changed);
    RegCloseKey(key);
    if (disposition == REG_CREATED_NEW_KEY) RegDeleteKeyA(HKEY_LOCAL_MACHINE, ftdi::kEnumKey);
}

}  // namespace
}  // namespace platform
