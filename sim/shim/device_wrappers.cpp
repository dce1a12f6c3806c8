// What the board's driver does on a node descriptor that a pseudo-terminal
// does not: modem-control lines, a character frame other than 8N1, a
// transmitter that may stall (its queue, its flush, the close that waits for
// it), and the receive queue flushed when the port is closed.
#include "real.h"
#include "state.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

using namespace sim;

namespace {

// The serial core's default closing_wait: how long the last close of a port
// waits for its transmitter to drain before it gives up and discards.
constexpr time_t kClosingWaitS = 30;

bool notATty(int index)
{
    return (node(index).faults & board::kNotATty) != 0;
}

int modemRequest(int index, unsigned long request, int *arg)
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

// Bytes still in the transmitter: what the program wrote is put on the line
// first, so a stalled node counts all of it.
int outputQueued(int index)
{
    lockBoard();
    pumpNode(index, monotonicUs());
    const int queued = node(index).queued;
    unlockBoard();
    return queued;
}

int flushNode(int fd, int index, int queue)
{
    lockBoard();
    pumpNode(index, monotonicUs());
    if (queue == TCOFLUSH || queue == TCIOFLUSH)
        node(index).queued = 0;
    unlockBoard();
    return real::tcflush(fd, queue);
}

long fileSize(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// The program's descriptor on the node is going. The last one waits for a
// stalled transmitter as the serial core does, up to closing_wait (a signal
// cuts it short, as it does a real close); then the settings it leaves are
// noted, and what the receiver holds or has on the way is dropped.
void closeNode(int fd, int index)
{
    Node &n = node(index);
    lockBoard();
    if (n.created)
        pumpNode(index, monotonicUs());
    const bool waitForTransmitter = n.queued > 0 && n.programFds == 1;
    unlockBoard();
    const struct timespec closingWait = {kClosingWaitS, 0};
    if (waitForTransmitter)
        nanosleep(&closingWait, nullptr);

    lockBoard();
    unbindFd(fd);
    n.closes++;
    if (notATty(index))
        n.written += fileSize(fd);
    if (--n.programFds == 0) {
        n.queued = 0;
        describeSettings(n, n.lastSettings, sizeof n.lastSettings);
        if (n.created)
            real::tcflush(n.keep, TCIFLUSH);
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

bool sim::isBoardRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCOUTQ || request == TCFLSH;
}

// A not-a-tty node is an ordinary file to the C library: every request goes
// to it, and fails as it does on a file.
int sim::boardRequest(int fd, int index, unsigned long request, void *arg)
{
    if (notATty(index))
        return real::ioctl(fd, request, arg);
    if (request == TCFLSH)
        return flushNode(fd, index, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    if (request == TIOCOUTQ) {
        *static_cast<int *>(arg) = outputQueued(index);
        return 0;
    }
    return modemRequest(index, request, static_cast<int *>(arg));
}

extern "C" {

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);

    const int index = nodeOfFd(fd);
    if (index < 0 || !isBoardRequest(request))
        return real::ioctl(fd, request, arg);
    return boardRequest(fd, index, request, arg);
}

int tcflush(int fd, int queue)
{
    const int index = nodeOfFd(fd);
    if (index < 0 || notATty(index))
        return real::tcflush(fd, queue);
    return flushNode(fd, index, queue);
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
