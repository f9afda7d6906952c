// The Windows backend over the system's own registry, loader, code pages and standard input (Wine's on Linux).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/win32.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

constexpr char kTestKey[] = "SOFTWARE\\hwds-test";

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kTestKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, type, data] : kValues)
            RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
        RegCloseKey(key);
        ASSERT_EQ(registry.openKey("software\\HWDS-TEST", &key_), kErrSuccess) << "letter case is ignored";
    }
    void TearDown() override {
        registry.closeKey(key_);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
    }

    struct Value {
        const char* name;
        DWORD type;
        std::string data;
    };
    // Wine's RegQueryValueExA counts a terminator that a REG_SZ lacks, so a text
    // without one is stored as bytes ("Bare"): none may be added either.
    inline static const std::vector<Value> kValues = {
        {"PortName", REG_SZ, "COM5\0"s}, {"Bare", REG_BINARY, "COM7"}, {"Count", REG_DWORD, "\x03\0\0\0"s}};
    Win32Registry registry;
    KeyHandle key_ = kNoKey;
};

TEST_F(Win32RegistryTest, QueriesGiveTheStoredBytesOrTheSizeNeededAndAbsentIsNotFound) {
    for (const auto& [name, type, data] : kValues) {
        SCOPED_TRACE(name);
        const auto size = static_cast<uint32_t>(data.size());
        std::string buffer(size, '?');
        for (const uint32_t room : {0u, size - 1, size}) {  // 0: no buffer, the size only
            uint32_t got = room;
            auto* data = room == 0 ? nullptr : reinterpret_cast<uint8_t*>(buffer.data());
            EXPECT_EQ(registry.queryValue(key_, name, data, &got), room == size - 1 ? kErrMoreData : kErrSuccess)
                << room;
            EXPECT_EQ(got, size);
        }
        EXPECT_EQ(buffer, data);
    }
    uint32_t got = 0;
    EXPECT_EQ(registry.queryValue(key_, "Absent", nullptr, &got), kErrFileNotFound);
    KeyHandle other = kNoKey;
    EXPECT_EQ(registry.openKey("SOFTWARE\\hwds-test\\absent", &other), kErrFileNotFound);
    EXPECT_EQ(other, kNoKey);
}

TEST_F(Win32RegistryTest, EnumeratesEveryValueName) {
    std::set<std::string> names;
    char name[16];
    uint32_t index = 0;
    for (uint32_t size = sizeof name; registry.enumValue(key_, index, name, &size) == kErrSuccess;
         size = sizeof name, ++index) {
        EXPECT_EQ(size, std::strlen(name));
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"Bare", "Count", "PortName"}));
    uint32_t size = sizeof name;
    EXPECT_EQ(registry.enumValue(key_, index, name, &size), kErrNoMoreItems);
    std::set<uint32_t> results;  // "PortName" does not fit in 4, whichever index it has
    for (uint32_t i = 0; i < index; ++i) results.insert(registry.enumValue(key_, i, name, &(size = 4)));
    EXPECT_TRUE(results.count(kErrMoreData));
}

// The same simulated driver under three names: in System32, in the program's
// folder, and planted in the current directory, which is also put on PATH.
class Win32LoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char system[MAX_PATH], program[MAX_PATH], current[MAX_PATH];
        ASSERT_TRUE(GetSystemDirectoryA(system, MAX_PATH) && GetModuleFileNameA(nullptr, program, MAX_PATH) &&
                    GetCurrentDirectoryA(MAX_PATH, current) && !planted.path.empty());
        for (const auto& copy :
             {fs::path(system) / "hwds-test-system.dll", fs::path(program).parent_path() / "hwds-test-program.dll",
              fs::path(planted.path) / "hwds-test-planted.dll"}) {
            std::error_code ec;
            fs::copy_file(fs::path(SIM_DRIVERS_DIR) / "snellock.dll", copy, fs::copy_options::overwrite_existing, ec);
            ASSERT_FALSE(ec) << copy << ": " << ec.message();
            copies.push_back(copy);
        }
        savedDirectory = current;
        savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
        ASSERT_TRUE(SetCurrentDirectoryA(planted.path.c_str()));
        SetEnvironmentVariableA("PATH", (planted.path + ";" + savedPath).c_str());
    }
    void TearDown() override {
        SetCurrentDirectoryA(savedDirectory.c_str());
        SetEnvironmentVariableA("PATH", savedPath.c_str());
        std::error_code ignored;
        for (const auto& copy : copies) fs::remove(copy, ignored);
    }

    fakes::TempDir planted;
    std::vector<fs::path> copies;
    std::string savedDirectory, savedPath;
};

