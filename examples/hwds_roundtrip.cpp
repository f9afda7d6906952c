// Lists the attached Тувак devices, opens one source, writes a few bytes and
// reads them back where it has memory, and takes random bytes from it.
//
//   hwds-roundtrip TUVAK AB12CD34E    hwds-roundtrip ACCORD    hwds-roundtrip SOBOL
//
// Exit status 0 when everything the source offers worked.
#include <cstdio>
#include <cstring>
#include <vector>

#include "hwds/hwds.h"
#include "hwds/tuvak/tuvak_devices.h"

namespace {

// No one to ask: a device that needs attention ends the request.
int32_t cancel(void*, const char*, const char*, int32_t, int32_t) { return HWDS_ANSWER_CANCEL; }

bool report(const char* what, CeResult result) {
    const char* name = ceResultName(result);
    std::printf("%-8s %s\n", what, name != nullptr ? name : "?");
    return result == CE_OK;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hwds-roundtrip TYPE [ID]\n");
        return 2;
    }
    const char* type = argv[1];
    const char* id = argc > 2 ? argv[2] : nullptr;

    std::vector<HwTuvakDevice> devices;
    if (hwdsListTuvak(&devices) == CE_OK) {
        for (const HwTuvakDevice& d : devices)
            std::printf("listed   %s %s %s\n", d.id.c_str(), d.comName.c_str(), d.node.c_str());
    }

    HwDataSource* source = nullptr;
    if (!report("open", hwdsOpen(&source, type, id))) return 1;
    const HWDSInteraction interaction{nullptr, &cancel, nullptr, nullptr};
    bool ok = true;

    if (source->providesStorage()) {
        const uint8_t pattern[8] = {0x68, 0x77, 0x64, 0x73, 0x00, 0xFF, 0x55, 0xAA};
        uint8_t back[sizeof pattern] = {};
        ok = report("write", hwdsWrite(source, &interaction, pattern, sizeof pattern, 0)) &&
             report("read", hwdsRead(source, &interaction, back, sizeof back, 0)) && ok;
        if (std::memcmp(pattern, back, sizeof pattern) != 0) {
            std::printf("compare  the bytes read back differ\n");
            ok = false;
        }
    }
    if (source->providesRandom()) {
        uint8_t random[16] = {};
        ok = report("random", hwdsRandom(source, &interaction, random, sizeof random)) && ok;
        for (uint8_t b : random) std::printf("%02x", b);
        std::printf("\n");
    }
    return ok ? 0 : 1;
}
