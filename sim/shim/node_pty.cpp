// Each node is a pseudo-terminal the library makes on the node's first
// open: the program gets a descriptor on its slave, the loopback plug holds
// its master. The library keeps the settings a pseudo-terminal cannot (the
// character frame) and reads back the node's settings as the program would.
#include "real.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>

namespace sim {

// A node starts out in settings that are not the test's: 9600 baud, 7 data
// bits, even parity, two stop bits, canonical input without echo. A test can
// then tell whether the program put them back. Echo stays off: with it, every
// byte the plug returns would be sent out again, and round and round.
static void applyOwnSettings(Node &n)
{
    struct termios t;
    real::tcgetattr(n.keep, &t);
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CLOCAL)) | CS8 | CREAD | CSTOPB | HUPCL;
    t.c_lflag = ICANON;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    real::tcsetattr(n.keep, TCSANOW, &t);
    n.frame = CS7 | PARENB | CREAD;
}

bool createNode(int index)
{
    Node &n = node(index);
    if (n.created)
        return true;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master < 0)
        return false;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, n.slavePath, sizeof n.slavePath) != 0) {
        real::close(master);
        return false;
    }
    // With no slave open, the master reports a hang-up and the fixture's poll
    // would spin; our own slave descriptor keeps the line up between opens.
    const int keep = real::open(n.slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK, 0);
    if (keep < 0) {
        real::close(master);
        return false;
    }
    n.master = master;
    n.keep = keep;
    n.created = true;
    applyOwnSettings(n);
    return true;
}

bool nodeSettings(const Node &n, struct termios *t)
{
    if (real::tcgetattr(n.keep, t) != 0)
        return false;
    t->c_cflag = (t->c_cflag & ~kHeldFrame) | n.frame;
    return true;
}

// A file where the node should be (written to the node's path while the
// driver was not loaded): it opens, takes writes and answers no terminal
// request. One anonymous file per open, so what a program wrote to it is
// the file's size when it closes.
int openNotATty(int index, int flags)
{
    char name[16];
    board::nodeName(index, name, sizeof name);
    return memfd_create(name, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
}

void describeSettings(const Node &n, char *buf, unsigned size)
{
    if (!n.created) {
        snprintf(buf, size, "not-a-tty");
        return;
    }
    struct termios t;
    if (!nodeSettings(n, &t)) {
        snprintf(buf, size, "unreadable");
        return;
    }
    const int bits = 5 + static_cast<int>((t.c_cflag & CSIZE) / CS6);
    const char parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    snprintf(buf, size, "%d/%d%c%d,cflag=%x,iflag=%x,oflag=%x,lflag=%x,vmin=%d,vtime=%d", line::baudOf(cfgetospeed(&t)),
             bits, parity, (t.c_cflag & CSTOPB) ? 2 : 1, static_cast<unsigned>(t.c_cflag),
             static_cast<unsigned>(t.c_iflag), static_cast<unsigned>(t.c_oflag), static_cast<unsigned>(t.c_lflag),
             t.c_cc[VMIN], t.c_cc[VTIME]);
}

} // namespace sim
