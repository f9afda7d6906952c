// The binding to the Touch Memory driver library: loaded once per process,
// under a lock of its own, and kept loaded until the process ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hwds/hwds.h"
#include "platform/driver_call.h"

// The driver's call interface, called whichever convention the driver uses.
using TmDriverPresentFn = platform::DriverEntry<int()>;
using TmPresentFn = platform::DriverEntry<int()>;
using TmGetIdFn = platform::DriverEntry<int(unsigned char* id)>;
using TmReadPageFn = platform::DriverEntry<int(uint32_t page, unsigned char* buf32)>;
using TmWritePageFn = platform::DriverEntry<int(uint32_t page, const unsigned char* buf32)>;
using TmGetRandomBytesFn = platform::DriverEntry<int(unsigned char* buf, uint32_t count)>;

inline constexpr char TM_DRIVER_LIBRARY[] = "tmdrv32.dll";

// The driver's identifier can be longer than anything it has been seen to
// write; byte 0 is the family code.
inline constexpr size_t TM_ID_BUFFER_SIZE = 64;

// Driver statuses carry their outcome in the low 16 bits.
constexpr bool tmSucceeded(int status) { return (static_cast<uint32_t>(status) & 0xFFFFu) == 0; }

struct TmDriverBinding {
    platform::LibraryHandle library = platform::kNoLibrary;
    TmDriverPresentFn driverPresent = nullptr;
    TmPresentFn present = nullptr;
    TmGetRandomBytesFn getRandomBytes = nullptr;
    TmGetIdFn getId = nullptr;
    TmReadPageFn rawReadPage = nullptr;
    TmReadPageFn checkReadPage = nullptr;
    TmWritePageFn checkWritePage = nullptr;
    platform::MutexHandle lock = platform::kNoMutex;
};

// The process's binding. Sources read its entry points without the lock:
// they do not change while any source exists.
const TmDriverBinding& tmDriver();

// Loads the library if it is not loaded yet, then asks whether the driver is
// present; CE_OK when it is.
CeResult loadTmDriver();

void tmDriverStartup();  // creates the binding lock
void tmDriverExit();     // closes it; the library stays loaded

// Releases the library and empties the binding. Only for tests: a process
// otherwise keeps the library until it ends.
void tmDriverUnload();
