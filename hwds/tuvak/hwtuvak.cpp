#include "hwds/tuvak/hwtuvak.h"

#include <new>

const char HwTuvak::TYPE_NAME[] = "TUVAK";

HwTuvak::HwTuvak(const char* sourceId)
    : HwDataSource(TYPE_NAME, sourceId), randomPos(TUVAK_RANDOM_EMPTY), portHandle(platform::kInvalidPort) {}

CeResult HwTuvak::create(HwDataSource** out, const char* sourceId) {
    return adopt(new (std::nothrow) HwTuvak(sourceId), sourceId, out);
}
