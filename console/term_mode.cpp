#include "console.h"

#include <termios.h>

// Only ICANON, ECHO, VMIN and VTIME change; every other bit stays as the
// operator's terminal had it. ISIG in particular is left on so that the
// interrupt key still works while a cycle runs.
//
// Line mode is made by setting the bits again rather than by putting back a
// record saved at start-up: there is no state to keep, and the function only
// uses tcgetattr/tcsetattr, so it is safe to call from a signal handler.
void termModeChar(int fd, int on)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return; // not a terminal (keys come from a pipe or file): leave it be

    if (on) {
        t.c_lflag &= ~(tcflag_t)(ICANON | ECHO);
        t.c_cc[VTIME] = 0;
        t.c_cc[VMIN] = 1; // a read returns with the first key pressed
    } else {
        t.c_lflag |= ICANON | ECHO;
        t.c_cc[VTIME] = 0;
        t.c_cc[VMIN] = 0;
    }
    tcsetattr(fd, TCSANOW, &t);
}
