#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/win32/win32.h"

namespace platform {

void* Win32Heap::allocate(std::size_t bytes) {
    return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes == 0 ? 1 : bytes);
}

void Win32Heap::release(void* block) {
    if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

}  // namespace platform
