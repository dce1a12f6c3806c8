// Whether a node takes more: the serial core says a port is writable
// (POLLOUT, select's write set) only while fewer than 256 characters wait in
// its transmitter, so that a program that waits to write meets the line's
// pace. A pseudo-terminal would say writable until 20 KiB wait. For each
// node a program waits to write to, poll and select ask boardsim for its
// queue, leave the node out of the wait while 256 or more wait, and look
// again when enough should have left. Everything else waits as the C
// library has it.
#include "real.h"
#include "state.h"

#include "board.h"
#include "line_model.h"
#include "monotonic.h"

#include <algorithm>

using namespace sim;

namespace {

constexpr int kWakeupChars = 256;

// A node descriptor a program may write to, as the board's driver has it.
int nodeToWatch(int fd)
{
    const int index = nodeOfFd(fd);
    return index >= 0 && (faultsOf(index) & board::kNotATty) == 0 ? index : -1;
}

int64_t nowUs()
{
    return monotonicUs(real::clock_gettime);
}

// The wait left before the caller's deadline (-1: none), and no longer
// than until a node held back may take more.
int64_t nextWaitUs(int64_t deadlineUs, int64_t heldUs)
{
    const int64_t left = deadlineUs < 0 ? -1 : std::max<int64_t>(deadlineUs - nowUs(), 0);
    if (heldUs <= 0)
        return left;
    return left < 0 ? heldUs : std::min(left, heldUs);
}

// 0 once fewer than 256 wait; else about how long until they will.
int64_t heldBackUs(int fd, int index)
{
    protocol::Reply reply;
    {
        const Hold hold;
        if (!ask(protocol::Ask::OutputQueue, index, &reply))
            return 0; // a board that does not answer holds nothing back
    }
    if (reply.value < kWakeupChars)
        return 0;
    return (reply.value - kWakeupChars + 1) * charTimeUsOf(fd, index);
}

int pollNodes(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    bool any = false;
    for (nfds_t i = 0; i < count && !any; i++)
        any = (fds[i].events & POLLOUT) != 0 && nodeToWatch(fds[i].fd) >= 0;
    if (!any)
        return real::poll(fds, count, timeoutMs);
    const int64_t deadline = timeoutMs < 0 ? -1 : nowUs() + timeoutMs * 1000LL;
    for (;;) {
        int64_t heldUs = 0;
        nfds_t held[board::kNodes]; // the entries whose POLLOUT is taken out, to put back
        int heldCount = 0;
        for (nfds_t i = 0; i < count && heldCount < board::kNodes; i++) {
            const int index = (fds[i].events & POLLOUT) != 0 ? nodeToWatch(fds[i].fd) : -1;
            const int64_t until = index >= 0 ? heldBackUs(fds[i].fd, index) : 0;
            if (until > 0) {
                fds[i].events = static_cast<short>(fds[i].events & ~POLLOUT);
                held[heldCount++] = i;
                heldUs = heldUs == 0 ? until : std::min(heldUs, until);
            }
        }
        const int64_t waitUs = nextWaitUs(deadline, heldUs);
        const int result = real::poll(fds, count, waitUs < 0 ? -1 : static_cast<int>((waitUs + 999) / 1000));
        for (int h = 0; h < heldCount; h++)
            fds[held[h]].events = static_cast<short>(fds[held[h]].events | POLLOUT);
        if (result != 0 || heldUs == 0 || (deadline >= 0 && nowUs() >= deadline))
            return result;
    }
}

} // namespace

int sim::selectNodes(int nfds, fd_set *reads, fd_set *writes, fd_set *errors, int64_t *timeoutUs, RealSelect wait)
{
    const int64_t deadline = *timeoutUs < 0 ? -1 : nowUs() + *timeoutUs;
    bool any = false;
    for (int fd = 0; writes != nullptr && fd < nfds && fd < kMaxFd && !any; fd++)
        any = FD_ISSET(fd, writes) && nodeToWatch(fd) >= 0;
    // The sets are the caller's to get back filled in: each wait starts from
    // what was asked.
    fd_set asked[3];
    fd_set *sets[3] = {reads, writes, errors};
    for (int s = 0; s < 3; s++)
        if (sets[s] != nullptr)
            asked[s] = *sets[s];
    for (int result;;) {
        for (int s = 0; s < 3; s++)
            if (sets[s] != nullptr)
                *sets[s] = asked[s];
        int64_t heldUs = 0;
        for (int fd = 0; any && fd < nfds && fd < kMaxFd; fd++) {
            const int index = FD_ISSET(fd, writes) ? nodeToWatch(fd) : -1;
            const int64_t held = index >= 0 ? heldBackUs(fd, index) : 0;
            if (held > 0) {
                FD_CLR(fd, writes);
                heldUs = heldUs == 0 ? held : std::min(heldUs, held);
            }
        }
        result = wait(nfds, reads, writes, errors, nextWaitUs(deadline, heldUs));
        if (result != 0 || heldUs == 0 || (deadline >= 0 && nowUs() >= deadline)) {
            if (deadline >= 0) // the time left, as Linux tells it
                *timeoutUs = std::max<int64_t>(deadline - nowUs(), 0);
            return result;
        }
    }
}

extern "C" {

int poll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    return pollNodes(fds, count, timeoutMs);
}

// The fortified entry checks the array's size, which the program's own
// compiler has already done; the name is the C library's own.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __poll_chk(struct pollfd *fds, nfds_t count, int timeoutMs, size_t /*fdsLength*/)
{
    return pollNodes(fds, count, timeoutMs);
}

} // extern "C"
