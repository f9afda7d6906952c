// Driver libraries through the dynamic loader, named as on Windows.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {

class PosixLibraries : public Libraries {
public:
    // "name.dll" (any letter case in the suffix) loads "libname.so" through
    // the loader's standard search; any other name loads as given.
    LibraryHandle load(const char* name) override;
    Proc symbol(LibraryHandle library, const char* name) override;
    bool free(LibraryHandle library) override;
};

// The file name that load() passes to the loader for a Windows library name.
std::string sharedObjectName(std::string_view windowsName);

}  // namespace platform
