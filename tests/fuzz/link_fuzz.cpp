// HwTuvak over the in-process transport, the device's faults, stray bytes on
// the line and the requests from the input. HWDS_OK must follow only proper
// answers to every request, with nothing else on the line; random bytes come
// out once each, in order, never from a block that failed.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "hwds/tuvak/hwtuvak.h"
#include "platform/regtree.h"
#include "sim/model/inprocess_ports.h"
#include "sim/model/tuvak_device.h"
#include "tests/fakes/ftdi_registry.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr char kPort[] = "\\\\.\\COM3";

// A finding names the check it broke.
#define require(condition) \
    ((condition) ? (void)0 : (std::fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition), __builtin_trap()))

// The in-process ports, putting stray bytes on the line after a request or
// a purge when the input says so, and keeping every byte the source read.
class NoisyPorts : public sim::InProcessPorts {
public:
    explicit NoisyPorts(FuzzedDataProvider& input) : input_(input) {}

    bool write(platform::PortHandle port, const uint8_t* data, uint32_t length, uint32_t* written) override {
        const bool ok = InProcessPorts::write(port, data, length, written);
        if (ok && input_.remaining_bytes() > 0 && input_.ConsumeIntegralInRange<int>(0, 15) == 0) {
            const Bytes bytes = input_.ConsumeBytes<uint8_t>(input_.ConsumeIntegralInRange<std::size_t>(1, 3));
            if (!bytes.empty()) {
                stray(kPort, bytes);
                strayed = true;
            }
        }
        return ok;
    }
    bool read(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t* got) override {
        return readFor(port, data, length, 0, got);
    }
    bool readFor(platform::PortHandle port, uint8_t* data, uint32_t length, uint32_t ms, uint32_t* got) override {
        const bool ok = InProcessPorts::readFor(port, data, length, ms, got);
        consumed.insert(consumed.end(), data, data + *got);
        return ok;
    }
    // Bytes that arrive right after the next purge, whichever operation makes it.
    void strayAtPurge(const Bytes& bytes) {
        if (bytes.empty()) return;
        strayAfterPurge(kPort, bytes);
        ++queued_;
    }
    bool purge(platform::PortHandle port, uint32_t flags) override {
        const bool ok = InProcessPorts::purge(port, flags);
        if (!ok || queued_ == 0) return ok;
        --queued_;
        strayed = true;
        return true;
    }

    Bytes consumed;        // during the current operation
    bool strayed = false;  // during the current operation
    FuzzedDataProvider& input_;
    int queued_ = 0;
};

// Whether the bytes the source read are, in order and with nothing more, a
// well-formed reply to each request it sent: what a source may call success.
// The data bytes of read replies go to *values, random blocks to *blocks.
bool wellFormed(const std::vector<Bytes>& requests, const Bytes& consumed, Bytes* values, std::vector<Bytes>* blocks) {
    std::size_t at = 0;
    auto take = [&](std::size_t n) {  // nothing once the bytes run short
        at += n;
        return at <= consumed.size() ? Bytes(consumed.begin() + static_cast<std::ptrdiff_t>(at - n),
                                             consumed.begin() + static_cast<std::ptrdiff_t>(at))
                                     : Bytes();
    };
    for (const Bytes& request : requests) {
        if (request.empty()) return false;
        if (request[0] == sim::kCmdWrite) {
            if (take(2) != Bytes{sim::kCmdWrite, sim::kCmdWrite}) return false;
        } else if (request[0] == sim::kCmdRead) {
            const Bytes reply = take(3);
            if (reply.size() != 3 || reply[0] != sim::kCmdRead || (reply[1] & reply[2]) != 0) return false;
            values->push_back(reply[1]);
        } else {
            const Bytes reply = take(TUVAK_EXCHANGE_SIZE);
            if (reply.size() != TUVAK_EXCHANGE_SIZE || reply[0] != sim::kCmdRandom ||
                reply.back() != sim::checkByte(reply.data() + 1, TUVAK_MEMORY_SIZE))
                return false;
            blocks->emplace_back(reply.begin() + 1, reply.end() - 1);
        }
    }
    return at == consumed.size();
}

