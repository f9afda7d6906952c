#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/posix/posix_libraries.h"
#include "tests/fakes/temp_dir.h"

namespace platform {
namespace {

TEST(PosixLibrariesTest, LoadsResolvesAndFreesByWindowsName) {
    // A driver stand-in: the C library under a driver's file name.
    Dl_info info{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "getpid"), &info), 0);
    fakes::TempDir temp;
    ASSERT_FALSE(temp.path.empty());
    const std::filesystem::path dir = temp.path;
    std::filesystem::create_symlink(info.dli_fname, dir / "libFakeDrv.so");

    PosixLibraries libs;
    LibraryHandle lib = libs.load((dir / "FakeDrv.DLL").c_str());
    ASSERT_NE(lib, kNoLibrary);
    auto pid = resolve<pid_t (*)()>(libs, lib, "getpid");
    ASSERT_NE(pid, nullptr);
    EXPECT_EQ(pid(), getpid());
    EXPECT_EQ(libs.symbol(lib, "NoSuchEntryPoint"), nullptr);
    EXPECT_TRUE(libs.free(lib));
    EXPECT_EQ(libs.load("no_such_driver_library.dll"), kNoLibrary);
    EXPECT_EQ(libs.load(nullptr), kNoLibrary);
    EXPECT_FALSE(libs.free(kNoLibrary));
}

}  // namespace
}  // namespace platform
