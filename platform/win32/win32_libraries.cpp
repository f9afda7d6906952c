#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HMODULE moduleOf(LibraryHandle h) { return reinterpret_cast<HMODULE>(h); }

}  // namespace

LibraryHandle Win32Libraries::load(const char* name) {
    if (name == nullptr || *name == '\0') return kNoLibrary;
    // The application's folder, System32 and folders added by the process:
    // never the current directory, where anyone may have planted a library of
    // the driver's name.
    return handleFor<LibraryHandle>(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
}

Proc Win32Libraries::symbol(LibraryHandle library, const char* name) {
    if (library == kNoLibrary || name == nullptr) return nullptr;
    return reinterpret_cast<Proc>(GetProcAddress(moduleOf(library), name));
}

bool Win32Libraries::free(LibraryHandle library) {
    return library != kNoLibrary && FreeLibrary(moduleOf(library)) != FALSE;
}

}  // namespace platform
