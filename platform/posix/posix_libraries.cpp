#include "platform/posix/posix_libraries.h"

#include "platform/ascii.h"

#include <dlfcn.h>

namespace platform {

namespace {

bool endsWithDll(std::string_view name) {
    constexpr std::string_view kSuffix = ".dll";
    if (name.size() <= kSuffix.size()) return false;
    return asciiIEquals(name.substr(name.size() - kSuffix.size()), kSuffix);
}

}  // namespace

std::string sharedObjectName(std::string_view windowsName) {
    if (!endsWithDll(windowsName)) return std::string(windowsName);
    std::string_view stem = windowsName.substr(0, windowsName.size() - 4);
    size_t slash = stem.rfind('/');
    size_t base = slash == std::string_view::npos ? 0 : slash + 1;
    std::string out;
    out.reserve(stem.size() + 6);
    out.append(stem.substr(0, base));
    out.append("lib");
    out.append(stem.substr(base));
    out.append(".so");
    return out;
}

LibraryHandle PosixLibraries::load(const char* name) {
    if (name == nullptr || *name == '\0') return kNoLibrary;
    std::string file = sharedObjectName(name);
    return handleFor<LibraryHandle>(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
}

Proc PosixLibraries::symbol(LibraryHandle library, const char* name) {
    if (library == kNoLibrary || name == nullptr) return nullptr;
    return reinterpret_cast<Proc>(::dlsym(objectOf<void>(library), name));
}

bool PosixLibraries::free(LibraryHandle library) {
    if (library == kNoLibrary) return false;
    return ::dlclose(objectOf<void>(library)) == 0;
}

}  // namespace platform
