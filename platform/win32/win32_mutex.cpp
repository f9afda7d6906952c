#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

namespace {

HANDLE handleOf(MutexHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

MutexHandle Win32Mutexes::create() { return handleFor<MutexHandle>(CreateMutexA(nullptr, FALSE, nullptr)); }

WaitResult Win32Mutexes::wait(MutexHandle mutex) {
    if (mutex == kNoMutex) return WaitResult::Failed;
    switch (WaitForSingleObject(handleOf(mutex), INFINITE)) {
        case WAIT_OBJECT_0: return WaitResult::Acquired;
        case WAIT_ABANDONED: return WaitResult::Abandoned;
        default: return WaitResult::Failed;
    }
}

bool Win32Mutexes::release(MutexHandle mutex) { return mutex != kNoMutex && ReleaseMutex(handleOf(mutex)) != FALSE; }

bool Win32Mutexes::close(MutexHandle mutex) { return mutex != kNoMutex && CloseHandle(handleOf(mutex)) != FALSE; }

}  // namespace platform
