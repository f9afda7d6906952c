#include "hwds/tuvak/hwtuvak.h"

#include <cstdio>
#include <new>

const char HwTuvak::TYPE_NAME[] = "TUVAK";

HwTuvak::HwTuvak(const char* sourceId)
    : HwDataSource(TYPE_NAME, sourceId), randomPos(TUVAK_RANDOM_EMPTY), portHandle(platform::kInvalidPort) {}

CeResult HwTuvak::create(HwDataSource** out, const char* sourceId) {
    return adopt(new (std::nothrow) HwTuvak(sourceId), sourceId, out);
}

int32_t HwTuvak::describe(HwStoreInfo* info) {
    // Cut to fit, as a registry text would be; identifiers are short.
    std::snprintf(info->serial, sizeof info->serial, "%s", id != nullptr ? id : "");
    info->presentBytes = TUVAK_MEMORY_SIZE;
    return HWDS_OK;
}
