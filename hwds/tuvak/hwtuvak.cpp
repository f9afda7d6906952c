#include "hwds/tuvak/hwtuvak.h"

#include <cstring>
#include <new>

const char HwTuvak::TYPE_NAME[] = "TUVAK";

HwTuvak::HwTuvak(const char* sourceId)
    : HwDataSource(TYPE_NAME), randomPos(TUVAK_RANDOM_EMPTY), portHandle(platform::kInvalidHandle) {
    if (sourceId != nullptr) {
        const size_t length = std::strlen(sourceId);
        id = new (std::nothrow) char[length + 1];
        if (id != nullptr) std::memcpy(id, sourceId, length + 1);
    }
}

CeResult HwTuvak::create(HwDataSource** out, const char* sourceId) {
    HwTuvak* source = new (std::nothrow) HwTuvak(sourceId);
    if (source == nullptr) return CE_NO_MEM;
    if (sourceId != nullptr && source->id == nullptr) {
        delete source;
        return CE_NO_MEM;
    }
    *out = source;
    return CE_OK;
}
