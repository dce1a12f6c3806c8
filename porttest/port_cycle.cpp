#include "porttest.h"
#include "serial.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// Each port appears as six nodes: two driver families (8 and 9), each with
// three banks; the node number is bank * 8 + port.
static void testNode(int family, int bank, int port, int *failures)
{
    char path[16]; // "/dev/ttyT9Sy23" is 14 characters
    snprintf(path, sizeof path, "/dev/ttyT%dSy%d", family, bank * 8 + port);

    const int fd = opent(path, O_RDWR);
    if (fd < 0) {
        printf("FAIL: %s %m\n", path); // %m: the open's errno, untouched since
        (*failures)++;
        return;
    }
    checkNode(fd, path, family, bank, failures);
    close(fd);
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
