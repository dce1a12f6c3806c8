#include "serial.h"

// Every change starts from the node's current settings and touches only the
// bits named, so whatever the driver keeps in the other bits survives. When
// the settings cannot be read there is nothing sound to start from: writing a
// half-filled record would put the port in an arbitrary state, so nothing is
// written at all.

int SerialConfigSave(int fd, struct termios *settings)
{
    return tcgetattr(fd, settings) == 0 ? 0 : -1;
}

// Both queues go. Input that came in after the last read (a late loopback)
// must not be handed to whoever opens the port next. Output still queued
// means a transmitter that never drained (a UART whose interrupt is dead):
// left there, the driver's close would wait its closing_wait for it, 30 s by
// default, with the bench showing nothing. On a healthy port the queue is
// empty by now: the last byte went out over 100 ms ago. Async-signal-safe,
// so the signal handler that puts a node back uses it too.
void SerialConfigRestore(int fd, const struct termios *settings)
{
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, settings);
}

static void setParity(struct termios *t, int parity)
{
    if (parity == 0) {
        t->c_cflag |= PARENB;
        t->c_cflag &= ~static_cast<tcflag_t>(PARODD);
    } else if (parity == 1) {
        t->c_cflag |= PARENB | PARODD;
    } else if (parity == -1) {
        t->c_cflag &= ~static_cast<tcflag_t>(PARENB);
    }
    // Any other value: the port keeps the parity it had.
}

void SerialConfig(int fd, speed_t speed, tcflag_t charSize, int parity, int stopBits, int modem)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return;

    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);

    // CLOCAL off makes the driver honour DCD (hang-up on carrier loss, opens
    // waiting for carrier); the bench loops DCD itself, so it wants CLOCAL on.
    t.c_cflag |= CREAD;
    if (modem)
        t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    else
        t.c_cflag |= CLOCAL;

    setParity(&t, parity);
    if (stopBits == 1)
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else
        t.c_cflag |= CSTOPB;
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    t.c_cflag |= charSize;
    // With hardware flow control on, a port whose CTS is not looped back
    // would never send the pattern at all.
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);

    // Raw: the test pattern is binary (0x11 is XON), and echo, flow control
    // or newline translation would eat, add or rewrite bytes of it.
    t.c_lflag = 0;
    t.c_iflag &= ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONLRET);
    t.c_cc[VTIME] = 0; // a read returns at once with whatever is there;
    t.c_cc[VMIN] = 0;  // readt does the waiting

    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &t);
}

void SerialFlowControl(int fd, int mode)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return;

    const tcflag_t software = IXON | IXOFF;
    if (mode == 0) {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag &= ~software;
    } else if (mode == 1) {
        t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
        t.c_iflag |= software;
    } else if (mode == 2) {
        t.c_cflag |= CRTSCTS;
        t.c_iflag &= ~software;
    }

    tcflush(fd, TCIFLUSH);
    tcsetattr(fd, TCSANOW, &t);
}
