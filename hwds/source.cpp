#include <cstring>

#include "hwds/hwds.h"
#include "hwds/mutex_guard.h"
#include "hwds/tuvak/hwtuvak.h"
#include "platform/ascii.h"

namespace {

HwDataSource* openSources = nullptr;
platform::Handle registryLock = platform::kNullHandle;

using Factory = CeResult (*)(HwDataSource** out, const char* id);

struct SourceType {
    const char* name;
    Factory create;  // null: not built into this system yet
};

// Compared in this order.
constexpr SourceType kSourceTypes[] = {
    {"ACCORD", nullptr},
    {"SOBOL", nullptr},
    {"TUVAK", &HwTuvak::create},
};

// The list and its lock live from process start to normal exit.
struct Lifetime {
    Lifetime() { hwdsStartup(); }
    ~Lifetime() { hwdsTeardown(); }
} lifetime;

}  // namespace

HwDataSource::HwDataSource(const char* typeText)
    : type(typeText), lock(platform::current().mutexes->create()), next(nullptr), id(nullptr) {}

HwDataSource::~HwDataSource() {
    delete[] id;
    id = nullptr;
    type = nullptr;
    if (lock != platform::kNullHandle) platform::current().mutexes->close(lock);
    lock = platform::kNullHandle;
}

bool HwDataSource::matchesId(const char* otherId) {
    if (id == nullptr || otherId == nullptr) return id == nullptr && otherId == nullptr;
    return std::strcmp(id, otherId) == 0;
}

int32_t HwDataSource::write(const uint8_t*, uint32_t, uint32_t) { return HWDS_NOT_SUPPORTED; }
int32_t HwDataSource::read(uint8_t*, uint32_t, uint32_t) { return HWDS_NOT_SUPPORTED; }
int32_t HwDataSource::getRandom(uint8_t*, uint32_t) { return HWDS_NOT_SUPPORTED; }

CeResult hwdsOpen(HwDataSource** out, const char* type, const char* id) {
    if (out == nullptr || type == nullptr) return CE_BAD_PARAM;
    hwds::MutexGuard guard(registryLock);
    if (!guard.acquired()) return CE_HW_FAIL_LOCK;

    HwDataSource* found = openSources;
    while (found != nullptr && !(platform::asciiIEquals(found->type, type) && found->matchesId(id)))
        found = found->next;
    *out = found;
    if (found != nullptr) return CE_OK;

    CeResult result = CE_HW_NOT_SUPPORTED;
    for (const SourceType& t : kSourceTypes) {
        if (platform::asciiIEquals(t.name, type)) {
            if (t.create != nullptr) result = t.create(out, id);
            break;
        }
    }
    if (result == CE_OK) {
        (*out)->next = openSources;
        openSources = *out;
    }
    return result;
}

void hwdsStartup() {
    openSources = nullptr;
    registryLock = platform::current().mutexes->create();
}

void hwdsTeardown() {
    if (registryLock != platform::kNullHandle) platform::current().mutexes->close(registryLock);
    registryLock = platform::kNullHandle;
    HwDataSource* source = openSources;
    while (source != nullptr) {
        HwDataSource* following = source->next;
        delete source;
        source = following;
    }
    openSources = nullptr;
}

HwDataSource* hwdsOpenSources() { return openSources; }
