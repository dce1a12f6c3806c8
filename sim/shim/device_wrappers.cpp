// What the board's driver does on a node descriptor that a pseudo-terminal
// does not: modem-control lines, a character frame other than 8N1, and the
// receive queue flushed when the port is closed.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <cstdarg>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace sim;

int sim::modemRequest(int index, unsigned long request, int *arg)
{
    lockBoard();
    Node &n = node(index);
    const int64_t now = monotonicUs();
    const int outputs = (n.wires.rts ? TIOCM_RTS : 0) | (n.wires.dtr ? TIOCM_DTR : 0);
    switch (request) {
    case TIOCMGET:
        *arg = wiring::modemWord(n.wires, board::nodeBank(index), n.faults, now, wiring::kFollowUs);
        break;
    case TIOCMSET:
        wiring::drive(&n.wires, *arg, now, wiring::kFollowUs);
        break;
    case TIOCMBIS:
        wiring::drive(&n.wires, outputs | *arg, now, wiring::kFollowUs);
        break;
    case TIOCMBIC:
        wiring::drive(&n.wires, outputs & ~*arg, now, wiring::kFollowUs);
        break;
    }
    unlockBoard();
    return 0;
}

bool sim::isModemRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

namespace {

// The program's last descriptor on the node is going: note the settings it
// leaves behind, and drop what the receiver holds or has on the way, as a
// port's driver does on its final close.
void closeNode(int fd, int index)
{
    lockBoard();
    Node &n = node(index);
    unbindFd(fd);
    n.closes++;
    if (--n.programFds == 0) {
        describeSettings(n, n.lastSettings, sizeof n.lastSettings);
        tcflush(n.keep, TCIFLUSH);
        n.inFlightCount = 0;
        writeReport();
    }
    unlockBoard();
}

// Before the descriptor itself is closed; errno is left as the caller had it.
void releaseNode(int fd)
{
    const int index = nodeOfFd(fd);
    if (index < 0)
        return;
    const int saved = errno;
    closeNode(fd, index);
    errno = saved;
}

} // namespace

extern "C" {

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const int index = nodeOfFd(fd);
    if (index < 0 || !isModemRequest(request))
        return real::ioctl(fd, request, arg);
    return modemRequest(index, request, static_cast<int *>(arg));
}

int tcgetattr(int fd, struct termios *t)
{
    const int index = nodeOfFd(fd);
    if (index < 0)
        return real::tcgetattr(fd, t);
    const int result = real::tcgetattr(fd, t);
    if (result == 0) {
        const int saved = errno;
        lockBoard();
        t->c_cflag = (t->c_cflag & ~kHeldFrame) | node(index).frame;
        unlockBoard();
        errno = saved;
    }
    return result;
}

int tcsetattr(int fd, int action, const struct termios *t)
{
    const int index = nodeOfFd(fd);
    if (index < 0)
        return real::tcsetattr(fd, action, t);
    struct termios accepted = *t;
    accepted.c_cflag = (accepted.c_cflag & ~kHeldFrame) | CS8 | CREAD;
    const int result = real::tcsetattr(fd, action, &accepted);
    if (result == 0) {
        const int saved = errno;
        lockBoard();
        node(index).frame = t->c_cflag & kHeldFrame;
        unlockBoard();
        errno = saved;
    }
    return result;
}

int close(int fd)
{
    releaseNode(fd);
    return real::close(fd);
}

int fclose(FILE *stream)
{
    releaseNode(stream != nullptr ? fileno(stream) : -1);
    return real::fclose(stream);
}

} // extern "C"
