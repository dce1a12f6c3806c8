#include "porttest.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// Started with a standard stream closed (porttest >&-), the program would
// have its first node opened onto that descriptor, and its FAIL lines would
// go out on the port under test. /dev/null takes any closed one first. Where
// there is none (a bare container, a broken chroot), the root folder opened
// read-only does: a read of it ends at once and a write fails, as on the
// closed stream, and it is always there.
static int placeholder(int fd)
{
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    return opened >= 0 ? opened : open("/", O_RDONLY | O_DIRECTORY);
}

void keepStandardStreamsOpen()
{
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = placeholder(fd);
            if (opened >= 0 && opened != fd) { // cannot happen: the lowest free descriptor is fd
                dup2(opened, fd);
                close(opened);
            }
        }
}

// A program that left the terminal non-blocking when it ended would make
// the first getchar fail at once with EAGAIN, which reads as end of input:
// porttest would quit before the operator pressed a key. The flag belongs to
// the open terminal, which the shell shares and wants blocking too.
void makeInputBlocking()
{
    const int flags = fcntl(0, F_GETFL);
    if (flags != -1 && (flags & O_NONBLOCK) != 0)
        fcntl(0, F_SETFL, flags & ~O_NONBLOCK);
}
