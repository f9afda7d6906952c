#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HMODULE moduleOf(LibraryHandle h) { return reinterpret_cast<HMODULE>(rawHandle(h)); }

// A library that cannot be mapped must not stop a console run with a message
// box. SetThreadErrorMode (Windows 7 on) leaves other threads alone.
class QuietLoader {
public:
    QuietLoader() {
        constexpr UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
        setThreadMode_ = reinterpret_cast<SetThreadMode>(
            reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadErrorMode")));
        if (setThreadMode_ != nullptr) {
            DWORD old = 0;
            if (setThreadMode_(kQuiet, &old))
                saved_ = old;
            else
                setThreadMode_ = nullptr;
        } else {
            saved_ = SetErrorMode(kQuiet);
            SetErrorMode(saved_ | kQuiet);
        }
    }
    ~QuietLoader() {
        if (setThreadMode_ != nullptr)
            setThreadMode_(saved_, nullptr);
        else
            SetErrorMode(saved_);
    }
    QuietLoader(const QuietLoader&) = delete;
    QuietLoader& operator=(const QuietLoader&) = delete;

private:
    using SetThreadMode = BOOL(WINAPI*)(DWORD, LPDWORD);
    SetThreadMode setThreadMode_ = nullptr;
    DWORD saved_ = 0;
};

// The folder of `path`, with its final backslash; empty when there is none.
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string programFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};  // truncated paths name another file
    return folderOf(std::string(path, length));
}

std::string systemFolder() {
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::string(path, length) + "\\";
}

}  // namespace

bool Win32Libraries::systemHasSafeSearch() {
    return GetProcAddress(GetModuleHandleA("kernel32.dll"), "AddDllDirectory") != nullptr;
}

LibraryHandle Win32Libraries::load(const char* name) {
    if (name == nullptr || *name == '\0') return kNoLibrary;
    QuietLoader quiet;
    // Never the current directory or PATH, where anyone may have planted a
    // library of the driver's name.
    if (safeSearch_) {
        // The program's folder, System32 and folders added by the process.
        return handleFor<LibraryHandle>(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    }
    // Without AddDllDirectory that flag is refused: the same folders by full
    // path. A name with a folder in it would lead elsewhere.
    if (std::strpbrk(name, "\\/:") != nullptr) return kNoLibrary;
    for (const std::string& folder : {programFolder(), systemFolder()}) {
        if (folder.empty()) continue;
        const std::string path = folder + name;
        if (HMODULE module = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)) {
            return handleFor<LibraryHandle>(module);
        }
    }
    return kNoLibrary;
}

Proc Win32Libraries::symbol(LibraryHandle library, const char* name) {
    if (library == kNoLibrary || name == nullptr) return nullptr;
    return reinterpret_cast<Proc>(GetProcAddress(moduleOf(library), name));
}

bool Win32Libraries::free(LibraryHandle library) {
    return library != kNoLibrary && FreeLibrary(moduleOf(library)) != FALSE;
}

}  // namespace platform
