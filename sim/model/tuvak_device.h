// The Тувак key device as seen from its serial line: a 128-byte memory, a
// random-block generator and the faults a real device or link can show.
// Transport-free: the in-process fake port and tuvak-sim both feed it bytes.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hwds/tuvak/tuvak_devices.h"
#include "sim/model/random_faults.h"

namespace sim {

inline constexpr std::size_t kMemorySize = TUVAK_MEMORY_SIZE;

inline constexpr uint8_t kCmdRandom = 0x05;
inline constexpr uint8_t kCmdWrite = 0x07;
inline constexpr uint8_t kCmdRead = 0x08;

// Reply bytes of a refused request. A refused write is acknowledged with
// kWriteRefused instead of 0x07; a refused read answers data 0xFF with check
// 0xFF, which fails the host's (data AND check) == 0 test.
inline constexpr uint8_t kWriteRefused = 0x15;
inline constexpr uint8_t kReadRefused = 0xFF;

// 0xFF minus the 8-bit sum of the bytes.
uint8_t checkByte(const uint8_t* bytes, std::size_t n);

// Frame counts are the number of request frames answered before the fault
// starts; -1 = never. A fault can be set or changed at any time.
struct Faults {
    int64_t unplugAfter = -1;    // after N frames the device is gone: no replies, the port disappears
    int64_t silentAfter = -1;    // after N frames it stays attached but never answers again
    int64_t badEchoAfter = -1;   // from frame N+1 on, the echo byte is wrong
    int64_t badAckAfter = -1;    // from frame N+1 on, the write acknowledgement is wrong
    int64_t badCheckAfter = -1;  // from frame N+1 on, read replies and random blocks carry a failing check
    uint32_t replyDelayMs = 0;   // transports wait this long before each reply
    bool pace = false;           // transports deliver at the line rate of 115200 8N1
    // Writes to these addresses are acknowledged but not kept: only reading
    // back can tell.
    std::bitset<kMemorySize> forget;
    RandomFaults random;  // of the random blocks, each block one request
};

class TuvakDevice {
public:
    explicit TuvakDevice(uint64_t seed = 1);

    std::array<uint8_t, kMemorySize>& memory() { return memory_; }
    const std::array<uint8_t, kMemorySize>& memory() const { return memory_; }
    Faults& faults() { return faults_; }
    const Faults& faults() const { return faults_; }

    // Bytes from the host; appends the device's answer(s) to *reply. Frames
    // may arrive split across calls. Bytes that cannot begin a frame are
    // dropped; an unplugged device takes nothing in.
    void receive(const uint8_t* data, std::size_t n, std::vector<uint8_t>* reply);

    bool unplugged() const;
    bool silent() const;
    uint64_t framesAnswered() const { return answered_; }
    // Bytes of a request frame received so far but not yet complete.
    std::size_t pendingBytes() const { return pending_.size(); }
    // Every complete request frame as received, answered or not.
    const std::vector<std::vector<uint8_t>>& frameLog() const { return frameLog_; }
    void clearFrameLog() { frameLog_.clear(); }
    // The 128 bytes of the last random block sent (zeros before the first).
    const std::array<uint8_t, kMemorySize>& lastRandomBlock() const { return lastRandom_; }
    // The generator goes on from this file's place, and keeps it there after
    // every block, so that it outlives the process.
    void keepRandomIn(const std::string& path);

private:
    bool active(int64_t after) const;
    void answer(const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply);

    std::array<uint8_t, kMemorySize> memory_{};
    std::array<uint8_t, kMemorySize> lastRandom_{};
    Faults faults_;
    uint64_t seed_;
    GeneratorProgress random_;
    std::string randomFile_;
    uint64_t answered_ = 0;
    std::vector<uint8_t> pending_;
    std::vector<std::vector<uint8_t>> frameLog_;
};

}  // namespace sim
