// What the board's driver does on a node descriptor that a pseudo-terminal
// does not: modem-control lines, a character frame other than 8N1, a
// transmitter that takes the line's time and may stall (its queue, its
// flush, a drain, the close that waits for it). The program reads the lines and the frame from its own view of the
// node and tells boardsim of every change to them; the kernel tells
// boardsim of the closes.
#include "real.h"
#include "state.h"

#include "board.h"
#include "line_model.h"
#include "monotonic.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

using namespace sim;
using protocol::Ask;

namespace {

// The serial core's default closing_wait: how long the last close of a port
// waits for its transmitter to drain before it gives up and discards.
constexpr time_t kClosingWaitS = 30;

bool notATty(int index)
{
    return (faultsOf(index) & board::kNotATty) != 0;
}

// With the Hold taken: the new lines or frame, told to boardsim.
int changeLines(int index, uint32_t lines)
{
    session(index).lines = lines;
    if (tell(Ask::Lines, index, static_cast<int>(lines)))
        return 0;
    errno = EIO;
    return -1;
}

int modemRequest(int index, unsigned long request, int *arg)
{
    const Hold hold;
    Session &s = session(index);
    const int64_t now = monotonicUs(real::clock_gettime);
    if (request == TIOCMGET) {
        *arg = wiring::modemWord(s.wires, board::nodeBank(index), faultsOf(index), now, wiring::kFollowUs);
        return 0;
    }
    const int outputs = (s.wires.rts ? TIOCM_RTS : 0) | (s.wires.dtr ? TIOCM_DTR : 0);
    const int word = request == TIOCMSET ? *arg : request == TIOCMBIS ? outputs | *arg : outputs & ~*arg;
    wiring::drive(&s.wires, word, now, wiring::kFollowUs);
    return changeLines(index, protocol::packLines(s.lines, s.wires.rts, s.wires.dtr));
}

// The pseudo-terminal's own queues first; then what boardsim holds on the
// simulated line. Always asked: bytes the program wrote just before may be
// in the master, not yet seen by boardsim, and they must go too.
int flushNode(int fd, int index, int queue)
{
    const int result = real::tcflush(fd, queue);
    if (result != 0 || (queue != TCOFLUSH && queue != TCIOFLUSH))
        return result;
    protocol::Reply reply;
    const Hold hold;
    if (ask(Ask::FlushOutput, index, &reply))
        return 0;
    errno = EIO;
    return -1;
}

// What the transmitter still holds, as boardsim has it (and how many open
// descriptions the node has): false if the board does not answer. Exact:
// what the program has just written too, at the cost of a wait of
// boardsim's for the kernel.
bool outputQueue(int index, protocol::Reply *reply, bool exact)
{
    const Hold hold;
    if (ask(Ask::OutputQueue, index, reply, exact ? 1 : 0))
        return true;
    errno = EIO;
    return false;
}

// Until the transmitter has sent everything (tcdrain), looking again when
// what it held should have left, at the node's speed. A stalled one never
// sends: the wait lasts until `limitUs` has passed, or for ever (-1), as on
// a real port. A signal cuts it short (EINTR), as it does a real drain.
// Exact: the first look counts what the program has only just written.
int drainNode(int fd, int index, int64_t limitUs, bool exact = true)
{
    const int64_t charUs = charTimeUsOf(fd, index);
    const int64_t start = monotonicUs(real::clock_gettime);
    for (protocol::Reply reply; outputQueue(index, &reply, exact);) {
        exact = false; // what was written before the drain is in the master now
        if (reply.value == 0)
            return 0;
        int64_t waitUs = std::min<int64_t>(reply.value * charUs, 100000);
        if (limitUs >= 0) {
            const int64_t left = start + limitUs - monotonicUs(real::clock_gettime);
            if (left <= 0)
                return 0;
            waitUs = std::min(waitUs, left);
        }
        const struct timespec pause = {static_cast<time_t>(waitUs / 1000000),
                                       static_cast<long>(waitUs % 1000000) * 1000};
        if (nanosleep(&pause, nullptr) != 0)
            return -1;
    }
    return -1;
}

// The last descriptor on a node whose transmitter still holds bytes waits
// for them as the serial core does, up to closing_wait (a signal cuts it
// short, as it does a real close).
void waitForTransmitter(int fd, int index)
{
    const protocol::PublishedPage *published = page();
    if (published != nullptr && published->nodes[index].sending.load(std::memory_order_acquire) == 0)
        return; // seen idle: bytes written just before may not be waited for
    protocol::Reply reply;
    if (!outputQueue(index, &reply, false) || reply.value == 0 || reply.openFiles != 1)
        return;
    drainNode(fd, index, kClosingWaitS * 1000000, false);
}

long fileSize(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// Closes a node's descriptor with `closeIt`; errno is the close's own. With
// a report, the close returns once the report shows it.
template <typename Close> int closeNode(int fd, int index, Close closeIt)
{
    const int saved = errno;
    const long size = notATty(index) ? fileSize(fd) : 0;
    if (!notATty(index))
        waitForTransmitter(fd, index);
    unbindFd(fd);
    errno = saved;
    const int result = closeIt();
    const int closeErrno = errno;
    {
        const Hold hold;
        if (notATty(index))
            tell(Ask::FileClosed, index, static_cast<int>(size));
        else
            session(index).descriptors--;
        protocol::Reply reply;
        if (reporting())
            ask(Ask::Closed, index, &reply);
    }
    errno = closeErrno;
    return result;
}

} // namespace

// A slow line runs at 9600 baud whatever it is set to.
int64_t sim::charTimeUsOf(int fd, int index)
{
    struct termios t;
    const bool slow = (faultsOf(index) & board::kSlow) != 0;
    return line::charTimeUs(slow || real::tcgetattr(fd, &t) != 0 ? 9600 : line::baudOf(cfgetospeed(&t)));
}

bool sim::isBoardRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCOUTQ || request == TCFLSH || request == TCSBRK;
}

