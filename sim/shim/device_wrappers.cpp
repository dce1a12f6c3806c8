// What the board's driver does on a node descriptor that a pseudo-terminal
// does not: modem-control lines, a character frame other than 8N1, a
// transmitter that may stall (its queue, its flush, the close that waits for
// it), and the last close: the receiver flushed and, with HUPCL set, RTS and
// DTR dropped.
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

// boardsim reads what programs write; the queue of a stalled transmitter
// is only right once it has read everything written so far.
void catchUpIfStalled(int index)
{
    if (node(index).faults & board::kStalled)
        board::syncWithServer(theBoard());
}

int modemRequest(int index, unsigned long request, int *arg)
{
    lockBoard();
    board::NodeState &n = node(index);
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

// The queue count is atomic: boardsim adds to it without the lock.
int outputQueued(int index)
{
    catchUpIfStalled(index);
    return node(index).queued;
}

int flushNode(int fd, int index, int queue)
{
    if ((node(index).faults & board::kStalled) && (queue == TCOFLUSH || queue == TCIOFLUSH)) {
        catchUpIfStalled(index);
        node(index).queued = 0;
    }
    return real::tcflush(fd, queue);
}

long fileSize(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// With the board locked: the last descriptor on the node is going. What the
// receiver holds is dropped (and what is still on its way, by the session
// boardsim stamped it with), and with HUPCL set the driver drops RTS and
// DTR; the report's "as left" columns keep what the program left.
void lastClose(int fd, board::NodeState &n)
{
    n.queued = 0;
    n.session++;
    n.rtsLeft = n.wires.rts;
    n.dtrLeft = n.wires.dtr;
    struct termios t;
    const bool hangUp = real::tcgetattr(fd, &t) == 0 && (t.c_cflag & HUPCL) != 0;
    if (hangUp)
        wiring::drive(&n.wires, 0, monotonicUs(), wiring::kFollowUs);
    n.hupclDropped = hangUp ? 1 : 0;
    real::tcflush(fd, TCIFLUSH);
}

// The program's descriptor on the node is going. The last one waits for a
// stalled transmitter as the serial core does, up to closing_wait (a signal
// cuts it short, as it does a real close). Returns once boardsim has the
// close in its report, when there is one.
void closeNode(int fd, int index)
{
    board::NodeState &n = node(index);
    if (!notATty(index)) {
        catchUpIfStalled(index);
        lockBoard();
        const bool waitForTransmitter = n.queued > 0 && n.openFds == 1;
        unlockBoard();
        const struct timespec closingWait = {kClosingWaitS, 0};
        if (waitForTransmitter)
            nanosleep(&closingWait, nullptr);
    }

    lockBoard();
    unbindFd(fd);
    n.closes++;
    theBoard()->changes++;
    if (notATty(index))
        n.written += fileSize(fd);
    if (--n.openFds == 0 && !notATty(index))
        lastClose(fd, n);
    unlockBoard();
    if (theBoard()->reporting)
        board::syncWithServer(theBoard());
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
    const int result = real::tcgetattr(fd, t);
    if (index >= 0 && result == 0) {
        const int saved = errno;
        lockBoard();
        t->c_cflag = board::withFrame(t->c_cflag, node(index).frame);
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
    accepted.c_cflag = board::withFrame(accepted.c_cflag, CS8 | CREAD);
    const int result = real::tcsetattr(fd, action, &accepted);
    if (result == 0) {
        const int saved = errno;
        lockBoard();
        node(index).frame = t->c_cflag & board::kHeldFrame;
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
