// Waiting for a reply on a node: select and poll.
//
// The loopback thread alone cannot keep the plug's timing on a busy machine:
// when the program's probe write is echoed "at once", the echo must be in the
// node before the program's 10 ms wait ends, and a thread that the scheduler
// leaves out for longer would make a healthy port fail. So a program that
// waits on a node moves its own bytes: it puts what it wrote on the line,
// takes in what is already due, and never sleeps past the moment the next
// byte is due. The loopback thread still serves programs that read without
// waiting, and steps the wall clock.
#include "real.h"
#include "select_wait.h"
#include "state.h"

#include <cerrno>
#include <poll.h>

using namespace sim;

namespace {

// Moves the nodes among the descriptors `fds` names; returns the earliest
// moment a byte is due on one of them (-1 for none), or -2 if none is a node.
template <typename EachFd> int64_t pumpNodes(EachFd eachFd)
{
    int64_t next = -2;
    lockBoard();
    const int64_t now = monotonicUs();
    eachFd([&](int fd) {
        const int index = nodeOfFd(fd);
        if (index < 0 || !node(index).created)
            return;
        const int64_t due = pumpNode(index, now);
        if (next < 0 || (due >= 0 && due < next))
            next = due;
    });
    unlockBoard();
    return next;
}

// The wait both entries share: `wait(us)` waits as the program asked, for at
// most us microseconds (-1: no limit), and is called again, with the program's
// request as it was, each time a byte comes due on a node before anything is
// ready. *leftUs gets the time of the program's timeout not slept.
template <typename EachFd, typename Wait>
int waitWithBoard(int64_t timeoutUs, int64_t *leftUs, EachFd eachFd, Wait wait)
{
    const int savedErrno = errno; // moving bytes must not show in errno
    const int64_t deadline = timeoutUs < 0 ? -1 : monotonicUs() + timeoutUs;
    for (;;) {
        const int64_t next = pumpNodes(eachFd);
        if (next != -2)
            wakeFixture(); // it may have a clock step to schedule
        const int64_t now = monotonicUs();
        int64_t until = deadline;
        if (next >= 0 && (until < 0 || next < until))
            until = next;

        errno = savedErrno;
        const int result = wait(until < 0 ? -1 : until > now ? until - now : 0);
        const int64_t after = monotonicUs();
        if (leftUs != nullptr)
            *leftUs = deadline < 0 || after >= deadline ? 0 : deadline - after;
        // Ready, an error, the caller's own deadline, or no node to move: done.
        if (result != 0 || next == -2 || until == deadline)
            return result;
    }
}

struct timeval toTimeval(int64_t us)
{
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

} // namespace

int sim::selectWithBoard(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, int64_t timeoutUs,
                         int64_t *leftUs)
{
    const fd_set noSet = {};
    const fd_set wantRead = readSet ? *readSet : noSet, wantWrite = writeSet ? *writeSet : noSet,
                 wantExcept = exceptSet ? *exceptSet : noSet;
    const auto eachFd = [&](auto visit) {
        for (int fd = 0; readSet != nullptr && fd < nfds && fd < FD_SETSIZE; fd++)
            if (FD_ISSET(fd, &wantRead))
                visit(fd);
    };
    const auto wait = [&](int64_t us) {
        if (readSet)
            *readSet = wantRead;
        if (writeSet)
            *writeSet = wantWrite;
        if (exceptSet)
            *exceptSet = wantExcept;
        struct timeval limit = toTimeval(us);
        return real::select(nfds, readSet, writeSet, exceptSet, us < 0 ? nullptr : &limit);
    };
    return waitWithBoard(timeoutUs, leftUs, eachFd, wait);
}

extern "C" {

int select(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, struct timeval *timeout)
{
    if (!boardUsed())
        return real::select(nfds, readSet, writeSet, exceptSet, timeout);
    const int64_t timeoutUs = timeout ? static_cast<int64_t>(timeout->tv_sec) * 1000000 + timeout->tv_usec : -1;
    int64_t left = 0;
    const int result = selectWithBoard(nfds, readSet, writeSet, exceptSet, timeoutUs, &left);
    if (timeout != nullptr)
        *timeout = toTimeval(left); // as Linux does: the time not slept
    return result;
}

// The C library's check of a fortified build's poll: declared in no header.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
[[noreturn]] void __chk_fail();

} // extern "C"

// Waits in ppoll, which counts in nanoseconds: a byte due in 87 us must not
// wait a whole millisecond.
static int pollWithBoard(struct pollfd *fds, nfds_t nfds, int timeout)
{
    if (!boardUsed())
        return real::poll(fds, nfds, timeout);
    const auto eachFd = [&](auto visit) {
        for (nfds_t i = 0; i < nfds; i++)
            if (fds[i].events & POLLIN)
                visit(fds[i].fd);
    };
    const auto wait = [&](int64_t us) {
        const struct timespec limit = {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        return ppoll(fds, nfds, us < 0 ? nullptr : &limit, nullptr);
    };
    return waitWithBoard(timeout < 0 ? -1 : static_cast<int64_t>(timeout) * 1000, nullptr, eachFd, wait);
}

extern "C" {

int poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    return pollWithBoard(fds, nfds, timeout);
}

// A fortified build calls poll through this, with the size of the array it
// was given: the C library's own check, then the board's poll.
// Its name is the C library's own, reserved to it: that is the point.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __poll_chk(struct pollfd *fds, nfds_t nfds, int timeout, size_t fdslen)
{
    if (fdslen / sizeof *fds < nfds)
        __chk_fail();
    return pollWithBoard(fds, nfds, timeout);
}

} // extern "C"
