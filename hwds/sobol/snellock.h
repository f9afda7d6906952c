// The random card's driver library, loaded and released around every use:
// nothing of it outlives a call.
#pragma once

#include <cstdint>

#include "platform/driver_call.h"

// Called whichever convention the driver uses.
using SbIsCardFn = platform::DriverEntry<int()>;
using SbGetRandFn = platform::DriverEntry<int(unsigned char* buf, uint32_t count)>;

inline constexpr char SNELLOCK_LIBRARY[] = "snellock.dll";

// Whether the card answers, and has just delivered a 32-byte test request.
bool snellockCardPresent();
// Fills `length` bytes; asks the driver for one byte more, into a scratch
// buffer of its own.
bool snellockRandomBytes(uint8_t* data, uint32_t length);
// Asks the driver for bits / 8 bytes.
bool snellockRandomBits(uint8_t* data, uint32_t bits);
