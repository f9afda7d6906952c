#include <cstdio>

#include "tool/messages.h"
#include "tool/voriridod.h"

namespace voriridod {

namespace {

const char* fixedMessage(CeResult code) {
    switch (code) {
        case CE_CANCELED: return msg::MSG_ERR_NOT_CONNECTED;
        case CE_HW_FAIL_LOCK: return msg::MSG_ERR_LOCK;
        case CE_HW_FAIL: return msg::MSG_ERR_FAULTY;
        case CE_HW_WRITE_FAILED: return msg::MSG_ERR_WRITE;
        case CE_HW_ACCESS_DENIED: return msg::MSG_ERR_ACCESS;
        default: return nullptr;
    }
}

}  // namespace

void reportError(CeResult code) {
    char text[kMessageBufferSize];
    if (const char* fixed = fixedMessage(code)) {
        std::snprintf(text, sizeof text, "\n%s\n", fixed);
    } else if (const char* name = ceResultName(code)) {
        std::snprintf(text, sizeof text, "\n%s%s\n", msg::MSG_ERR_INTERNAL, name);
    } else {
        // No name exists for it; the number is the best we can show.
        std::snprintf(text, sizeof text, "\n%s%ld\n", msg::MSG_ERR_INTERNAL, static_cast<long>(code));
    }
    writeText(platform::Stream::Err, text);
}

}  // namespace voriridod
