// Opens a source by type and prints random bytes or a key's memory in hex.
//
//   hwds-example TYPE ID|- random COUNT
//   hwds-example TYPE ID|- read OFFSET COUNT
//
// "-" opens the source without an identifier. A device that needs the
// user's attention ends the run: this program asks nobody.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hwds/hwds.h"

namespace {

int32_t giveUp(void*, const char* type, const char* id, int32_t, int32_t code) {
    if (code != HWDS_PROMPT_END)
        std::fprintf(stderr, "%s %s needs attention (prompt %d)\n", type, id != nullptr ? id : "", code);
    return HWDS_ANSWER_CANCEL;
}

bool count(const char* text, uint32_t* value) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(text, &end, 0);
    if (*text == '\0' || *end != '\0' || n > 0xFFFFFFFFul) return false;
    *value = static_cast<uint32_t>(n);
    return true;
}

int usage() {
    std::fputs(
        "usage: hwds-example TYPE ID|- random COUNT\n"
        "       hwds-example TYPE ID|- read OFFSET COUNT\n",
        stderr);
    return 2;
}

int failed(const char* what, CeResult result) {
    const char* name = ceResultName(result);
    std::fprintf(stderr, "%s: %s\n", what, name != nullptr ? name : "unknown result");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) return usage();
    const char* type = argv[1];
    const char* id = std::strcmp(argv[2], "-") == 0 ? nullptr : argv[2];
    const bool random = std::strcmp(argv[3], "random") == 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    if (random
            ? (argc != 5 || !count(argv[4], &length))
            : (std::strcmp(argv[3], "read") != 0 || argc != 6 || !count(argv[4], &offset) || !count(argv[5], &length)))
        return usage();

    HwDataSource* source = nullptr;
    const CeResult opened = hwdsOpen(&source, type, id);
    if (opened != CE_OK) return failed("open", opened);

    const HWDSInteraction interaction{nullptr, &giveUp, nullptr, nullptr};
    std::vector<uint8_t> data(length);
    const CeResult result = random ? hwdsRandom(source, &interaction, data.data(), length)
                                   : hwdsRead(source, &interaction, data.data(), length, offset);
    if (result != CE_OK) return failed(random ? "random" : "read", result);

    for (uint32_t i = 0; i < length; ++i)
        std::printf("%02x%c", data[i], (i % 16 == 15 || i + 1 == length) ? '\n' : ' ');
    return 0;
}
