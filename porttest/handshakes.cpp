#include "porttest.h"
#include "serial.h"

#include <cstdio>
#include <unistd.h>

// The fixture's RTS->CTS and DTR->DCD links and the line receivers need time
// to follow a change. 10 ms is the test's fixed settle delay; RS-232
// transceivers switch in microseconds, so it leaves a wide margin, but the
// board's own transceivers and driver latency are not documented here.
static const unsigned kSettleUs = 10000;

// Drive the output low then high and check that the looped input follows.
// Both steps always run, so a line stuck either way gives exactly one line,
// and an unwired input (always low) gives only the "(high)" one. The output
// is left asserted.
static void checkLoop(int fd, const char *path, const char *name, void (*drive)(int, int), int (*sense)(int),
                      int *failures)
{
    drive(fd, 0);
    usleep(kSettleUs);
    if (sense(fd) != 0) {
        printf("FAIL: %s %s (low)\n", path, name);
        (*failures)++;
    }

    drive(fd, 1);
    usleep(kSettleUs);
    if (sense(fd) == 0) {
        printf("FAIL: %s %s (high)\n", path, name);
        (*failures)++;
    }
}

// Bank 0 carries both handshake pairs, bank 1 only DTR/DCD, bank 2 is a
// data-only connector.
void checkHandshakes(int fd, const char *path, int bank, int *failures)
{
    if (bank == 0)
        checkLoop(fd, path, "CTS->RTS", SerialRTS, SerialCTS, failures);
    if (bank == 0 || bank == 1)
        checkLoop(fd, path, "DTR->DCD", SerialDTR, SerialDCD, failures);
}
