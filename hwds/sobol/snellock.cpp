#include "hwds/sobol/snellock.h"

#include <cstring>

#include "platform/platform.h"

namespace {

constexpr uint32_t kTestRequest = 32;

// The library for one call, released on every way out.
class LoadedLibrary {
public:
    LoadedLibrary() : libs_(*platform::current().libraries), handle_(libs_.load(SNELLOCK_LIBRARY)) {}
    ~LoadedLibrary() {
        if (handle_ != platform::kNoLibrary) libs_.free(handle_);
    }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    bool loaded() const { return handle_ != platform::kNoLibrary; }
    template <class Fn>
    Fn entry(const char* name) {
        return platform::driverEntry<Fn>(libs_, handle_, name);
    }

private:
    platform::Libraries& libs_;
    platform::LibraryHandle handle_;
};

class ScratchBuffer {
public:
    explicit ScratchBuffer(uint32_t bytes)
        : heap_(*platform::current().heap), block_(static_cast<uint8_t*>(heap_.allocate(bytes))) {}
    ~ScratchBuffer() {
        if (block_ != nullptr) heap_.release(block_);
    }
    ScratchBuffer(const ScratchBuffer&) = delete;
    ScratchBuffer& operator=(const ScratchBuffer&) = delete;

    uint8_t* get() const { return block_; }

private:
    platform::Heap& heap_;
    uint8_t* block_;
};

}  // namespace

bool snellockCardPresent() {
    LoadedLibrary library;
    if (!library.loaded()) return false;
    const auto isCard = library.entry<SbIsCardFn>("sbisCard");
    const auto getRand = library.entry<SbGetRandFn>("sbGetRand");
    if (isCard == nullptr || getRand == nullptr) return false;
    if (isCard() != 0) return false;
    unsigned char test[kTestRequest];
    return getRand(test, kTestRequest) == 0;
}

bool snellockRandomBits(uint8_t* data, uint32_t bits) {
    LoadedLibrary library;
    if (!library.loaded()) return false;
    const auto getRand = library.entry<SbGetRandFn>("sbGetRand");
    if (getRand == nullptr) return false;
    return getRand(data, bits / 8) == 0;
}

bool snellockRandomBytes(uint8_t* data, uint32_t length) {
    // The driver is asked for length + 1 bytes, counted in bits: refuse what
    // 32 bits cannot count rather than ask for fewer bytes than are copied.
    if (length >= UINT32_MAX / 8) return false;
    ScratchBuffer scratch(length + 2);
    if (scratch.get() == nullptr) return false;
    const bool ok = snellockRandomBits(scratch.get(), (length + 1) * 8);
    if (length > 0) std::memcpy(data, scratch.get(), length);
    return ok;
}
