#include <windows.h>

#include <atomic>

#include "platform/win32/win32.h"

namespace platform {

namespace {

std::atomic<uint32_t> interrupts{0};

BOOL WINAPI onControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    interrupts.fetch_add(1, std::memory_order_relaxed);
    return TRUE;  // handled: the process goes on
}

}  // namespace

bool Win32Interrupts::catchInterrupts() { return SetConsoleCtrlHandler(onControl, TRUE) != 0; }

uint32_t Win32Interrupts::count() { return interrupts.load(std::memory_order_relaxed); }

}  // namespace platform
