#include "hwds/accord/hwaccord.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "hwds/accord/tm_driver.h"
#include "hwds/random_check.h"
#include "platform/ascii.h"

const char HwAccord::TYPE_NAME[] = "ACCORD";
const char HwAccord::OPTION_UNCHECKED_READ[] = "unchecked-read";

namespace {

constexpr TmFamily kFamilies[] = {
    {0x06, 16, 4},
    {0x08, 4, 0},
    {0x0A, 64, 4},
    {0x0C, 256, 4},
};

TmReadPageFn pageReader(bool checked) { return checked ? tmDriver().checkReadPage : tmDriver().rawReadPage; }

}  // namespace

const TmFamily* tmFamily(uint8_t code) {
    for (const TmFamily& f : kFamilies)
        if (f.code == code) return &f;
    return nullptr;
}

uint32_t tmReachableBytes(const TmFamily& family) {
    // The driver takes 8-bit page numbers.
    return std::min(family.pages, TM_PAGE_LIMIT - family.firstPage) * TM_PAGE_DATA;
}

CeResult HwAccord::create(HwDataSource** out, const char* id) {
    if (id != nullptr && !platform::asciiIEquals(id, OPTION_UNCHECKED_READ)) return CE_BAD_PARAM;
    const CeResult loaded = loadTmDriver();
    if (loaded != CE_OK) return loaded;
    return adopt(new (std::nothrow) HwAccord(id == nullptr), nullptr, out);
}

int32_t HwAccord::identify(bool forWrite, const TmFamily** family, unsigned char* rom) {
    const TmDriverBinding& tm = tmDriver();
    if (tm.present == nullptr || tm.getId == nullptr || (forWrite && tm.checkWritePage == nullptr)) return HWDS_FAILED;
    if (tm.present() == 0) return HWDS_NOT_PRESENT;

    unsigned char identifier[TM_ID_BUFFER_SIZE] = {};
    if (!tmSucceeded(tm.getId(identifier))) return HWDS_IO_ERROR;
    if (rom != nullptr) std::memcpy(rom, identifier, TM_ROM_SIZE);
    *family = tmFamily(identifier[0]);
    return *family == nullptr ? HWDS_NOT_SUPPORTED : HWDS_OK;
}

int32_t HwAccord::memorySize(uint32_t* size) {
    const TmFamily* family = nullptr;
    const int32_t identified = identify(false, &family);
    if (identified == HWDS_OK) *size = tmReachableBytes(*family);
    return identified;
}

int32_t HwAccord::describe(HwStoreInfo* info) {
    const TmFamily* family = nullptr;
    unsigned char rom[TM_ROM_SIZE] = {};
    const int32_t identified = identify(false, &family, rom);
    if (identified != HWDS_OK) return identified;
    for (uint32_t i = 0; i < TM_ROM_SIZE; ++i) std::snprintf(info->serial + 2 * i, 3, "%02X", rom[i]);
    info->presentBytes = tmPresentBytes(*family);
    return HWDS_OK;
}

int32_t HwAccord::spanFor(const void* data, uint32_t length, uint32_t offset, bool forWrite, Span* span) {
    if (length != 0 && data == nullptr) return HWDS_BAD_RANGE;
    if (pageReader(checkedRead) == nullptr) return HWDS_NOT_SUPPORTED;
    const TmFamily* family = nullptr;
    const int32_t identified = identify(forWrite, &family);
    if (identified != HWDS_OK) return identified;

    const uint64_t end = uint64_t{offset} + length;
    if (end > uint64_t{family->pages} * TM_PAGE_DATA) return HWDS_BAD_RANGE;
    if (length == 0) return HWDS_OK;
    // A span past page 255 would wrap onto the pages before the data area.
    if (end > tmReachableBytes(*family)) return HWDS_BAD_RANGE;
    span->page = family->firstPage + offset / TM_PAGE_DATA;
    span->inPage = offset % TM_PAGE_DATA;
    return HWDS_OK;
}

int32_t HwAccord::read(uint8_t* data, uint32_t length, uint32_t offset) {
    Span span{};
    const int32_t status = spanFor(data, length, offset, false, &span);
    if (status != HWDS_OK || length == 0) return status;

    const TmDriverBinding& tm = tmDriver();
    const TmReadPageFn readPage = pageReader(checkedRead);
    unsigned char page[TM_PAGE_BUFFER];
    for (uint32_t done = 0; done < length; ++span.page, span.inPage = 0) {
        const uint32_t chunk = std::min(TM_PAGE_DATA - span.inPage, length - done);
        // The key can be taken away between pages.
        if (tm.present() == 0) return HWDS_IO_ERROR;
        if (!tmSucceeded(readPage(span.page, page))) return HWDS_IO_ERROR;
        std::memcpy(data + done, page + span.inPage, chunk);
        done += chunk;
    }
    return HWDS_OK;
}

int32_t HwAccord::write(const uint8_t* data, uint32_t length, uint32_t offset) {
    Span span{};
    const int32_t status = spanFor(data, length, offset, true, &span);
    if (status != HWDS_OK || length == 0) return status;

    const TmDriverBinding& tm = tmDriver();
    const TmReadPageFn readPage = pageReader(checkedRead);
    unsigned char page[TM_PAGE_BUFFER] = {};
    for (uint32_t done = 0; done < length; ++span.page, span.inPage = 0) {
        const uint32_t chunk = std::min(TM_PAGE_DATA - span.inPage, length - done);
        if (tm.present() == 0) return HWDS_IO_ERROR;
        // Bytes of a page that the write does not replace must survive it.
        if (chunk < TM_PAGE_DATA && !tmSucceeded(readPage(span.page, page))) return HWDS_IO_ERROR;
        std::memcpy(page + span.inPage, data + done, chunk);
        if (!tmSucceeded(tm.checkWritePage(span.page, page))) return HWDS_IO_ERROR;
        done += chunk;
    }
    return HWDS_OK;
}

int32_t HwAccord::getRandom(uint8_t* data, uint32_t length) {
    const TmGetRandomBytesFn getRandomBytes = tmDriver().getRandomBytes;
    if (getRandomBytes == nullptr) return HWDS_FAILED;
    if (length != 0 && data == nullptr) return HWDS_BAD_RANGE;
    if (!tmSucceeded(getRandomBytes(data, length))) return HWDS_FAILED;
    return hwds::randomStatus(data, length);
}
