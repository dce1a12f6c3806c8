#include "serial.h"

#include <sys/ioctl.h>

// The driver reports and takes all modem lines as one word. Setting one
// output line means reading the word and writing it back whole, so the other
// output keeps the state the driver reported.
static void setLine(int fd, int bit, int level)
{
    int word = 0;
    ioctl(fd, TIOCMGET, &word);
    if (level)
        word |= bit;
    else
        word &= ~bit;
    ioctl(fd, TIOCMSET, &word);
}

// The word starts at 0, so a node that cannot report its lines reads as low:
// a test then fails the "(high)" check rather than passing on garbage.
static int readLine(int fd, int bit)
{
    int word = 0;
    ioctl(fd, TIOCMGET, &word);
    return (word & bit) != 0 ? 1 : 0;
}

void SerialRTS(int fd, int level)
{
    setLine(fd, TIOCM_RTS, level);
}

void SerialDTR(int fd, int level)
{
    setLine(fd, TIOCM_DTR, level);
}

int SerialCTS(int fd)
{
    return readLine(fd, TIOCM_CTS);
}

int SerialDCD(int fd)
{
    return readLine(fd, TIOCM_CAR);
}
