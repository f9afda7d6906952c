// A Touch Memory key on a reader served by the tmdrv32 driver: its pages
// as one flat byte store of 30 data bytes a page, and the driver's random
// generator.
#pragma once

#include <cstdint>

#include "hwds/hwds.h"

inline constexpr uint32_t TM_PAGE_DATA = 30;
inline constexpr uint32_t TM_PAGE_BUFFER = 32;  // the driver's page exchange
inline constexpr uint32_t TM_PAGE_LIMIT = 256;  // page numbers are 8-bit

struct TmFamily {
    uint8_t code;
    uint32_t pages;
    uint32_t firstPage;
};

// The known key families; null for any other code.
const TmFamily* tmFamily(uint8_t code);
// The bytes of a family's pages that 8-bit page numbers reach.
uint32_t tmReachableBytes(const TmFamily& family);
// The bytes of all of a family's pages, reachable or not.
inline uint32_t tmPresentBytes(const TmFamily& family) { return family.pages * TM_PAGE_DATA; }
// The bytes of a key's ROM identifier: family code, serial number, check byte.
inline constexpr uint32_t TM_ROM_SIZE = 8;

class HwAccord : public HwDataSource {
public:
    static const char TYPE_NAME[];
    static const char OPTION_UNCHECKED_READ[];

    bool checkedRead;

    // `id` is an option: null, or "unchecked-read" in any letter case.
    static CeResult create(HwDataSource** out, const char* id);

    explicit HwAccord(bool checked) : HwDataSource(TYPE_NAME), checkedRead(checked) {}

    bool providesRandom() override { return true; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return TYPE_NAME; }
    int32_t write(const uint8_t* data, uint32_t length, uint32_t offset) override;
    int32_t read(uint8_t* data, uint32_t length, uint32_t offset) override;
    int32_t getRandom(uint8_t* data, uint32_t length) override;
    // The bytes a read or write can reach on the attached key.
    int32_t memorySize(uint32_t* size) override;
    // The key's ROM identifier in hexadecimal, family code first, and all its pages' bytes.
    int32_t describe(HwStoreInfo* info) override;

private:
    struct Span {
        uint32_t page;    // first page touched
        uint32_t inPage;  // data byte of the first page
    };
    // Asks for the key and its family, as every request does first.
    // `rom`, when not null, receives the TM_ROM_SIZE bytes of the key's identifier.
    int32_t identify(bool forWrite, const TmFamily** family, unsigned char* rom = nullptr);
    // The checks every read and write begins with; on HWDS_OK with a
    // non-zero length, *span tells where the pages begin.
    int32_t spanFor(const void* data, uint32_t length, uint32_t offset, bool forWrite, Span* span);
};
