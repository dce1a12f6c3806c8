#include "serial.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Non-blocking so that neither the open (a port waiting for carrier) nor a
// read or write on a silent port can hang the bench.
int opent(const char *path, int flags)
{
    return open(path, flags | O_NONBLOCK);
}

// The time left goes back to the caller as a signed count in the caller's
// unsigned variable: 0 or negative once the deadline has passed.
static void writeTimeLeft(uint32_t *timeout, int64_t leftUs)
{
    *timeout = static_cast<uint32_t>(static_cast<int32_t>(leftUs / 1000));
}

// Waits at most leftUs for fd to be readable; poll's result. poll counts in
// whole milliseconds: it waits the whole ones, and the last fraction of one
// is slept before the descriptor is looked at once more. Rounded up instead,
// every wait that ends at the deadline would end up to a millisecond past it.
static int waitReadable(int fd, int64_t leftUs)
{
    struct pollfd readable = {fd, POLLIN, 0};
    const int64_t ms = leftUs / 1000;
    if (ms == 0) {
        const struct timespec fraction = {0, static_cast<long>(leftUs) * 1000};
        nanosleep(&fraction, nullptr);
    }
    return poll(&readable, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

int readt(int fd, void *buf, uint32_t len, uint32_t *timeout)
{
    unsigned char *bytes = static_cast<unsigned char *>(buf);
    uint32_t count = 0;
    // Widened before multiplying, so every 32-bit timeout is exact (a 32-bit
    // product would wrap above 4294967 ms).
    const int64_t budget = static_cast<int64_t>(*timeout) * 1000;
    const int64_t start = TimeMonotonic();
    int64_t now = start;

    // poll skips a negative descriptor instead of failing on it: that would
    // sit out the whole budget on a node that never opened.
    if (fd < 0)
        return 0;

    // The count is tested before the time so that a call whose len is already
    // met never waits. Each wait is only for what is left of the one deadline
    // fixed above, so bytes arriving in pieces never stretch it. poll, unlike
    // select, takes any descriptor: a program started with a thousand
    // descriptors open still gets its nodes above 1023.
    while (count < len) {
        const int64_t left = budget - (now - start);
        if (left <= 0)
            break;

        const int ready = waitReadable(fd, left);
        if (ready < 0)
            return static_cast<int>(count);

        if (ready > 0) {
            const ssize_t got = read(fd, bytes + count, len - count);
            if (got > 0)
                count += static_cast<uint32_t>(got);
            else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                // A port that went away (EIO after a hang-up, say) stays
                // "readable" for ever; waiting out the deadline in a busy loop
                // would tell the caller nothing more.
                now = TimeMonotonic();
                break;
            }
        }
        now = TimeMonotonic();
    }

    writeTimeLeft(timeout, budget - (now - start));
    return static_cast<int>(count);
}
