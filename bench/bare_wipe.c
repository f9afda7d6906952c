/* The least a host can do for a wipe: per pass one port opening and, per
 * byte, one write of the request and two 1-byte reads of the reply. No
 * framework, no checks beyond the echo; the yardstick of wipe-bench. */
#include <stdint.h>
#include <unistd.h>

#include "bench/bare_port.h"

static int pass(const char* node, uint8_t value) {
    const int fd = openPort(node);
    if (fd < 0) return 0;
    int ok = 1;
    for (int i = 0; ok && i < 128; ++i) {
        const uint8_t frame[4] = {0x07, (uint8_t)i, value, (uint8_t)(0xFF - (uint8_t)(i + value))};
        uint8_t echo = 0, ack = 0;
        ok = write(fd, frame, 4) == 4 && read(fd, &echo, 1) == 1 && read(fd, &ack, 1) == 1 && echo == 0x07 &&
             ack == 0x07;
    }
    return close(fd) == 0 && ok;
}

int main(int argc, char** argv) {
    static const uint8_t patterns[] = {0xFF, 0x00, 0x55, 0xAA, 0x00};
    if (argc != 2) return 2;
    for (unsigned p = 0; p < sizeof patterns; ++p)
        if (!pass(argv[1], patterns[p])) return 1;
    return 0;
}
