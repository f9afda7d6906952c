// A simulated generator's faults and where it stands, shared by the device
// model and the simulated driver libraries (header-only, so that the
// libraries need no other code).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace sim {

struct RandomFaults {
    int onesPercent = -1;       // 0..100: the share of one-bits; -1: unbiased
    uint64_t stuckBytes = 0;    // > 0: the generator's first N bytes, again and again
    uint64_t restartEvery = 0;  // > 0: back to the seed every N requests
};

// How far a generator has run: what it keeps between requests, loads and
// processes.
struct GeneratorProgress {
    uint64_t state = 0;     // the generator's own state
    uint64_t requests = 0;  // since the last restart
    uint64_t stuckAt = 0;   // within the stuck bytes
};

// One request of n bytes. `fresh(&state, out, count)` makes the
// generator's next bytes from a state and moves the state on.
template <class Fresh>
void drawRandom(const RandomFaults& faults, uint64_t seed, GeneratorProgress* place, uint8_t* out, std::size_t n,
                Fresh fresh) {
    if (faults.restartEvery > 0 && place->requests >= faults.restartEvery) *place = GeneratorProgress{seed};
    ++place->requests;
    if (faults.stuckBytes > 0) {
        std::vector<uint8_t> block(faults.stuckBytes);
        uint64_t start = seed;
        fresh(&start, block.data(), block.size());
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = block[place->stuckAt];
            place->stuckAt = (place->stuckAt + 1) % faults.stuckBytes;
        }
        return;
    }
    if (faults.onesPercent < 0) {
        fresh(&place->state, out, n);
        return;
    }
    // Each bit is one when a fresh byte falls below the share.
    std::vector<uint8_t> draws(n * 8);
    fresh(&place->state, draws.data(), draws.size());
    const unsigned below = (static_cast<unsigned>(faults.onesPercent) * 256 + 50) / 100;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned byte = 0;
        for (std::size_t j = 0; j < 8; ++j) byte = byte << 1 | (draws[i * 8 + j] < below ? 1u : 0u);
        out[i] = static_cast<uint8_t>(byte);
    }
}

// "state requests stuckAt", the form kept in state files.
inline std::string placeText(const GeneratorProgress& p) {
    char text[80];
    std::snprintf(text, sizeof text, "%llu %llu %llu", static_cast<unsigned long long>(p.state),
                  static_cast<unsigned long long>(p.requests), static_cast<unsigned long long>(p.stuckAt));
    return text;
}

inline bool parsePlace(const std::string& text, GeneratorProgress* p) {
    unsigned long long state = 0, requests = 0, stuckAt = 0;
    if (std::sscanf(text.c_str(), "%llu %llu %llu", &state, &requests, &stuckAt) != 3) return false;
    *p = GeneratorProgress{state, requests, stuckAt};
    return true;
}

// A missing or unreadable file leaves *p as it was.
inline bool loadPlace(const std::string& path, GeneratorProgress* p) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    char text[96] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    return parsePlace(std::string(text, n), p);
}

inline void savePlace(const std::string& path, const GeneratorProgress& p) {
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        const std::string text = placeText(p) + "\n";
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
}

}  // namespace sim
