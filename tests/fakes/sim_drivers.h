// The simulated driver libraries through the real loader: a Libraries service over one folder that counts
// loads and frees, a test's own handle on a simulated library, and the builds a test runs against.
#pragma once

#include <atomic>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fakes {

// A build of the simulated drivers: cdecl entry points, and on 32-bit x86
// stdcall ones too, which the sources must call just as well.
struct DriverBuild {
    const char* convention;
    const char* folder;
    const char* broken;
};  // broken: no TmCheckWritePage

inline std::vector<DriverBuild> driverBuilds() {
    return {
        {"cdecl", SIM_DRIVERS_DIR, SIM_BROKEN_DRIVERS_DIR},
#ifdef SIM_STDCALL_DRIVERS_DIR
        {"stdcall", SIM_STDCALL_DRIVERS_DIR, SIM_STDCALL_BROKEN_DRIVERS_DIR},
#endif
    };
}

inline void PrintTo(const DriverBuild& build, std::ostream* out) { *out << build.convention; }

// Runs a TestWithParam<DriverBuild> suite once for every build.
#define SIM_DRIVER_SUITE(suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(Drivers, suite, ::testing::ValuesIn(fakes::driverBuilds()), \
                             [](const auto& info) { return std::string(info.param.convention); })

class DriverFolder : public platform::Libraries {
public:
    explicit DriverFolder(std::string folder) : folder_(std::move(folder)) {}

    platform::LibraryHandle load(const char* name) override {
        ++loads;
        return loader().load((std::filesystem::path(folder_) / name).string().c_str());
    }
    platform::Proc symbol(platform::LibraryHandle library, const char* name) override {
        return loader().symbol(library, name);
    }
    bool free(platform::LibraryHandle library) override {
        ++frees;
        return loader().free(library);
    }

    std::atomic<int> loads{0};
    std::atomic<int> frees{0};

private:
    static platform::Libraries& loader() { return *platform::native().libraries; }
    std::string folder_;
};

// Keeps a simulated library loaded for the test, so that its state lives
// across the loads and frees of the code under test.
class SimLibrary {
public:
    SimLibrary(const std::string& folder, const char* name) : folder_(folder), handle_(folder_.load(name)) {}
    ~SimLibrary() {
        if (handle_ != platform::kNoLibrary) folder_.free(handle_);
    }
    SimLibrary(const SimLibrary&) = delete;
    SimLibrary& operator=(const SimLibrary&) = delete;

    bool loaded() const { return handle_ != platform::kNoLibrary; }
    template <class Fn>
    Fn entry(const char* name) {
        return platform::resolve<Fn>(folder_, handle_, name);
    }

private:
    DriverFolder folder_;
    platform::LibraryHandle handle_;
};

}  // namespace fakes