// Whether a fault beginning after frame `after` touches frames first .. first + count - 1.
bool touches(int64_t after, uint64_t first, uint64_t count) {
    return after >= 0 && count > 0 && static_cast<uint64_t>(after) < first + count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    platform::TreeRegistry registry;
    fakes::addFtdiDriver(registry.tree(), {{fakes::instancePath("ID1"), "COM3"}});
    sim::TuvakDevice device(input.ConsumeIntegral<uint64_t>());
    NoisyPorts ports(input);
    ports.attach(kPort, &device);
    platform::ScopedServices services({.registry = &registry, .serial = &ports});
    HwTuvak source("ID1");

    Bytes cached;  // the random bytes the source should hold, in order
    for (int op = 0; op < 6 && input.remaining_bytes() > 0; ++op) {
        // Faults from some frame on, counted from now.
        const uint64_t now = device.framesAnswered();
        auto threshold = [&] {
            return input.ConsumeBool() ? static_cast<int64_t>(now + input.ConsumeIntegralInRange<uint64_t>(0, 140))
                                       : -1;
        };
        sim::Faults& faults = device.faults();
        for (auto field : {&sim::Faults::badEchoAfter, &sim::Faults::badAckAfter, &sim::Faults::badCheckAfter,
                           &sim::Faults::silentAfter})
            faults.*field = threshold();
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0) faults.unplugAfter = threshold();
        if (input.ConsumeIntegralInRange<int>(0, 7) == 0)
            ports.strayAtPurge(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<std::size_t>(1, 3)));

        const int kind = input.ConsumeIntegralInRange<int>(0, 2);
        const uint32_t offset = input.ConsumeIntegralInRange<uint32_t>(0, 130);
        const uint32_t length = input.ConsumeIntegralInRange<uint32_t>(0, kind == 2 ? 300 : 130);
        Bytes buffer = input.ConsumeBytes<uint8_t>(length);
        buffer.resize(length, 0xEE);
        const Bytes written = buffer;

        ports.consumed.clear();
        ports.strayed = false;
        device.clearFrameLog();
        const std::size_t requestsBefore = ports.writes().size();
        const uint64_t first = device.framesAnswered();
        const bool unpluggedBefore = device.unplugged();
        const int32_t status = kind == 0   ? source.write(buffer.data(), length, offset)
                               : kind == 1 ? source.read(buffer.data(), length, offset)
                                           : source.getRandom(buffer.data(), length);
        std::vector<Bytes> requests = ports.writes();
        requests.erase(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(requestsBefore));
        const uint64_t sent = requests.size();

        if (kind != 2 && static_cast<uint64_t>(offset) + length > TUVAK_MEMORY_SIZE) {
            require(status == HWDS_BAD_RANGE && sent == 0 && ports.consumed.empty());
            continue;
        }
        Bytes values;
        std::vector<Bytes> blocks;
        const bool formed = wellFormed(requests, ports.consumed, &values, &blocks) && ports.undelivered(kPort) == 0;
        // The device answered everything properly and nothing else came.
        const bool clean = !ports.strayed && device.framesAnswered() - first == sent &&
                           device.frameLog().size() == sent && !touches(faults.badEchoAfter, first, sent) &&
                           !touches(kind == 0 ? faults.badAckAfter : faults.badCheckAfter, first, sent);

        // Success only after well-formed replies to whatever was sent (random
        // bytes the cache holds need nothing sent), one request per byte.
        if (status == HWDS_OK) require((sent == 0 || formed) && (kind == 2 || sent == length));
        if (kind == 0 && status == HWDS_OK && clean)
            require(std::equal(written.begin(), written.end(), device.memory().begin() + offset));
        if (kind == 1 && status == HWDS_OK)
            require(values == buffer &&
                    (!clean || std::equal(buffer.begin(), buffer.end(), device.memory().begin() + offset)));
        if (kind == 2 && length > 0) {
            if (status == HWDS_OK) {
                // The cache first, then each block fetched now, whole but the last.
                Bytes expected = cached;
                for (const Bytes& block : blocks) expected.insert(expected.end(), block.begin(), block.end());
                require(expected.size() >= length && std::equal(buffer.begin(), buffer.end(), expected.begin()));
                cached.assign(expected.begin() + length, expected.end());
                require(cached.size() < TUVAK_MEMORY_SIZE && source.randomPos == TUVAK_RANDOM_EMPTY - cached.size());
            } else {
                // A failed request leaves nothing cached: no byte of it is served later.
                require(source.randomPos == TUVAK_RANDOM_EMPTY);
                cached.clear();
            }
        }
        // A clean exchange with a device that is there succeeds.
        if (clean && !unpluggedBefore && !device.unplugged() && sent > 0) require(status == HWDS_OK);
        require(ports.openPorts() == 0);
    }
    return 0;
}
