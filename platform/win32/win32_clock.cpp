#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

uint32_t Win32Clock::tickCount() { return GetTickCount(); }

void Win32Clock::sleep(uint32_t ms) { Sleep(ms); }

}  // namespace platform
