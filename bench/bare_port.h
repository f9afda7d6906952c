/* A device's port as the bare clients use it: raw 115200 8N1, each read
 * blocking until at least one byte came. */
#ifndef BENCH_BARE_PORT_H
#define BENCH_BARE_PORT_H

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

/* The open port, or -1. */
static int openPort(const char* node) {
    const int fd = open(node, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios tio;
    if (fd < 0) return -1;
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

#endif
