// The Тувак key device: 128 bytes of memory and a random generator behind
// an FTDI USB-serial adapter, found through the adapter driver's data.
#pragma once

#include <cstdint>

#include "hwds/hwds.h"
#include "hwds/tuvak/tuvak_devices.h"

inline constexpr uint8_t TUVAK_CMD_RANDOM = 0x05;
inline constexpr uint8_t TUVAK_CMD_WRITE = 0x07;
inline constexpr uint8_t TUVAK_CMD_READ = 0x08;

// exchangeBuf: echo, 128 random bytes, check byte.
inline constexpr uint32_t TUVAK_EXCHANGE_SIZE = TUVAK_MEMORY_SIZE + 2;
// randomPos when the cache holds nothing.
inline constexpr uint32_t TUVAK_RANDOM_EMPTY = TUVAK_MEMORY_SIZE + 1;

class HwTuvak : public HwDataSource {
public:
    static const char TYPE_NAME[];

    uint32_t randomPos;
    platform::PortHandle portHandle;
    uint8_t exchangeBuf[TUVAK_EXCHANGE_SIZE];

    // Touches neither the registry nor the device. *out stays null on failure.
    static CeResult create(HwDataSource** out, const char* id);

    // `id` is copied; check that a non-null one was (the copy can fail).
    explicit HwTuvak(const char* id);

    bool providesRandom() override { return true; }
    bool providesStorage() override { return true; }
    const char* typeName() override { return TYPE_NAME; }
    int32_t write(const uint8_t* data, uint32_t length, uint32_t offset) override;
    int32_t read(uint8_t* data, uint32_t length, uint32_t offset) override;
    int32_t getRandom(uint8_t* data, uint32_t length) override;
    int32_t memorySize(uint32_t* size) override {
        *size = TUVAK_MEMORY_SIZE;  // fixed by the device: nothing to ask it
        return HWDS_OK;
    }
    // The identifier is the adapter's serial number as its driver lists it.
    int32_t describe(HwStoreInfo* info) override;

    // Finds the device's COM port, opens it exclusively and sets the line.
    // Always follow with disconnect, whatever it returned.
    virtual int32_t connect();
    // Closes the port if open; a failed close turns only HWDS_OK into HWDS_FAILED.
    virtual int32_t disconnect(int32_t status);
    virtual int32_t probe();
    virtual int32_t fetchRandomBlock();

private:
    bool send(const uint8_t* frame, uint32_t length);
    bool receive(uint8_t* buffer, uint32_t length);
    // True when no byte follows the last reply within waitMs.
    bool lineQuiet(uint32_t waitMs);
};

// 0xFF minus the 8-bit sum: the check byte of requests and random blocks.
uint8_t tuvakCheck(const uint8_t* bytes, uint32_t length);
