#include "console.h"
#include "porttest.h"
#include "serial.h"

#include <cstring>
#include <unistd.h>

static const unsigned char kPattern[8] = {0xFF, 0xFF, 0x01, 0x55, 0x00, 0xAA, 0x00, 0x11};
static const unsigned char kProbe = 'w';

// Family-9 nodes lose the two leading FF bytes of the pattern on the way back,
// so only the last six are expected there.
static int loopbackPassed(int family, const unsigned char *got, int count)
{
    if (family == 8)
        return count == 8 && memcmp(got, kPattern, 8) == 0;
    return count == 6 && memcmp(got, kPattern + 2, 6) == 0;
}

// The result is not looked at: a short or failed pattern write shows up as a
// failed loopback, which is what the operator needs to see.
static void send(int fd, const void *bytes, size_t len)
{
    const ssize_t sent = write(fd, bytes, len);
    (void)sent;
}

static void checkDataLoopback(int fd, const char *path, int family, int *failures)
{
    unsigned char received[16];

    // The probe's reply, and anything else left waiting on the port, is
    // drained here so that it cannot be mistaken for the pattern's loopback.
    send(fd, &kProbe, 1);
    uint32_t timeout = 10;
    readt(fd, received, 10, &timeout);

    // No drain before reading: the 100 ms include the bytes' time on the line.
    send(fd, kPattern, sizeof kPattern);
    timeout = 100;
    const int count = readt(fd, received, 8, &timeout);

    if (!loopbackPassed(family, received, count)) {
        printf("FAIL: %s data loopback (sent ", path);
        printhex(kPattern, sizeof kPattern);
        printf(", got ");
        printhex(received, count);
        printf(")\n");
        (*failures)++;
    }
}

void checkNode(int fd, const char *path, int family, int bank, int *failures)
{
    // Settings that cannot be read mean something that is not a port: a
    // regular file or a FIFO left at the node's path (written while the
    // driver was not loaded), or a driver that refuses. Such a node is not
    // tested at all: writing into it would only show its own bytes as a
    // loopback, and there is nothing sound to restore. The error's own text
    // says what it is, as an open failure's does.
    struct termios own;
    if (SerialConfigSave(fd, &own) != 0) {
        printf("FAIL: %s %m\n", path);
        (*failures)++;
        return;
    }

    guardNode(fd, &own); // from here a deadly signal puts the node back first
    SerialConfig(fd, B115200, CS8, -1, 1, 0);
    checkDataLoopback(fd, path, family, failures);
    checkHandshakes(fd, path, bank, failures);
    SerialConfigRestore(fd, &own);
    unguardNode();
}
