#include "hwds/hwds.h"

const char* const CE_RESULT_NAMES[CE_RESULT_COUNT] = {
    "CE_OK",
    "CE_RNG_NOT_INIT",
    "CE_RNG_FAIL",
    "CE_RNG_INSECURE",
    "CE_RNG_FAIL_LOCK",
    "CE_HW_NOT_FOUND",
    "CE_BAD_PARAM",
    "CE_NO_MEM",
    "CE_CODE_CORRUPTED",
    "CE_SIGN_BAD",
    "CE_BAD_LEN",
    "CE_BAD_ORDER",
    "CE_ALG_NOT_SUPPORTED",
    "CE_INTERNAL_ERROR",
    "CE_HASH_NOT_FINISHED",
    "CE_KEY_NOT_VALID",
    "CE_CRC_BAD",
    "CE_RNG_NEED_INTERACTIVE_INIT",
    "CE_RNG_NEED_INTERACTION",
    "CE_CANCELED",
    "CE_HW_NOT_SUPPORTED",
    "CE_HW_OP_NOT_SUPPORTED",
    "CE_HW_FAIL_LOCK",
    "CE_HW_FAIL",
    "CE_HW_NEED_INTERACTION",
    "CE_TIMEOUT",
    "CE_HW_ACCESS_DENIED",
    "CE_HW_WRITE_FAILED",
    "CE_MAC_BAD",
};

const char* ceResultName(CeResult code) {
    return code >= 0 && code < CE_RESULT_COUNT ? CE_RESULT_NAMES[code] : nullptr;
}
