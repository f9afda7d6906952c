// A random-number card served by the snellock driver library: random bytes
// only, no memory.
#pragma once

#include <cstdint>

#include "hwds/hwds.h"

class HwSobol : public HwDataSource {
public:
    static const char TYPE_NAME[];

    // `id`, when given, must be what strtoul reads whole in base 16: hexadecimal
    // digits after optional white space, a sign and "0x", or the empty text. It
    // selects nothing and is not kept. The card must answer.
    static CeResult create(HwDataSource** out, const char* id);

    HwSobol() : HwDataSource(TYPE_NAME) {}

    bool providesRandom() override { return true; }
    bool providesStorage() override { return false; }
    const char* typeName() override { return TYPE_NAME; }
    int32_t getRandom(uint8_t* data, uint32_t length) override;
};
