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

Handle PosixLibraries::load(const char* name) {
    if (name == nullptr || *name == '\0') return kNullHandle;
    std::string file = sharedObjectName(name);
    return reinterpret_cast<Handle>(::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
}

Proc PosixLibraries::symbol(Handle library, const char* name) {
    if (library == kNullHandle || name == nullptr) return nullptr;
    return reinterpret_cast<Proc>(::dlsym(reinterpret_cast<void*>(library), name));
}

bool PosixLibraries::free(Handle library) {
    if (library == kNullHandle) return false;
    return ::dlclose(reinterpret_cast<void*>(library)) == 0;
}

}  // namespace platform
