// Every C library entry a program can open a path through by descriptor:
// plain, large-file (open64, openat64) and fortified (__open_2 and friends).
// Paths that do not resolve to one of the board's 48 nodes (node_paths.cpp)
// go straight to the C library.
#include "real.h"
#include "state.h"

#include "board.h"
#include "monotonic.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace sim;

// A file where the node should be (written to the node's path while the
// driver was not loaded): it opens, takes writes and answers no terminal
// request. One anonymous file per open, so what a program wrote to it is
// the file's size when it closes.
static int openNotATty(int index, int flags)
{
    char name[16];
    board::nodeName(index, name, sizeof name);
    return memfd_create(name, (flags & O_CLOEXEC) != 0 ? MFD_CLOEXEC : 0);
}

static int refusal(unsigned faults)
{
    if (faults & board::kAbsent)
        return ENOENT;
    if (faults & board::kBusy)
        return EBUSY;
    if (faults & board::kDenied)
        return EACCES;
    return 0;
}

// The program's view of the node from its first open on: the lines and
// frame as the page has them, and, as the serial core does on every open
// that does not wait for carrier (unless the speed is B0), RTS and DTR
// raised, whether the port is already open elsewhere or not.
static void beginSession(int fd, int index)
{
    Session &s = session(index);
    if (s.descriptors++ == 0) {
        s.lines = static_cast<uint32_t>(page()->nodes[index].lines.load(std::memory_order_acquire));
        s.wires = wiring::Outputs();
        s.wires.rts = s.wires.rtsBefore = (s.lines & protocol::kRts) != 0;
        s.wires.dtr = s.wires.dtrBefore = (s.lines & protocol::kDtr) != 0;
    }
    struct termios t;
    if (real::tcgetattr(fd, &t) == 0 && cfgetospeed(&t) != B0) {
        wiring::drive(&s.wires, TIOCM_RTS | TIOCM_DTR, monotonicUs(real::clock_gettime), wiring::kFollowUs);
        s.lines |= protocol::kRts | protocol::kDtr;
    }
    tell(protocol::Ask::Opened, index, static_cast<int>(s.lines));
}

// The board's page says whether the node opens (its faults) and which
// pseudo-terminal it is. The program's flags go to it as they are, O_NOCTTY
// included or not: a session leader without a controlling terminal that
// opens a node without it takes the node as its controlling terminal, as it
// would a real port.
int sim::openNode(int index, int flags)
{
    const int callerErrno = errno; // a successful open leaves errno alone
    const Hold hold;
    if (!reachable()) {
        errno = EIO; // named, but out of reach: never the real /dev instead
        return -1;
    }
    const protocol::PublishedNode &node = page()->nodes[index];
    char path[sizeof node.path];
    snprintf(path, sizeof path, "%s", node.path);
    const int refused = strncmp(path, "/dev/pts/", 9) != 0 ? EIO : refusal(node.faults);
    if (refused != 0) {
        errno = refused;
        return -1;
    }
    const bool file = (node.faults & board::kNotATty) != 0;
    const int fd = file ? openNotATty(index, flags) : real::open(path, flags & ~(O_CREAT | O_EXCL | O_TRUNC), 0);
    if (fd >= kMaxFd) {
        real::close(fd);
        errno = EMFILE;
        return -1;
    }
    if (fd < 0)
        return -1;
    bindFd(fd, index);
    protocol::Reply unused;
    if (file)
        ask(protocol::Ask::FileOpened, index, &unused);
    else
        beginSession(fd, index);
    errno = callerErrno;
    return fd;
}

// A node path without a board goes to the C library: the library was
// preloaded by hand, not by boardsim.
static int openAtPath(int dirfd, const char *path, int flags, mode_t mode)
{
    const int index = nodeOfPath(dirfd, path);
    if (index < 0)
        return dirfd == AT_FDCWD ? real::open(path, flags, mode) : real::openat(dirfd, path, flags, mode);
    return openNode(index, flags);
}

static int openPath(const char *path, int flags, mode_t mode)
{
    return openAtPath(AT_FDCWD, path, flags, mode);
}

// O_TMPFILE contains O_DIRECTORY's bit, so test the whole mask.
static bool takesMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

#define MODE_ARG(flags)                                                                                                \
    mode_t mode = 0;                                                                                                   \
    if (takesMode(flags)) {                                                                                            \
        va_list args;                                                                                                  \
        va_start(args, flags);                                                                                         \
        mode = static_cast<mode_t>(va_arg(args, int));                                                                 \
        va_end(args);                                                                                                  \
    }

extern "C" {

int open(const char *path, int flags, ...)
{
    MODE_ARG(flags)
    return openPath(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    MODE_ARG(flags)
    return openPath(path, flags | O_LARGEFILE, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags)
    return openAtPath(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    MODE_ARG(flags)
    return openAtPath(dirfd, path, flags | O_LARGEFILE, mode);
}

// The fortified entries are only called without O_CREAT, so with no mode.
// Their names are the C library's own, reserved to it: that is the point.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
int __open_2(const char *path, int flags)
{
    return openPath(path, flags, 0);
}

int __open64_2(const char *path, int flags)
{
    return openPath(path, flags | O_LARGEFILE, 0);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    return openAtPath(dirfd, path, flags, 0);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    return openAtPath(dirfd, path, flags | O_LARGEFILE, 0);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

} // extern "C"
