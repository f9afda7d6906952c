// The Windows backend's services, each implemented in its own file over the
// Win32 calls of the same name.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

class Win32Registry : public Registry {
public:
    Win32Registry() = default;
    ~Win32Registry() override;
    Win32Registry(const Win32Registry&) = delete;
    Win32Registry& operator=(const Win32Registry&) = delete;

    uint32_t openKey(const char* path, KeyHandle* key) override;
    uint32_t queryValue(KeyHandle key, const char* name, uint8_t* data, uint32_t* size) override;
    uint32_t enumValue(KeyHandle key, uint32_t index, char* name, uint32_t* nameSize) override;
    uint32_t closeKey(KeyHandle key) override;
    // RegNotifyChangeKeyValue on the driver's Enum key (on its service key,
    // subtree and all, while Enum is absent), waited for with
    // WaitForSingleObject. Before Windows 8 the watch ends with the thread
    // that set it, which wakes the waiter once: wait from one thread.
    ChangeWait waitForChange(uint32_t timeoutMs) override;

private:
    bool watch();
    void unwatch();

    void* watched_ = nullptr;  // HKEY
    void* event_ = nullptr;    // HANDLE
};

class Win32SerialPorts : public SerialPorts {
public:
    uint32_t open(const char* path, PortHandle* port) override;
    bool getSettings(PortHandle port, LineSettings* settings) override;
    bool setSettings(PortHandle port, const LineSettings& settings) override;
    bool purge(PortHandle port, uint32_t flags) override;
    bool write(PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) override;
    bool read(PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) override;
    bool readFor(PortHandle port, uint8_t* data, uint32_t length, uint32_t timeoutMs, uint32_t* got) override;
    bool close(PortHandle port) override;
};

class Win32Mutexes : public Mutexes {
public:
    MutexHandle create() override;
    WaitResult wait(MutexHandle mutex) override;
    bool release(MutexHandle mutex) override;
    bool close(MutexHandle mutex) override;
};

class Win32Clock : public Clock {
public:
    uint32_t tickCount() override;
    void sleep(uint32_t ms) override;
};

class Win32Libraries : public Libraries {
public:
    // The loader's safe search where kernel32 has AddDllDirectory; without it
    // (XP, Vista, 7 without its update) the library by full path from the
    // program's folder, then System32. Tests force the latter.
    explicit Win32Libraries(bool safeSearch = systemHasSafeSearch()) : safeSearch_(safeSearch) {}
    static bool systemHasSafeSearch();
    LibraryHandle load(const char* name) override;
    Proc symbol(LibraryHandle library, const char* name) override;
    bool free(LibraryHandle library) override;

private:
    bool safeSearch_;
};

class Win32Heap : public Heap {
public:
    void* allocate(std::size_t bytes) override;
    void release(void* block) override;
};

class Win32Console : public Console {
public:
    std::string convert(std::string_view cp1251) override;
    int write(Stream stream, std::string_view bytes) override;
};

class Win32Terminal : public Terminal {
public:
    // A console, made to read VT sequences if it does not yet.
    bool interactive(Stream stream) override;
    bool inputInteractive() override;
    // A byte at a time, so that what follows the line stays unread.
    LineRead readLine(uint32_t timeoutMs, std::string* line) override;
    // _setmode(_O_BINARY) on standard output.
    bool binaryOutput() override;
};

// SetConsoleCtrlHandler: Ctrl+C and Ctrl+Break are counted; closing the
// console window or logging off still ends the process.
class Win32Interrupts : public Interrupts {
public:
    bool catchInterrupts() override;
    uint32_t count() override;
};

class Win32System : public System {
public:
    std::string hostName() override;
    std::string loginName() override;
    int64_t utcMilliseconds() override;
    // RtlGenRandom, which advapi32 has had since XP.
    bool randomBytes(uint8_t* data, std::size_t length) override;
    // CREATE_NEW, FlushFileBuffers, then MoveFileExW without
    // MOVEFILE_REPLACE_EXISTING, which fails when the name is taken.
    uint32_t publishFile(const std::string& path, std::string_view bytes) override;
};

}  // namespace platform
