// The device's frames: one request, then its whole reply, one byte of memory
// at a time; random bytes 128 to a block.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "hwds/tuvak/hwtuvak.h"

namespace {

using Clock = std::chrono::steady_clock;

// The last exchanges of an operation, each timed from the end of the one
// before (or the timer's start) to its reply: one clock read per exchange.
// Only the last two count: a stray reply is one to the last requests, and a
// hiccup of the host earlier on must not lengthen the look after the last.
class ExchangeTimer {
public:
    void replied() {
        const Clock::time_point now = Clock::now();
        slowest_ = std::max(latest_, now - last_);
        latest_ = now - last_;
        last_ = now;
    }
    // How long a stray reply can still take to come: one and a half times
    // the slower of the last two exchanges, at least the floor.
    uint32_t lateByteWaitMs() const {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(slowest_ * 3 / 2).count();
        return std::max(platform::kSerialLateByteMs, static_cast<uint32_t>(std::min<int64_t>(wait, 1000)));
    }

private:
    Clock::time_point last_ = Clock::now();
    Clock::duration latest_{}, slowest_{};
};

bool inRange(const void* data, uint32_t length, uint32_t offset) {
    if (data == nullptr && length != 0) return false;
    return static_cast<uint64_t>(offset) + length <= TUVAK_MEMORY_SIZE;
}

}  // namespace

uint8_t tuvakCheck(const uint8_t* bytes, uint32_t length) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return static_cast<uint8_t>(0xFF - sum);
}

bool HwTuvak::send(const uint8_t* frame, uint32_t length) {
    uint32_t written = 0;
    return platform::current().serial->write(portHandle, frame, length, &written) && written == length;
}

bool HwTuvak::receive(uint8_t* buffer, uint32_t length) {
    uint32_t got = 0;
    return platform::current().serial->read(portHandle, buffer, length, &got) && got == length;
}

// Every request has exactly one reply, so after the last one the line is
// quiet. A byte that still comes means the replies were out of step (stray
// bytes after the purge): each reply taken was an earlier one's, and the
// last request's reply was never seen; that reply comes at most about one
// exchange after the last request. Only a byte counts: a line that fails now
// has already answered everything asked of it.
bool HwTuvak::lineQuiet(uint32_t waitMs) {
    uint8_t extra = 0;
    uint32_t got = 0;
    platform::current().serial->readFor(portHandle, &extra, 1, waitMs, &got);
    return got == 0;
}

int32_t HwTuvak::write(const uint8_t* data, uint32_t length, uint32_t offset) {
    if (!inRange(data, length, offset)) return HWDS_BAD_RANGE;
    int32_t status = connect();
    if (status != HWDS_OK) return disconnect(status);

    ExchangeTimer timer;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t frame[4] = {TUVAK_CMD_WRITE, static_cast<uint8_t>(offset + i), data[i], 0};
        frame[3] = tuvakCheck(frame + 1, 2);
        uint8_t echo = 0;
        uint8_t ack = 0;
        if (!send(frame, sizeof frame) || !receive(&echo, 1) || echo != TUVAK_CMD_WRITE || !receive(&ack, 1) ||
            ack != TUVAK_CMD_WRITE) {
            status = HWDS_WRITE_ERROR;
            break;
        }
        timer.replied();
    }
    if (status == HWDS_OK && length != 0 && !lineQuiet(timer.lateByteWaitMs())) status = HWDS_WRITE_ERROR;
    return disconnect(status);
}

int32_t HwTuvak::read(uint8_t* data, uint32_t length, uint32_t offset) {
    if (!inRange(data, length, offset)) return HWDS_BAD_RANGE;
    int32_t status = connect();
    if (status != HWDS_OK) return disconnect(status);

    ExchangeTimer timer;
    for (uint32_t i = 0; i < length; ++i) {
        uint8_t frame[3] = {TUVAK_CMD_READ, static_cast<uint8_t>(offset + i), 0};
        frame[2] = tuvakCheck(frame + 1, 1);
        uint8_t echo = 0;
        uint8_t reply[2] = {0, 0};  // data byte, check byte
        if (!send(frame, sizeof frame) || !receive(&echo, 1) || echo != TUVAK_CMD_READ || !receive(reply, 2) ||
            (reply[0] & reply[1]) != 0) {
            status = HWDS_IO_ERROR;
            break;
        }
        data[i] = reply[0];
        timer.replied();
    }
    if (status == HWDS_OK && length != 0 && !lineQuiet(timer.lateByteWaitMs())) status = HWDS_IO_ERROR;
    return disconnect(status);
}

int32_t HwTuvak::fetchRandomBlock() {
    int32_t status = connect();
    if (status != HWDS_OK) return disconnect(status);

    ExchangeTimer timer;
    exchangeBuf[0] = TUVAK_CMD_RANDOM;
    bool ok = send(exchangeBuf, 1) && receive(exchangeBuf, 1) && exchangeBuf[0] == TUVAK_CMD_RANDOM;
    // Timed to the echo: the first byte is all that a stray reply needs to show.
    if (ok) timer.replied();
    ok = ok && receive(exchangeBuf + 1, TUVAK_MEMORY_SIZE + 1) &&
         exchangeBuf[TUVAK_MEMORY_SIZE + 1] == tuvakCheck(exchangeBuf + 1, TUVAK_MEMORY_SIZE);
    if (!ok || !lineQuiet(timer.lateByteWaitMs())) status = HWDS_IO_ERROR;
    return disconnect(status);
}

int32_t HwTuvak::getRandom(uint8_t* data, uint32_t length) {
    if (length == 0) return probe();
    if (data == nullptr) return HWDS_BAD_RANGE;

    if (randomPos <= TUVAK_MEMORY_SIZE) {
        const uint32_t n = std::min(TUVAK_RANDOM_EMPTY - randomPos, length);
        std::memcpy(data, exchangeBuf + randomPos, n);
        randomPos += n;
        data += n;
        length -= n;
    }
    while (length != 0) {
        // The cache is empty here, so a block that fails is never served.
        const int32_t status = fetchRandomBlock();
        if (status != HWDS_OK) return status;
        const uint32_t n = std::min(length, TUVAK_MEMORY_SIZE);
        std::memcpy(data, exchangeBuf + 1, n);
        data += n;
        length -= n;
        if (n < TUVAK_MEMORY_SIZE) randomPos = n + 1;
    }
    return HWDS_OK;
}
