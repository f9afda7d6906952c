#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HMODULE moduleOf(Handle h) { return reinterpret_cast<HMODULE>(h); }

}  // namespace

Handle Win32Libraries::load(const char* name) {
    if (name == nullptr || *name == '\0') return kNullHandle;
    // The application's folder, System32 and folders added by the process:
    // never the current directory, where anyone may have planted a library of
    // the driver's name.
    return reinterpret_cast<Handle>(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
}

Proc Win32Libraries::symbol(Handle library, const char* name) {
    if (library == kNullHandle || name == nullptr) return nullptr;
    return reinterpret_cast<Proc>(GetProcAddress(moduleOf(library), name));
}

bool Win32Libraries::free(Handle library) {
    return library != kNullHandle && FreeLibrary(moduleOf(library)) != FALSE;
}

}  // namespace platform
