#include "porttest.h"
#include "serial.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

int claimNode(const char *path)
{
    // O_NOCTTY: run without a controlling terminal (a service, ssh without
    // -t), the program would take the first node it opens as one, and a 0x03
    // byte on that line would then interrupt it.
    const int fd = opent(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return fd;
    // A second copy testing the same port (another terminal, another SSH
    // session) would read this copy's bytes as its loopback and save this
    // copy's test settings as the node's own. Serial programs take an
    // exclusive advisory lock on a port they use; one held elsewhere means
    // the port is busy, as a driver that refuses a second open says.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Each port appears as six nodes: two driver families (8 and 9), each with
// three banks; the node number is bank * 8 + port.
static void testNode(int family, int bank, int port, int *failures)
{
    char path[16]; // "/dev/ttyT9Sy23" is 14 characters
    snprintf(path, sizeof path, "/dev/ttyT%dSy%d", family, bank * 8 + port);

    const int fd = claimNode(path);
    if (fd < 0) {
        printf("FAIL: %s %m\n", path); // %m: the open's or the lock's errno, untouched since
        (*failures)++;
        return;
    }
    checkNode(fd, path, family, bank, failures);
    close(fd); // and with it the lock
}

int testPort(int port)
{
    int failures = 0;
    for (int family = 8; family <= 9; family++)
        for (int bank = 0; bank <= 2; bank++)
            testNode(family, bank, port, &failures);

    printf(failures == 0 ? "PASS: All tests\n" : "Ready for next test\n");
    return failures;
}
