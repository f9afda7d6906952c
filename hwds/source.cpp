#include <cstring>
#include <iterator>
#include <new>

#include "hwds/accord/hwaccord.h"
#include "hwds/accord/tm_driver.h"
#include "hwds/health.h"
#include "hwds/hwds.h"
#include "hwds/lifetime.h"
#include "hwds/mutex_guard.h"
#include "hwds/sobol/hwsobol.h"
#include "hwds/tuvak/hwtuvak.h"
#include "platform/ascii.h"

namespace {

HwDataSource* openSources = nullptr;
platform::MutexHandle registryLock = platform::kNoMutex;

using Factory = CeResult (*)(HwDataSource** out, const char* id);

// A source type is its folder and one row here.
struct SourceType {
    const char* name;
    Factory create;
    void (*startup)();  // the unit's own start-up work, or null
    void (*exit)();     // runs after the framework's teardown, or null
    double minEntropy;  // claimed for its random bytes, in bits a byte
};

// Until an assessment of a generator says otherwise.
constexpr double kUnassessedMinEntropy = 4;

// Compared in this order.
constexpr SourceType kSourceTypes[] = {
    {HwAccord::TYPE_NAME, &HwAccord::create, &tmDriverStartup, &tmDriverExit, kUnassessedMinEntropy},
    {HwSobol::TYPE_NAME, &HwSobol::create, nullptr, nullptr, kUnassessedMinEntropy},
    {HwTuvak::TYPE_NAME, &HwTuvak::create, nullptr, nullptr, kUnassessedMinEntropy},
};

// The list and the locks live from process start to normal exit.
struct Lifetime {
    Lifetime() { hwds::processStartup(); }
    ~Lifetime() { hwds::processExit(); }
} lifetime;

}  // namespace

HwDataSource::HwDataSource(const char* typeText, const char* keptId)
    : type(typeText), lock(platform::current().mutexes->create()), next(nullptr), id(nullptr) {
    if (keptId != nullptr) {
        const size_t size = std::strlen(keptId) + 1;
        id = new (std::nothrow) char[size];
        if (id != nullptr) std::memcpy(id, keptId, size);
    }
}

CeResult HwDataSource::adopt(HwDataSource* created, const char* keptId, HwDataSource** out) {
    if (created == nullptr) return CE_NO_MEM;
    if (keptId != nullptr && created->id == nullptr) {
        delete created;
        return CE_NO_MEM;
    }
    *out = created;
    return CE_OK;
}

HwDataSource::~HwDataSource() {
    delete health;
    health = nullptr;
    delete[] id;
    id = nullptr;
    type = nullptr;
    if (lock != platform::kNoMutex) platform::current().mutexes->close(lock);
    lock = platform::kNoMutex;
}

bool HwDataSource::matchesId(const char* otherId) {
    if (id == nullptr || otherId == nullptr) return id == nullptr && otherId == nullptr;
    return std::strcmp(id, otherId) == 0;
}

int32_t HwDataSource::write(const uint8_t*, uint32_t, uint32_t) { return HWDS_NOT_SUPPORTED; }
int32_t HwDataSource::read(uint8_t*, uint32_t, uint32_t) { return HWDS_NOT_SUPPORTED; }
int32_t HwDataSource::getRandom(uint8_t*, uint32_t) { return HWDS_NOT_SUPPORTED; }
int32_t HwDataSource::memorySize(uint32_t*) { return HWDS_NOT_SUPPORTED; }

int32_t HwDataSource::describe(HwStoreInfo*) { return HWDS_NOT_SUPPORTED; }

const char* hwdsSourceType(uint32_t index) {
    return index < std::size(kSourceTypes) ? kSourceTypes[index].name : nullptr;
}

double hwdsClaimedMinEntropy(const char* type) {
    for (const SourceType& t : kSourceTypes)
        if (type != nullptr && platform::asciiIEquals(t.name, type)) return t.minEntropy;
    return kUnassessedMinEntropy;
}

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
            result = t.create(out, id);
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
    if (registryLock != platform::kNoMutex) platform::current().mutexes->close(registryLock);
    registryLock = platform::kNoMutex;
    HwDataSource* source = openSources;
    while (source != nullptr) {
        HwDataSource* following = source->next;
        delete source;
        source = following;
    }
    openSources = nullptr;
}

HwDataSource* hwdsOpenSources() { return openSources; }

namespace hwds {

void processStartup() {
    hwdsStartup();
    for (const SourceType& t : kSourceTypes)
        if (t.startup != nullptr) t.startup();
}

void processExit() {
    hwdsTeardown();
    for (const SourceType& t : kSourceTypes)
        if (t.exit != nullptr) t.exit();
}

}  // namespace hwds