// A not-a-tty node is an ordinary file to the C library: every request goes
// to it, and fails as it does on a file.
int sim::boardRequest(int fd, int index, unsigned long request, void *arg)
{
    if (notATty(index))
        return real::ioctl(fd, request, arg);
    if (request == TCFLSH)
        return flushNode(fd, index, static_cast<int>(reinterpret_cast<intptr_t>(arg)));
    if (request == TCSBRK) // tcdrain, and a break once all has gone
        return drainNode(fd, index, -1) == 0 ? real::ioctl(fd, request, arg) : -1;
    if (request != TIOCOUTQ)
        return modemRequest(index, request, static_cast<int *>(arg));
    protocol::Reply reply;
    if (!outputQueue(index, &reply, true))
        return -1;
    *static_cast<int *>(arg) = reply.value;
    return 0;
}

extern "C" {

int tcflush(int fd, int queue)
{
    const int index = nodeOfFd(fd);
    if (index < 0 || notATty(index))
        return real::tcflush(fd, queue);
    return flushNode(fd, index, queue);
}

int tcdrain(int fd)
{
    const int index = nodeOfFd(fd);
    if (index < 0 || notATty(index))
        return real::tcdrain(fd);
    return drainNode(fd, index, -1);
}

int tcgetattr(int fd, struct termios *t)
{
    const int index = nodeOfFd(fd);
    const int result = real::tcgetattr(fd, t);
    if (index >= 0 && result == 0) {
        const Hold hold;
        t->c_cflag = board::withFrame(t->c_cflag, session(index).lines);
    }
    return result;
}

// The pseudo-terminal takes 8 data bits and no parity whatever it is given;
// the board keeps the frame the program asked for.
int tcsetattr(int fd, int action, const struct termios *t)
{
    const int index = nodeOfFd(fd);
    if (index < 0)
        return real::tcsetattr(fd, action, t);
    if (action != TCSANOW && !notATty(index) && drainNode(fd, index, -1) != 0)
        return -1; // TCSADRAIN, TCSAFLUSH: once the transmitter is empty
    struct termios accepted = *t;
    accepted.c_cflag = board::withFrame(accepted.c_cflag, CS8 | CREAD);
    const int result = real::tcsetattr(fd, action, &accepted);
    if (result != 0)
        return result;
    const int saved = errno;
    const Hold hold;
    const uint32_t lines = session(index).lines;
    if (changeLines(index, (lines & ~board::kHeldFrame) | (t->c_cflag & board::kHeldFrame)) != 0)
        return -1;
    errno = saved;
    return 0;
}

int close(int fd)
{
    const int index = nodeOfFd(fd);
    if (index < 0)
        return real::close(fd);
    return closeNode(fd, index, [fd] { return real::close(fd); });
}

int fclose(FILE *stream)
{
    const int fd = stream != nullptr ? fileno(stream) : -1;
    const int index = nodeOfFd(fd);
    if (index < 0)
        return real::fclose(stream);
    return closeNode(fd, index, [stream] { return real::fclose(stream); });
}

} // extern "C"
