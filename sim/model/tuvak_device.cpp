#include "sim/model/tuvak_device.h"

namespace sim {

namespace {

// Request frame length by command byte; 0 for a byte that starts no frame.
std::size_t frameLength(uint8_t command) {
    switch (command) {
        case kCmdRandom: return 1;
        case kCmdWrite: return 4;
        case kCmdRead: return 3;
        default: return 0;
    }
}

// A wrong byte must really differ from the right one.
uint8_t spoil(uint8_t right) { return static_cast<uint8_t>(~right); }

}  // namespace

uint8_t checkByte(const uint8_t* bytes, std::size_t n) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<uint8_t>(0xFF - (sum & 0xFF));
}

namespace {

// splitmix64: cheap, and the same seed gives the same blocks everywhere.
void splitmix(uint64_t* state, uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; i += 8) {
        uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (std::size_t j = i; j < i + 8 && j < n; ++j, z >>= 8) out[j] = static_cast<uint8_t>(z);
    }
}

}  // namespace

TuvakDevice::TuvakDevice(uint64_t seed) : seed_(seed), random_{seed} {}

void TuvakDevice::keepRandomIn(const std::string& path) {
    randomFile_ = path;
    loadPlace(path, &random_);
}

bool TuvakDevice::active(int64_t after) const { return after >= 0 && answered_ >= static_cast<uint64_t>(after); }

bool TuvakDevice::unplugged() const { return active(faults_.unplugAfter); }

bool TuvakDevice::silent() const { return active(faults_.silentAfter); }

void TuvakDevice::receive(const uint8_t* data, std::size_t n, std::vector<uint8_t>* reply) {
    for (std::size_t i = 0; i < n; ++i) {
        if (unplugged()) {
            pending_.clear();
            return;
        }
        const uint8_t byte = data[i];
        if (pending_.empty() && frameLength(byte) == 0) continue;
        pending_.push_back(byte);
        if (pending_.size() < frameLength(pending_[0])) continue;
        frameLog_.push_back(pending_);
        std::vector<uint8_t> frame;
        frame.swap(pending_);
        if (!silent()) answer(frame, reply);
    }
}

void TuvakDevice::answer(const std::vector<uint8_t>& frame, std::vector<uint8_t>* reply) {
    const uint8_t command = frame[0];
    reply->push_back(active(faults_.badEchoAfter) ? spoil(command) : command);
    const bool badCheck = active(faults_.badCheckAfter);

    if (command == kCmdWrite) {
        const uint8_t address = frame[1];
        const bool valid = address < kMemorySize && frame[3] == checkByte(&frame[1], 2);
        uint8_t ack = kCmdWrite;
        if (!valid) {
            ack = kWriteRefused;
        } else {
            if (!faults_.forget.test(address)) memory_[address] = frame[2];
            if (active(faults_.badAckAfter)) ack = spoil(kCmdWrite);
        }
        reply->push_back(ack);
    } else if (command == kCmdRead) {
        const uint8_t address = frame[1];
        const bool valid = address < kMemorySize && frame[2] == checkByte(&frame[1], 1);
        uint8_t value = kReadRefused;
        uint8_t check = kReadRefused;
        if (valid) {
            value = memory_[address];
            check = static_cast<uint8_t>(~value);
            if (badCheck) {
                // A zero data byte passes with any check, so it has to change too.
                if (value == 0) value = 0xFF;
                check = 0xFF;
            }
        }
        reply->push_back(value);
        reply->push_back(check);
    } else {
        drawRandom(faults_.random, seed_, &random_, lastRandom_.data(), kMemorySize, splitmix);
        if (!randomFile_.empty()) savePlace(randomFile_, random_);
        reply->insert(reply->end(), lastRandom_.begin(), lastRandom_.end());
        const uint8_t check = checkByte(lastRandom_.data(), lastRandom_.size());
        reply->push_back(badCheck ? spoil(check) : check);
    }
    ++answered_;
}

}  // namespace sim
