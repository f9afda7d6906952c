#include "hwds/accord/tm_driver.h"

#include "hwds/mutex_guard.h"

namespace {
// Constant-initialised: sources may be opened from other static initialisers.
constinit TmDriverBinding binding;
}  // namespace

const TmDriverBinding& tmDriver() { return binding; }

CeResult loadTmDriver() {
    hwds::MutexGuard guard(binding.lock);
    if (!guard.acquired()) return CE_HW_FAIL_LOCK;

    if (binding.library == platform::kNoLibrary) {
        platform::Libraries& libs = *platform::current().libraries;
        const platform::LibraryHandle library = libs.load(TM_DRIVER_LIBRARY);
        if (library == platform::kNoLibrary) return CE_HW_NOT_FOUND;
        TmDriverBinding b;
        b.driverPresent = platform::driverEntry<TmDriverPresentFn>(libs, library, "TmDriverPresent");
        b.present = platform::driverEntry<TmPresentFn>(libs, library, "TmPresent");
        b.getRandomBytes = platform::driverEntry<TmGetRandomBytesFn>(libs, library, "TmGetRandomBytes");
        b.getId = platform::driverEntry<TmGetIdFn>(libs, library, "TmGetId");
        b.rawReadPage = platform::driverEntry<TmReadPageFn>(libs, library, "TmRawReadPage");
        b.checkReadPage = platform::driverEntry<TmReadPageFn>(libs, library, "TmCheckReadPage");
        b.checkWritePage = platform::driverEntry<TmWritePageFn>(libs, library, "TmCheckWritePage");
        if (!b.driverPresent || !b.present || !b.getRandomBytes || !b.getId || !b.rawReadPage || !b.checkReadPage ||
            !b.checkWritePage) {
            // Leave the binding empty, so that the next open tries again.
            libs.free(library);
            return CE_CODE_CORRUPTED;
        }
        b.library = library;
        b.lock = binding.lock;
        binding = b;
    }
    return binding.driverPresent() != 0 ? CE_OK : CE_HW_NOT_FOUND;
}

void tmDriverStartup() { binding.lock = platform::current().mutexes->create(); }

void tmDriverExit() {
    if (binding.lock != platform::kNoMutex) platform::current().mutexes->close(binding.lock);
    binding.lock = platform::kNoMutex;
}

void tmDriverUnload() {
    if (binding.library != platform::kNoLibrary) platform::current().libraries->free(binding.library);
    const platform::MutexHandle lock = binding.lock;
    binding = TmDriverBinding{};
    binding.lock = lock;
}
