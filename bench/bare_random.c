/* The least a host can do for 64 KiB of random bytes: per block one port
 * opening and purge, one 1-byte write of the request and two reads of the
 * reply (the echo, then the 128 bytes and the check byte). No framework, no
 * checks beyond the echo and the check byte; the bytes go to standard
 * output. The yardstick of random-bench. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "bench/bare_port.h"

enum { kBlock = 128, kBlocks = 512 };

static uint8_t check(const uint8_t* bytes) {
    uint8_t sum = 0;
    for (int i = 0; i < kBlock; ++i) sum = (uint8_t)(sum + bytes[i]);
    return (uint8_t)(0xFF - sum);
}

/* Blocking reads until `length` bytes came: a tty hands a reply over as it
 * arrives (the kernel passes it on 64 bytes at a time), so a whole block
 * may take more than one call. */
static int readAll(int fd, uint8_t* buffer, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = read(fd, buffer + got, length - got);
        if (n <= 0) return 0;
        got += (size_t)n;
    }
    return 1;
}

static int block(const char* node, uint8_t* out) {
    const int fd = openPort(node);
    if (fd < 0) return 0;
    const uint8_t request = 0x05;
    uint8_t echo = 0, reply[kBlock + 1];
    const int ok = tcflush(fd, TCIOFLUSH) == 0 && write(fd, &request, 1) == 1 && readAll(fd, &echo, 1) &&
                   readAll(fd, reply, sizeof reply) && echo == 0x05 && reply[kBlock] == check(reply);
    if (ok) memcpy(out, reply, kBlock);
    return close(fd) == 0 && ok;
}

int main(int argc, char** argv) {
    static uint8_t bytes[kBlocks * kBlock];
    if (argc != 2) return 2;
    for (int b = 0; b < kBlocks; ++b)
        if (!block(argv[1], bytes + b * kBlock)) return 1;
    return fwrite(bytes, 1, sizeof bytes, stdout) == sizeof bytes && fflush(stdout) == 0 ? 0 : 1;
}
