#include "hwds/sobol/hwsobol.h"

#include <cstdlib>
#include <new>

#include "hwds/random_check.h"
#include "hwds/sobol/snellock.h"

const char HwSobol::TYPE_NAME[] = "SOBOL";

CeResult HwSobol::create(HwDataSource** out, const char* id) {
    if (id != nullptr) {
        char* end = nullptr;
        std::strtoul(id, &end, 16);
        if (*end != '\0') return CE_BAD_PARAM;
    }
    if (!snellockCardPresent()) return CE_HW_NOT_FOUND;
    return adopt(new (std::nothrow) HwSobol, nullptr, out);
}

int32_t HwSobol::getRandom(uint8_t* data, uint32_t length) {
    if (length != 0 && data == nullptr) return HWDS_BAD_RANGE;
    if (!snellockRandomBytes(data, length)) return HWDS_FAILED;
    return hwds::randomStatus(data, length);
}
