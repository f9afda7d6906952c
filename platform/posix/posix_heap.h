// The process heap is the C library's.
#pragma once

#include <cstdlib>

#include "platform/platform.h"

namespace platform {

class PosixHeap : public Heap {
public:
    void* allocate(std::size_t bytes) override { return std::calloc(bytes == 0 ? 1 : bytes, 1); }
    void release(void* block) override { std::free(block); }
};

}  // namespace platform