TEST_F(Win32LoaderTest, BothSearchesTakeTheProgramFolderAndSystem32Only) {
    ASSERT_TRUE(Win32Libraries::systemHasSafeSearch()) << "Wine has AddDllDirectory";
    struct Row {
        const char* name;
        bool loads;
    };
    const Row rows[] = {
        {"hwds-test-system.dll", true},
        {"hwds-test-program.dll", true},
        {"hwds-test-planted.dll", false},
        {"hwds-test-absent.dll", false},
    };
    const DWORD errorMode = GetThreadErrorMode();
    for (const bool safe : {true, false}) {
        Win32Libraries libraries(safe);
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(row.name) + (safe ? " by the safe search" : " by full path"));
            const LibraryHandle library = libraries.load(row.name);
            EXPECT_EQ(library != kNoLibrary, row.loads);
            if (library == kNoLibrary) continue;
            EXPECT_NE(libraries.symbol(library, "sbGetRand"), nullptr);
            EXPECT_TRUE(libraries.free(library));
        }
        EXPECT_EQ(GetThreadErrorMode(), errorMode) << "the error mode is put back";
    }
    // The fallback takes a bare name only: a folder in it would lead elsewhere.
    EXPECT_EQ(Win32Libraries(false).load(".\\hwds-test-planted.dll"), kNoLibrary);
}

// Windows-1251 in, CP866 out, whatever the system's own code pages are.
TEST(Win32Console, ConvertsCp1251ToCp866) {
    std::string ascii, cyrillic1251, cyrillic866;
    for (int c = 0x20; c < 0x7F; ++c) ascii += static_cast<char>(c);
    for (int i = 0; i < 64; ++i) {  // А..Я а..я: in CP866 А..п then р..я after the box drawing
        cyrillic1251 += static_cast<char>(0xC0 + i);
        cyrillic866 += static_cast<char>(i < 48 ? 0x80 + i : 0xB0 + i);
    }
    struct Row {
        std::string in, out;
    };
    const Row rows[] = {
        {ascii + "\r\n\t", ascii + "\r\n\t"},
        {cyrillic1251, cyrillic866},
        {"\xA8\xB8\xB9", "\xF0\xF1\xFC"},  // Ё ё №
        {"a\0b"s, "a\0b"s},
        {"", ""},
    };
    Win32Console console;
    for (const auto& row : rows) EXPECT_EQ(console.convert(row.in), row.out) << row.in;
}

// Standard input made a pipe that the test writes.
class Win32TerminalTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = GetStdHandle(STD_INPUT_HANDLE);
        ASSERT_TRUE(CreatePipe(&reader, &writer, nullptr, 0));
        SetStdHandle(STD_INPUT_HANDLE, reader);
    }
    void TearDown() override {
        SetStdHandle(STD_INPUT_HANDLE, saved);
        CloseHandle(reader);
        if (writer != nullptr) CloseHandle(writer);
    }

    HANDLE saved = nullptr, reader = nullptr, writer = nullptr;
    Win32Terminal terminal;
};

TEST_F(Win32TerminalTest, AnswerWithinTheTimeLimitOrNone) {
    std::string line = "stale";
    EXPECT_EQ(terminal.readLine(100, &line), LineRead::TimedOut);
    EXPECT_EQ(line, "");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "yes\r\nno\n", 8, &written, nullptr));
    for (const char* want : {"yes", "no"}) {
        EXPECT_EQ(terminal.readLine(100, &line), LineRead::Line);
        EXPECT_EQ(line, want);
    }
    CloseHandle(std::exchange(writer, nullptr));
    EXPECT_EQ(terminal.readLine(100, &line), LineRead::Closed);
}

}  // namespace
}  // namespace platform
