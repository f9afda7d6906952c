#include "platform/posix/posix_interrupts.h"

#include <signal.h>

#include <atomic>

namespace platform {

namespace {

// Lock-free, so the handler may touch it.
std::atomic<uint32_t> interrupts{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free);

void onInterrupt(int) { interrupts.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

bool PosixInterrupts::catchInterrupts() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

uint32_t PosixInterrupts::count() { return interrupts.load(std::memory_order_relaxed); }

}  // namespace platform
