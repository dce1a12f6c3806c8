// Waiting for a reply on a node.
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

using namespace sim;

namespace {

// Moves every node in the read set; returns the earliest moment a byte is
// due on one of them (-1 for none), or -2 if the set holds no node.
int64_t pumpNodesIn(int nfds, const fd_set *readSet)
{
    int64_t next = -2;
    lockBoard();
    const int64_t now = monotonicUs();
    for (int fd = 0; fd < nfds && fd < FD_SETSIZE; fd++) {
        const int index = FD_ISSET(fd, readSet) ? nodeOfFd(fd) : -1;
        if (index < 0)
            continue;
        const int64_t due = pumpNode(index, now);
        if (next < 0 || (due >= 0 && due < next))
            next = due;
    }
    unlockBoard();
    return next;
}

struct timeval toTimeval(int64_t us)
{
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

} // namespace

int sim::selectWithBoard(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, int64_t timeoutUs,
                         int64_t *leftUs)
{
    const int savedErrno = errno; // moving bytes must not show in errno
    const int64_t deadline = timeoutUs < 0 ? -1 : monotonicUs() + timeoutUs;
    const fd_set noSet = {};
    const fd_set wantRead = readSet ? *readSet : noSet, wantWrite = writeSet ? *writeSet : noSet,
                 wantExcept = exceptSet ? *exceptSet : noSet;
    for (;;) {
        const int64_t next = readSet ? pumpNodesIn(nfds, readSet) : -2;
        if (next != -2)
            wakeFixture(); // it may have a clock step to schedule
        const int64_t now = monotonicUs();
        int64_t until = deadline;
        if (next >= 0 && (until < 0 || next < until))
            until = next;

        struct timeval wait = toTimeval(until > now ? until - now : 0);
        errno = savedErrno;
        const int result = real::select(nfds, readSet, writeSet, exceptSet, until < 0 ? nullptr : &wait);
        const int64_t after = monotonicUs();
        if (leftUs != nullptr)
            *leftUs = deadline < 0 || after >= deadline ? 0 : deadline - after;
        // Ready, an error, the caller's own deadline, or no node to move: done.
        if (result != 0 || next == -2 || until == deadline)
            return result;
        // A byte came due: move it and wait again with the sets as asked.
        if (readSet)
            *readSet = wantRead;
        if (writeSet)
            *writeSet = wantWrite;
        if (exceptSet)
            *exceptSet = wantExcept;
    }
}

extern "C" int select(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, struct timeval *timeout)
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
