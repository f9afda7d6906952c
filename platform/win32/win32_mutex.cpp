#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HANDLE handleOf(Handle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

Handle Win32Mutexes::create() { return reinterpret_cast<Handle>(CreateMutexA(nullptr, FALSE, nullptr)); }

WaitResult Win32Mutexes::wait(Handle mutex) {
    if (mutex == kNullHandle) return WaitResult::Failed;
    switch (WaitForSingleObject(handleOf(mutex), INFINITE)) {
        case WAIT_OBJECT_0:
            return WaitResult::Acquired;
        case WAIT_ABANDONED:
            return WaitResult::Abandoned;
        default:
            return WaitResult::Failed;
    }
}

bool Win32Mutexes::release(Handle mutex) {
    return mutex != kNullHandle && ReleaseMutex(handleOf(mutex)) != FALSE;
}

bool Win32Mutexes::close(Handle mutex) {
    return mutex != kNullHandle && CloseHandle(handleOf(mutex)) != FALSE;
}

}  // namespace platform
